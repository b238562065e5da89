#include "jsonwriter.h"

namespace QuillnetSim {

void JsonWriter::beforeValue()
{
    if (!mFirst)
        mText.append(',');
    mFirst = false;
}

JsonWriter& JsonWriter::beginObject()
{
    beforeValue();
    mText.append('{');
    mFirst = true;
    return *this;
}

JsonWriter& JsonWriter::endObject()
{
    mText.append('}');
    mFirst = false;
    return *this;
}

JsonWriter& JsonWriter::beginArray()
{
    beforeValue();
    mText.append('[');
    mFirst = true;
    return *this;
}

JsonWriter& JsonWriter::endArray()
{
    mText.append(']');
    mFirst = false;
    return *this;
}

JsonWriter& JsonWriter::key(QLatin1String name)
{
    beforeValue();
    appendQuoted(QByteArrayView(name.data(), name.size()));
    mText.append(':');
    // The value follows the colon without a comma.
    mFirst = true;
    return *this;
}

JsonWriter& JsonWriter::string(const QString& text)
{
    beforeValue();
    appendQuoted(text.toUtf8());
    return *this;
}

JsonWriter& JsonWriter::number(qint64 number)
{
    beforeValue();
    mText.append(QByteArray::number(number));
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value)
{
    beforeValue();
    mText.append(value ? "true" : "false");
    return *this;
}

// Escapes what JSON requires (quote, backslash, control characters); bytes of UTF-8 sequences are
// all above 0x7f and pass unchanged.
void JsonWriter::appendQuoted(QByteArrayView utf8)
{
    static const char hex[] = "0123456789abcdef";
    mText.append('"');
    qsizetype plain = 0;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const uchar c = uchar(utf8.at(i));
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        mText.append(utf8.data() + plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '"': mText.append("\\\""); break;
        case '\\': mText.append("\\\\"); break;
        case '\n': mText.append("\\n"); break;
        case '\r': mText.append("\\r"); break;
        case '\t': mText.append("\\t"); break;
        case '\b': mText.append("\\b"); break;
        case '\f': mText.append("\\f"); break;
        default:
            mText.append("\\u00");
            mText.append(hex[c >> 4]);
            mText.append(hex[c & 0xf]);
        }
    }
    mText.append(utf8.data() + plain, utf8.size() - plain);
    mText.append('"');
}

} // namespace QuillnetSim
