#include "platform/quillnet/qnjson.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace Qn {

namespace {

// Times travel as milliseconds since the epoch (UTC); a missing time stays absent.
QJsonValue timeToJson(const QDateTime& time)
{
    return time.isValid() ? QJsonValue(double(time.toMSecsSinceEpoch())) : QJsonValue();
}

QDateTime timeFromJson(const QJsonValue& value)
{
    if (!value.isDouble())
        return QDateTime();
    const double ms = value.toDouble();
    // Beyond +-2^53 a double no longer holds whole milliseconds; such values are not times we wrote.
    if (!(ms >= -9007199254740992.0 && ms <= 9007199254740992.0))
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
}

int countFromJson(const QJsonValue& value)
{
    const int count = value.toInt(0);
    return count < 0 ? 0 : count;
}

QJsonArray refsToJson(const QnUserRefs& refs)
{
    QJsonArray array;
    for (const QnUserRef& ref : refs)
        array.append(QnJson::toJson(ref));
    return array;
}

QnUserRefs refsFromJson(const QJsonValue& value)
{
    QnUserRefs refs;
    const QJsonArray array = value.toArray();
    for (const QJsonValue& entry : array) {
        if (refs.size() >= QnJson::MaxListEntries)
            break;
        if (entry.isObject())
            refs.append(QnJson::userRefFromJson(entry.toObject()));
    }
    return refs;
}

} // namespace

QJsonObject QnJson::toJson(const QnUserRef& ref)
{
    return QJsonObject{ { "id", ref.id() }, { "name", ref.name() } };
}

QnUserRef QnJson::userRefFromJson(const QJsonObject& object)
{
    return QnUserRef(object.value("id").toString(), object.value("name").toString());
}

QJsonObject QnJson::toJson(const QnPost& post)
{
    const QnLinkInfo link = post.linkInfo();
    return QJsonObject{
        { "id", post.id() },
        { "from", toJson(post.from()) },
        { "to", refsToJson(post.to()) },
        { "message", post.message() },
        { "story", post.story() },
        { "picture", post.picture() },
        { "link", QJsonObject{ { "link", link.link() },
                               { "name", link.name() },
                               { "caption", link.caption() },
                               { "description", link.description() } } },
        { "type", post.type() },
        { "application", post.application() },
        { "likes", post.likes() },
        { "comments", post.commentCount() },
        { "created", timeToJson(post.created()) },
        { "updated", timeToJson(post.updated()) },
    };
}

QnPost QnJson::postFromJson(const QJsonObject& object)
{
    QnPost post(object.value("id").toString());
    post.setFrom(userRefFromJson(object.value("from").toObject()));
    post.setTo(refsFromJson(object.value("to")));
    post.setMessage(object.value("message").toString());
    post.setStory(object.value("story").toString());
    post.setPicture(object.value("picture").toString());
    const QJsonObject link = object.value("link").toObject();
    post.setLinkInfo(QnLinkInfo(link.value("link").toString(), link.value("name").toString(),
                                link.value("caption").toString(), link.value("description").toString()));
    post.setType(object.value("type").toString());
    post.setApplication(object.value("application").toString());
    post.setLikes(countFromJson(object.value("likes")));
    post.setCommentCount(countFromJson(object.value("comments")));
    post.setCreated(timeFromJson(object.value("created")));
    post.setUpdated(timeFromJson(object.value("updated")));
    return post;
}

QJsonObject QnJson::toJson(const QnUser& user)
{
    return QJsonObject{
        { "id", user.id() },
        { "name", user.name() },
        { "first_name", user.firstName() },
        { "last_name", user.lastName() },
        { "about", user.about() },
        { "email", user.email() },
        { "website", user.website() },
        { "birthday", user.birthday() },
        { "mobile_phone", user.mobilePhone() },
        { "link", user.link() },
    };
}

QnUser QnJson::userFromJson(const QJsonObject& object)
{
    QnUser user(object.value("id").toString(), object.value("name").toString());
    user.setFirstName(object.value("first_name").toString());
    user.setLastName(object.value("last_name").toString());
    user.setAbout(object.value("about").toString());
    user.setEmail(object.value("email").toString());
    user.setWebsite(object.value("website").toString());
    user.setBirthday(object.value("birthday").toString());
    user.setMobilePhone(object.value("mobile_phone").toString());
    user.setLink(object.value("link").toString());
    return user;
}

QJsonObject QnJson::toJson(const QnEvent& event)
{
    return QJsonObject{
        { "id", event.id() },
        { "name", event.name() },
        { "owner", toJson(event.owner()) },
        { "location", event.location() },
        { "start_time", timeToJson(event.startTime()) },
    };
}

QnEvent QnJson::eventFromJson(const QJsonObject& object)
{
    QnEvent event(object.value("id").toString());
    event.setName(object.value("name").toString());
    event.setOwner(userRefFromJson(object.value("owner").toObject()));
    event.setLocation(object.value("location").toString());
    event.setStartTime(timeFromJson(object.value("start_time")));
    return event;
}

QJsonObject QnJson::toJson(const QnThread& thread)
{
    return QJsonObject{
        { "id", thread.id() },
        { "subject", thread.subject() },
        { "updated_time", timeToJson(thread.updatedTime()) },
        { "unread", thread.unread() },
        { "senders", refsToJson(thread.senders()) },
    };
}

QnThread QnJson::threadFromJson(const QJsonObject& object)
{
    QnThread thread(object.value("id").toString());
    thread.setSubject(object.value("subject").toString());
    thread.setUpdatedTime(timeFromJson(object.value("updated_time")));
    thread.setUnread(countFromJson(object.value("unread")));
    thread.setSenders(refsFromJson(object.value("senders")));
    return thread;
}

QJsonObject QnJson::toJson(const QnMessage& message)
{
    return QJsonObject{
        { "id", message.id() },
        { "thread_id", message.threadId() },
        { "from", toJson(message.from()) },
        { "content", message.content() },
        { "created", timeToJson(message.created()) },
    };
}

QnMessage QnJson::messageFromJson(const QJsonObject& object)
{
    QnMessage message(object.value("id").toString());
    message.setThreadId(object.value("thread_id").toString());
    message.setFrom(userRefFromJson(object.value("from").toObject()));
    message.setContent(object.value("content").toString());
    message.setCreated(timeFromJson(object.value("created")));
    return message;
}

QJsonObject QnJson::toJson(const QnNotification& notification)
{
    return QJsonObject{
        { "id", notification.id() },
        { "title", notification.title() },
        { "object_type", notification.objectType() },
        { "object_id", notification.objectId() },
        { "unread", notification.unread() },
        { "updated_time", timeToJson(notification.updatedTime()) },
    };
}

QnNotification QnJson::notificationFromJson(const QJsonObject& object)
{
    QnNotification notification(object.value("id").toString());
    notification.setTitle(object.value("title").toString());
    notification.setObjectType(object.value("object_type").toString());
    notification.setObjectId(object.value("object_id").toString());
    const QJsonValue unread = object.value("unread");
    notification.setUnread(unread.isBool() ? unread.toBool() : unread.toInt(0) != 0);
    notification.setUpdatedTime(timeFromJson(object.value("updated_time")));
    return notification;
}

QJsonObject QnJson::parseObject(const QByteArray& text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

QByteArray QnJson::serialize(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace Qn
