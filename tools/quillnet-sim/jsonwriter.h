// Compact JSON text written straight into bytes, members in the order they are given. The simulator
// writes every answer with it: building QJsonObjects first cost more than the rest of a feed answer
// together.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace QuillnetSim {

class JsonWriter
{
public:
    JsonWriter &beginObject();
    JsonWriter &endObject();
    JsonWriter &beginArray();
    JsonWriter &endArray();
    // Names the next value; only inside an object.
    JsonWriter &key(QLatin1String name);
    JsonWriter &string(const QString &text);
    JsonWriter &number(qint64 number);
    JsonWriter &boolean(bool value);

    QByteArray bytes() const { return mText; }

private:
    void beforeValue();
    void appendEscaped(QByteArrayView utf8);

    QByteArray mText;
    bool mFirst = true; // nothing written yet in the open object or array
};

} // namespace QuillnetSim
