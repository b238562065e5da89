// Records in the JSON form the service sends and accepts: QnJson's members, with times written as
// UTC date-times with milliseconds ("2024-06-01T12:00:00.000Z").
#pragma once

#include <QJsonObject>
#include <QSet>

#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qnuser.h"

namespace QuillnetSim {

class WireJson
{
public:
    static QJsonValue time(const QDateTime& time);
    // A date-time with an offset, or milliseconds since the epoch; anything else is invalid.
    static QDateTime parseTime(const QJsonValue& value);

    static QJsonObject user(const Qn::QnUser& user);
    // Only id, name and the listed members; an empty set means every member.
    static QJsonObject user(const Qn::QnUser& user, const QSet<QString>& fields);
    static QJsonObject post(const Qn::QnPost& post);
    static QJsonObject event(const Qn::QnEvent& event);
    static QJsonObject thread(const Qn::QnThread& thread);
    static QJsonObject message(const Qn::QnMessage& message);
    static QJsonObject notification(const Qn::QnNotification& notification);

    // Reading what tests send to the administration endpoints. Missing members stay empty.
    static Qn::QnPost postFrom(const QJsonObject& object);
    static Qn::QnUser userFrom(const QJsonObject& object);
    static Qn::QnEvent eventFrom(const QJsonObject& object);
    static Qn::QnThread threadFrom(const QJsonObject& object);
    static Qn::QnMessage messageFrom(const QJsonObject& object);
    static Qn::QnNotification notificationFrom(const QJsonObject& object);
};

} // namespace QuillnetSim
