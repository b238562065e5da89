// The contacts service's side of the social provider runner, as another program would have it: its
// own bus connection, request bytes built and answers read after docs/socialprovider.md with plain
// QDataStream fields, never with the daemon's classes.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDataStream>
#include <QIODevice>
#include <QStringList>
#include <QVariant>

class ContactsService : public QObject
{
    Q_OBJECT

public:
    struct Answer
    {
        int type;
        QString id;
        QByteArray request;
        QByteArray error;
    };
    // One record: its class and its properties in their order.
    struct Record
    {
        QString className;
        QStringList names;
        QVariantList values;

        QVariant value(const QString &name) const { return values.value(names.indexOf(name)); }
    };

    static constexpr char Service[] = "com.tarvo.socialprovider.quillnet";
    static constexpr char Path[] = "/quillnet";
    static constexpr char Interface[] = "com.tarvo.socialprovider.runner";

    ContactsService()
        : mBus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("contacts")))
    {
        // The slots are found by their D-Bus signatures.
        const auto hook = [this](const char *signal, const char *slot) {
            return mBus.connect(QLatin1String(Service), QLatin1String(Path), QLatin1String(Interface),
                                QLatin1String(signal), this, slot);
        };
        mConnected = hook("requestFinished", SLOT(onRequestFinished(int, QString, QByteArray, QByteArray)))
                && hook("personsUpdate", SLOT(onPersonsUpdate(QVariantList, QStringList)))
                && hook("activityUpdate", SLOT(onActivityUpdate(QVariantList, QStringList, int)))
                && hook("dataUpdate", SLOT(onDataUpdate(QVariantList, QStringList)));
    }
    ~ContactsService() override { QDBusConnection::disconnectFromBus(QStringLiteral("contacts")); }

    bool isConnected() const { return mConnected && mBus.isConnected(); }
    QDBusConnection &bus() { return mBus; }

    // A call to the runner. Not through QDBusInterface: it would introspect the runner with a call
    // that blocks, and the runner answers from this very thread.
    static QDBusMessage call(const QString &interface, const QString &method, const QVariantList &arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(Service), QString::fromLatin1(Path),
                                                              interface, method);
        message.setArguments(arguments);
        return message;
    }

    // Sends the request without waiting: the answer comes as a signal.
    void perform(int type, const QString &id, const QByteArray &request)
    {
        mBus.send(call(QString::fromLatin1(Interface), QStringLiteral("performRequest"), {type, id, request}));
    }

    // version 1, the entries, nothing after them.
    static QByteArray requestBytes(const QList<QPair<QString, QString>> &filter)
    {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << quint32(1) << quint32(filter.size());
        for (const auto &entry : filter)
            out << entry.first << entry.second;
        return bytes;
    }

    // The records of an answer, or with part and last of one of its parts; ok is false when the
    // bytes are neither.
    static QList<Record> records(const QByteArray &answer, bool *ok, int *part = nullptr, bool *last = nullptr)
    {
        QDataStream in(answer);
        quint32 version = 0;
        quint32 number = 1;
        quint8 lastFlag = 1;
        quint32 filterCount = 0;
        in >> version;
        if (version == 2 && part)
            in >> number >> lastFlag;
        in >> filterCount;
        for (quint32 i = 0; i < filterCount && in.status() == QDataStream::Ok; ++i) {
            QString property;
            QString pattern;
            in >> property >> pattern;
        }
        quint32 count = 0;
        in >> count;
        QList<Record> list;
        for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
            QByteArray bytes;
            in >> bytes;
            bool recordOk = false;
            list.append(record(bytes, &recordOk));
            if (!recordOk)
                in.setStatus(QDataStream::ReadCorruptData);
        }
        *ok = (version == 1 || (version == 2 && part && lastFlag <= 1)) && in.status() == QDataStream::Ok && in.atEnd();
        if (part) {
            *part = int(number);
            *last = lastFlag == 1;
        }
        return list;
    }

    // The records of the answer to id put together from its parts; ok is false unless they came
    // numbered from 1, only the final one marked last.
    QList<Record> assembled(const QString &id, bool *ok) const
    {
        QList<Record> list;
        int expected = 1;
        bool done = false;
        *ok = true;
        for (const Answer &answer : answers) {
            if (answer.id != id)
                continue;
            int part = 0;
            bool last = false;
            bool partOk = false;
            list += records(answer.request, &partOk, &part, &last);
            *ok = *ok && partOk && !done && part == expected++;
            done = last;
        }
        *ok = *ok && done;
        return list;
    }

    static Record record(const QByteArray &bytes, bool *ok)
    {
        QDataStream in(bytes);
        Record record;
        quint32 count = 0;
        in >> record.className >> count;
        for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
            QString name;
            QVariant value;
            in >> name >> value;
            record.names.append(name);
            record.values.append(value);
        }
        *ok = in.status() == QDataStream::Ok && in.atEnd();
        return record;
    }

    // qint32 type, the description.
    static QPair<int, QString> error(const QByteArray &bytes)
    {
        QDataStream in(bytes);
        qint32 type = 0;
        QString description;
        in >> type >> description;
        return {in.status() == QDataStream::Ok && in.atEnd() ? type : -1, description};
    }

    QList<Answer> answers;
    qsizetype largestAnswer = 0;
    // Ids whose answer is complete, in the order they completed.
    QStringList completed;
    QList<QVariantList> personsUpdates;
    QList<QVariantList> dataUpdates;
    QList<QStringList> dataProperties;
    QList<int> timelines;

signals:
    void answered();

private slots:
    void onRequestFinished(int type, const QString &id, const QByteArray &request, const QByteArray &error)
    {
        answers.append({type, id, request, error});
        largestAnswer = qMax(largestAnswer, request.size() + error.size());
        // The whole answer form, or the last of the parts (version 2, its flag after the number).
        if (request.startsWith(QByteArray::fromHex("00000001")) || (request.size() > 8 && request.at(8) == 1))
            completed.append(id);
        emit answered();
    }
    void onPersonsUpdate(const QVariantList &data, const QStringList &) { personsUpdates.append(data); }
    void onActivityUpdate(const QVariantList &, const QStringList &, int timeline) { timelines.append(timeline); }
    void onDataUpdate(const QVariantList &data, const QStringList &properties)
    {
        dataUpdates.append(data);
        dataProperties.append(properties);
    }

private:
    QDBusConnection mBus;
    bool mConnected = false;
};
