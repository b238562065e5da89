// JSON form of the client library's records, used to keep them in the cache. Reading accepts any
// JSON object: missing or mistyped members give empty values, lists are cut at MaxListEntries.
#pragma once

#include <QJsonObject>

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

    static QJsonObject toJson(const QnUserRef& ref);
    static QJsonObject toJson(const QnPost& post);
    static QJsonObject toJson(const QnUser& user);
    static QJsonObject toJson(const QnEvent& event);
    static QJsonObject toJson(const QnThread& thread);
    static QJsonObject toJson(const QnMessage& message);
    static QJsonObject toJson(const QnNotification& notification);

    static QnUserRef userRefFromJson(const QJsonObject& object);
    static QnPost postFromJson(const QJsonObject& object);
    static QnUser userFromJson(const QJsonObject& object);
    static QnEvent eventFromJson(const QJsonObject& object);
    static QnThread threadFromJson(const QJsonObject& object);
    static QnMessage messageFromJson(const QJsonObject& object);
    static QnNotification notificationFromJson(const QJsonObject& object);

    // Parses the text of one object; anything else gives an empty object.
    static QJsonObject parseObject(const QByteArray& text);
    static QByteArray serialize(const QJsonObject& object);
};

} // namespace Qn
