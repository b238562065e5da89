// The client library's JSON records as the service sends them: parsed, read strictly and leniently,
// and a record that reads strictly must come back the same from the cache, which keeps the written
// form and reads it leniently.
#include <QJsonArray>
#include <QJsonObject>

#include <cstdio>

#include "fuzzinput.h"
#include "platform/quillnet/qnjson.h"

using Qn::QnJson;

namespace {

template<typename Read, typename ReadCached>
void readStrictly(const QJsonValue &value, Read read, ReadCached readCached)
{
    QString error;
    const auto record = read(value, &error);
    if (!record.isValid())
        return;
    // Through the written form and back, as the cache does.
    const QByteArray stored = QnJson::serialize(QnJson::toJson(record));
    FUZZ_CHECK(readCached(QnJson::parseObject(stored)) == record);
}

void readAll(const QJsonValue &value)
{
    readStrictly(value, QnJson::readUserRef, QnJson::userRefFromJson);
    readStrictly(value, QnJson::readPost, QnJson::postFromJson);
    readStrictly(value, QnJson::readUser, QnJson::userFromJson);
    readStrictly(value, QnJson::readEvent, QnJson::eventFromJson);
    readStrictly(value, QnJson::readThread, QnJson::threadFromJson);
    readStrictly(value, QnJson::readMessage, QnJson::messageFromJson);
    readStrictly(value, QnJson::readNotification, QnJson::notificationFromJson);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    const QByteArray input = Fuzz::bytes(data, size);
    const QJsonObject object = QnJson::parseObject(input);
    readAll(object);
    // Answers hold records as members and in lists.
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        readAll(it.value());
        const QJsonArray array = it.value().toArray();
        for (const QJsonValue &entry : array)
            readAll(entry);
    }
    const QDateTime time = QnJson::parseTime(QString::fromUtf8(input.left(64)));
    if (time.isValid())
        FUZZ_CHECK(QnJson::parseTime(QnJson::formatTime(time)) == time);
    return 0;
}
