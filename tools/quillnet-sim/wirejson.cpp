#include "wirejson.h"

#include "platform/quillnet/qnjson.h"

namespace QuillnetSim {

namespace {

const QStringList UserMembers = { "first_name", "last_name", "about", "email",
                                  "website",    "birthday",  "mobile_phone", "link" };

void setTime(QJsonObject& object, const char* key, const QDateTime& time)
{
    if (time.isValid())
        object.insert(QLatin1String(key), WireJson::time(time));
    else
        object.remove(QLatin1String(key));
}

} // namespace

QJsonValue WireJson::time(const QDateTime& time)
{
    if (!time.isValid())
        return QJsonValue();
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime WireJson::parseTime(const QJsonValue& value)
{
    if (value.isDouble()) {
        const double ms = value.toDouble();
        if (ms >= -9007199254740992.0 && ms <= 9007199254740992.0)
            return QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
        return QDateTime();
    }
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    // Without an offset the instant depends on the reader's zone.
    if (!time.isValid() || time.timeSpec() == Qt::LocalTime)
        return QDateTime();
    return time.toUTC();
}

QJsonObject WireJson::user(const Qn::QnUser& user)
{
    return Qn::QnJson::toJson(user);
}

QJsonObject WireJson::user(const Qn::QnUser& user, const QSet<QString>& fields)
{
    QJsonObject object = Qn::QnJson::toJson(user);
    if (fields.isEmpty())
        return object;
    for (const QString& member : UserMembers) {
        if (!fields.contains(member))
            object.remove(member);
    }
    return object;
}

QJsonObject WireJson::post(const Qn::QnPost& post)
{
    QJsonObject object = Qn::QnJson::toJson(post);
    setTime(object, "created", post.created());
    setTime(object, "updated", post.updated());
    return object;
}

QJsonObject WireJson::event(const Qn::QnEvent& event)
{
    QJsonObject object = Qn::QnJson::toJson(event);
    setTime(object, "start_time", event.startTime());
    return object;
}

QJsonObject WireJson::thread(const Qn::QnThread& thread)
{
    QJsonObject object = Qn::QnJson::toJson(thread);
    setTime(object, "updated_time", thread.updatedTime());
    return object;
}

QJsonObject WireJson::message(const Qn::QnMessage& message)
{
    QJsonObject object = Qn::QnJson::toJson(message);
    setTime(object, "created", message.created());
    return object;
}

QJsonObject WireJson::notification(const Qn::QnNotification& notification)
{
    QJsonObject object = Qn::QnJson::toJson(notification);
    setTime(object, "updated_time", notification.updatedTime());
    return object;
}

Qn::QnPost WireJson::postFrom(const QJsonObject& object)
{
    Qn::QnPost post = Qn::QnJson::postFromJson(object);
    post.setCreated(parseTime(object.value("created")));
    post.setUpdated(parseTime(object.value("updated")));
    return post;
}

Qn::QnUser WireJson::userFrom(const QJsonObject& object)
{
    return Qn::QnJson::userFromJson(object);
}

Qn::QnEvent WireJson::eventFrom(const QJsonObject& object)
{
    Qn::QnEvent event = Qn::QnJson::eventFromJson(object);
    event.setStartTime(parseTime(object.value("start_time")));
    return event;
}

Qn::QnThread WireJson::threadFrom(const QJsonObject& object)
{
    Qn::QnThread thread = Qn::QnJson::threadFromJson(object);
    thread.setUpdatedTime(parseTime(object.value("updated_time")));
    return thread;
}

Qn::QnMessage WireJson::messageFrom(const QJsonObject& object)
{
    Qn::QnMessage message = Qn::QnJson::messageFromJson(object);
    message.setCreated(parseTime(object.value("created")));
    return message;
}

Qn::QnNotification WireJson::notificationFrom(const QJsonObject& object)
{
    Qn::QnNotification notification = Qn::QnJson::notificationFromJson(object);
    notification.setUpdatedTime(parseTime(object.value("updated_time")));
    return notification;
}

} // namespace QuillnetSim
