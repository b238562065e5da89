// JSON form of the client library's records: the wire form of the service's answers and the form
// the cache keeps. The lenient readers (xFromJson) accept any object, missing or mistyped members
// giving empty values; the strict readers (readX) check what the service sends. Lists are cut at
// MaxListEntries.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qnuser.h"
#include "platform/quillnet/qnuserref.h"

namespace Qn {

class QnJson
{
public:
    static constexpr int MaxListEntries = 1000;
    // Longest id taken; longest name, title or other short text, and longest message, description
    // or address kept (longer ones are cut).
    static constexpr int MaxIdLength = 256;
    static constexpr int MaxTextLength = 1024;
    static constexpr int MaxLongTextLength = 16384;

    static QJsonObject toJson(const QnUserRef &ref);
    static QJsonObject toJson(const QnPost &post);
    static QJsonObject toJson(const QnUser &user);
    static QJsonObject toJson(const QnEvent &event);
    static QJsonObject toJson(const QnThread &thread);
    static QJsonObject toJson(const QnMessage &message);
    static QJsonObject toJson(const QnNotification &notification);

    static QnUserRef userRefFromJson(const QJsonObject &object);
    static QnPost postFromJson(const QJsonObject &object);
    static QnUser userFromJson(const QJsonObject &object);
    static QnEvent eventFromJson(const QJsonObject &object);
    static QnThread threadFromJson(const QJsonObject &object);
    static QnMessage messageFromJson(const QJsonObject &object);
    static QnNotification notificationFromJson(const QJsonObject &object);

    // Strict reading of one record the service sent: a required member that is missing, a member of
    // the wrong type, a negative count or a time without an offset gives an invalid (empty) record
    // and, when error is given, the reason.
    static QnUserRef readUserRef(const QJsonValue &value, QString *error = nullptr);
    static QnPost readPost(const QJsonValue &value, QString *error = nullptr);
    static QnUser readUser(const QJsonValue &value, QString *error = nullptr);
    static QnEvent readEvent(const QJsonValue &value, QString *error = nullptr);
    static QnThread readThread(const QJsonValue &value, QString *error = nullptr);
    static QnMessage readMessage(const QJsonValue &value, QString *error = nullptr);
    static QnNotification readNotification(const QJsonValue &value, QString *error = nullptr);

    // Times travel as ISO 8601 with an offset; they are written in UTC with milliseconds
    // ("2024-05-01T08:15:00.000Z") and read into UTC date-times, so that the instant does not
    // depend on the machine's time zone. Text without an offset reads as an invalid time.
    static QString formatTime(const QDateTime &time);
    static QDateTime parseTime(const QString &text);

    // Parses the text of one object; anything else gives an empty object.
    static QJsonObject parseObject(const QByteArray &text);
    static QByteArray serialize(const QJsonObject &object);
};

} // namespace Qn
