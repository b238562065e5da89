#include "platform/quillnet/qnjson.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

#include "platform/support/usertext.h"
#include "platform/support/logging.h"

namespace Qn {

namespace {

QJsonValue timeToJson(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(QnJson::formatTime(time)) : QJsonValue();
}

QDateTime timeFromJson(const QJsonValue &value)
{
    return value.isString() ? QnJson::parseTime(value.toString()) : QDateTime();
}

int countFromJson(const QJsonValue &value)
{
    const int count = value.toInt(0);
    return count < 0 ? 0 : count;
}

QJsonArray refsToJson(const QnUserRefs &refs)
{
    QJsonArray array;
    for (const QnUserRef &ref : refs)
        array.append(QnJson::toJson(ref));
    return array;
}

QnUserRefs refsFromJson(const QJsonValue &value)
{
    QnUserRefs refs;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &entry : array) {
        if (refs.size() >= QnJson::MaxListEntries)
            break;
        if (entry.isObject())
            refs.append(QnJson::userRefFromJson(entry.toObject()));
    }
    return refs;
}

// Checks the members of one object as it reads them; the first failure makes the record invalid.
class StrictReader
{
public:
    StrictReader(const QJsonValue &value, const char *record)
        : mRecord(record)
    {
        if (value.isObject())
            mObject = value.toObject();
        else
            fail(QStringLiteral("not an object"));
    }

    bool ok() const { return mError.isEmpty(); }
    QString error() const { return mError; }

    // The id every record needs: a non-empty string. A longer one than any service gives is refused,
    // never cut: a cut id would name another record.
    QString id()
    {
        const QString value = string("id", true, QnJson::MaxIdLength + 1);
        if (ok() && value.isEmpty())
            fail(QStringLiteral("member \"id\" is empty"));
        else if (value.size() > QnJson::MaxIdLength)
            fail(QStringLiteral("member \"id\" is longer than %1 characters").arg(QnJson::MaxIdLength));
        return value;
    }

    // Texts are cut to maxLength: what a notification, an item or a contact shows needs no more.
    QString string(const char *key, bool required, int maxLength = QnJson::MaxTextLength)
    {
        const QJsonValue value = member(key, required);
        if (value.isUndefined())
            return QString();
        if (!value.isString()) {
            wrongType(key, "a string");
            return QString();
        }
        const QString text = value.toString();
        if (text.size() > maxLength)
            qCDebug(lcClient) << "Qn::QnJson" << mRecord << "member" << key << "cut from" << text.size() << "to"
                              << maxLength << "characters";
        return Support::cut(text, maxLength);
    }

    int count(const char *key, bool required)
    {
        const QJsonValue value = member(key, required);
        if (value.isUndefined())
            return 0;
        const double number = value.toDouble(-1);
        if (!value.isDouble() || number < 0 || number > 2147483647.0 || number != double(qint64(number))) {
            wrongType(key, "a count");
            return 0;
        }
        return int(number);
    }

    bool boolean(const char *key, bool required)
    {
        const QJsonValue value = member(key, required);
        if (value.isUndefined())
            return false;
        if (!value.isBool()) {
            wrongType(key, "a boolean");
            return false;
        }
        return value.toBool();
    }

    QDateTime time(const char *key, bool required)
    {
        const QString text = string(key, required);
        if (text.isNull())
            return QDateTime();
        const QDateTime time = QnJson::parseTime(text);
        if (!time.isValid())
            wrongType(key, "a time with an offset");
        return time;
    }

    QnUserRef ref(const char *key, bool required)
    {
        const QJsonValue value = member(key, required);
        if (value.isUndefined())
            return QnUserRef();
        QString error;
        const QnUserRef ref = QnJson::readUserRef(value, &error);
        if (!error.isEmpty())
            fail(QStringLiteral("member \"%1\": %2").arg(QLatin1String(key), error));
        return ref;
    }

    QnUserRefs refs(const char *key, bool required)
    {
        QnUserRefs refs;
        const QJsonValue value = member(key, required);
        if (value.isUndefined())
            return refs;
        if (!value.isArray()) {
            wrongType(key, "an array");
            return refs;
        }
        const QJsonArray array = value.toArray();
        for (const QJsonValue &entry : array) {
            if (refs.size() >= QnJson::MaxListEntries) {
                qCWarning(lcClient) << "QnJson:" << mRecord << "member" << key << "cut at" << QnJson::MaxListEntries
                                    << "entries";
                break;
            }
            QString error;
            refs.append(QnJson::readUserRef(entry, &error));
            if (!error.isEmpty()) {
                fail(QStringLiteral("member \"%1\": %2").arg(QLatin1String(key), error));
                break;
            }
        }
        return refs;
    }

    QJsonObject object(const char *key, bool required)
    {
        const QJsonValue value = member(key, required);
        if (value.isUndefined())
            return QJsonObject();
        if (!value.isObject()) {
            wrongType(key, "an object");
            return QJsonObject();
        }
        return value.toObject();
    }

    // Fills *error and answers the record, or an empty one after a failure.
    template<typename T>
    T result(const T &record, QString *error) const
    {
        if (error)
            *error = ok() ? QString() : QStringLiteral("%1: %2").arg(QLatin1String(mRecord), mError);
        return ok() ? record : T();
    }

private:
    // Absent and null members are both "not there"; undefined is returned for them.
    QJsonValue member(const char *key, bool required)
    {
        if (!ok())
            return QJsonValue(QJsonValue::Undefined);
        const QJsonValue value = mObject.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull()) {
            if (required)
                fail(QStringLiteral("member \"%1\" is missing").arg(QLatin1String(key)));
            return QJsonValue(QJsonValue::Undefined);
        }
        return value;
    }

    void wrongType(const char *key, const char *expected)
    {
        fail(QStringLiteral("member \"%1\" is not %2").arg(QLatin1String(key), QLatin1String(expected)));
    }

    void fail(const QString &error)
    {
        if (mError.isEmpty())
            mError = error;
    }

    const char *mRecord;
    QJsonObject mObject;
    QString mError;
};

} // namespace

QJsonObject QnJson::toJson(const QnUserRef &ref)
{
    return QJsonObject {{"id", ref.id()}, {"name", ref.name()}};
}

QnUserRef QnJson::userRefFromJson(const QJsonObject &object)
{
    return QnUserRef(object.value("id").toString(), object.value("name").toString());
}

QJsonObject QnJson::toJson(const QnPost &post)
{
    const QnLinkInfo link = post.linkInfo();
    return QJsonObject {
            {"id", post.id()},
            {"from", toJson(post.from())},
            {"to", refsToJson(post.to())},
            {"message", post.message()},
            {"story", post.story()},
            {"picture", post.picture()},
            {"link",
             QJsonObject {{"link", link.link()},
                          {"name", link.name()},
                          {"caption", link.caption()},
                          {"description", link.description()}}},
            {"type", post.type()},
            {"application", post.application()},
            {"likes", post.likes()},
            {"comments", post.commentCount()},
            {"created", timeToJson(post.created())},
            {"updated", timeToJson(post.updated())},
    };
}

QnPost QnJson::postFromJson(const QJsonObject &object)
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

QJsonObject QnJson::toJson(const QnUser &user)
{
    return QJsonObject {
            {"id", user.id()},
            {"name", user.name()},
            {"first_name", user.firstName()},
            {"last_name", user.lastName()},
            {"about", user.about()},
            {"email", user.email()},
            {"website", user.website()},
            {"birthday", user.birthday()},
            {"mobile_phone", user.mobilePhone()},
            {"link", user.link()},
    };
}

QnUser QnJson::userFromJson(const QJsonObject &object)
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

QJsonObject QnJson::toJson(const QnEvent &event)
{
    return QJsonObject {
            {"id", event.id()},
            {"name", event.name()},
            {"owner", toJson(event.owner())},
            {"location", event.location()},
            {"start_time", timeToJson(event.startTime())},
    };
}

QnEvent QnJson::eventFromJson(const QJsonObject &object)
{
    QnEvent event(object.value("id").toString());
    event.setName(object.value("name").toString());
    event.setOwner(userRefFromJson(object.value("owner").toObject()));
    event.setLocation(object.value("location").toString());
    event.setStartTime(timeFromJson(object.value("start_time")));
    return event;
}

QJsonObject QnJson::toJson(const QnThread &thread)
{
    return QJsonObject {
            {"id", thread.id()},
            {"subject", thread.subject()},
            {"updated_time", timeToJson(thread.updatedTime())},
            {"unread", thread.unread()},
            {"senders", refsToJson(thread.senders())},
    };
}

QnThread QnJson::threadFromJson(const QJsonObject &object)
{
    QnThread thread(object.value("id").toString());
    thread.setSubject(object.value("subject").toString());
    thread.setUpdatedTime(timeFromJson(object.value("updated_time")));
    thread.setUnread(countFromJson(object.value("unread")));
    thread.setSenders(refsFromJson(object.value("senders")));
    return thread;
}

QJsonObject QnJson::toJson(const QnMessage &message)
{
    return QJsonObject {
            {"id", message.id()},
            {"thread_id", message.threadId()},
            {"from", toJson(message.from())},
            {"content", message.content()},
            {"created", timeToJson(message.created())},
    };
}

QnMessage QnJson::messageFromJson(const QJsonObject &object)
{
    QnMessage message(object.value("id").toString());
    message.setThreadId(object.value("thread_id").toString());
    message.setFrom(userRefFromJson(object.value("from").toObject()));
    message.setContent(object.value("content").toString());
    message.setCreated(timeFromJson(object.value("created")));
    return message;
}

QJsonObject QnJson::toJson(const QnNotification &notification)
{
    return QJsonObject {
            {"id", notification.id()},
            {"title", notification.title()},
            {"object_type", notification.objectType()},
            {"object_id", notification.objectId()},
            {"unread", notification.unread()},
            {"updated_time", timeToJson(notification.updatedTime())},
    };
}

QnNotification QnJson::notificationFromJson(const QJsonObject &object)
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

QnUserRef QnJson::readUserRef(const QJsonValue &value, QString *error)
{
    StrictReader in(value, "user ref");
    QnUserRef ref;
    ref.setId(in.id());
    ref.setName(in.string("name", true));
    return in.result(ref, error);
}

QnPost QnJson::readPost(const QJsonValue &value, QString *error)
{
    StrictReader in(value, "post");
    QnPost post(in.id());
    post.setFrom(in.ref("from", true));
    post.setCreated(in.time("created", true));
    post.setTo(in.refs("to", false));
    post.setMessage(in.string("message", false, QnJson::MaxLongTextLength));
    post.setStory(in.string("story", false, QnJson::MaxLongTextLength));
    post.setPicture(in.string("picture", false, QnJson::MaxLongTextLength));
    const QJsonObject link = in.object("link", false);
    if (!link.isEmpty()) {
        StrictReader linkIn(link, "link");
        post.setLinkInfo(QnLinkInfo(linkIn.string("link", false, QnJson::MaxLongTextLength),
                                    linkIn.string("name", false), linkIn.string("caption", false),
                                    linkIn.string("description", false, QnJson::MaxLongTextLength)));
        if (!linkIn.ok()) {
            if (error)
                *error = QStringLiteral("post: member \"link\": ") + linkIn.error();
            return QnPost();
        }
    }
    post.setType(in.string("type", false));
    post.setApplication(in.string("application", false));
    post.setLikes(in.count("likes", false));
    post.setCommentCount(in.count("comments", false));
    post.setUpdated(in.time("updated", false));
    return in.result(post, error);
}

QnUser QnJson::readUser(const QJsonValue &value, QString *error)
{
    StrictReader in(value, "user");
    QnUser user;
    user.setId(in.id());
    user.setName(in.string("name", true));
    user.setFirstName(in.string("first_name", false));
    user.setLastName(in.string("last_name", false));
    user.setAbout(in.string("about", false, QnJson::MaxLongTextLength));
    user.setEmail(in.string("email", false));
    user.setWebsite(in.string("website", false, QnJson::MaxLongTextLength));
    user.setBirthday(in.string("birthday", false));
    user.setMobilePhone(in.string("mobile_phone", false));
    user.setLink(in.string("link", false, QnJson::MaxLongTextLength));
    return in.result(user, error);
}

QnEvent QnJson::readEvent(const QJsonValue &value, QString *error)
{
    StrictReader in(value, "event");
    QnEvent event(in.id());
    event.setName(in.string("name", true));
    event.setOwner(in.ref("owner", false));
    event.setLocation(in.string("location", false));
    event.setStartTime(in.time("start_time", false));
    return in.result(event, error);
}

QnThread QnJson::readThread(const QJsonValue &value, QString *error)
{
    StrictReader in(value, "thread");
    QnThread thread(in.id());
    thread.setUpdatedTime(in.time("updated_time", true));
    thread.setUnread(in.count("unread", true));
    thread.setSenders(in.refs("senders", true));
    thread.setSubject(in.string("subject", false));
    return in.result(thread, error);
}

QnMessage QnJson::readMessage(const QJsonValue &value, QString *error)
{
    StrictReader in(value, "message");
    QnMessage message(in.id());
    message.setContent(in.string("content", true, QnJson::MaxLongTextLength));
    message.setCreated(in.time("created", true));
    message.setThreadId(in.string("thread_id", false));
    message.setFrom(in.ref("from", false));
    return in.result(message, error);
}

QnNotification QnJson::readNotification(const QJsonValue &value, QString *error)
{
    StrictReader in(value, "notification");
    QnNotification notification(in.id());
    notification.setObjectType(in.string("object_type", true));
    notification.setUnread(in.boolean("unread", true));
    notification.setUpdatedTime(in.time("updated_time", true));
    notification.setTitle(in.string("title", false));
    notification.setObjectId(in.string("object_id", false));
    return in.result(notification, error);
}

QString QnJson::formatTime(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QDateTime QnJson::parseTime(const QString &text)
{
    // Only the protocol's one form, 2024-05-01T08:15:00(.250)(Z|+02:00), read by position: Qt's ISO
    // reader takes other shapes too (without an offset, as local time) and, behind a regular
    // expression, cost several times as much, twice for every post and status of a sync.
    const qsizetype size = text.size();
    const auto number = [&text, size](qsizetype at, qsizetype count, int *value) {
        *value = 0;
        for (qsizetype i = at; i < at + count; ++i) {
            const char16_t c = i < size ? text.at(i).unicode() : u'x';
            if (c < u'0' || c > u'9')
                return false;
            *value = *value * 10 + (c - u'0');
        }
        return true;
    };
    const auto is = [&text, size](qsizetype at, char16_t c) { return at < size && text.at(at) == c; };
    int year, month, day, hour, minute, second;
    if (!number(0, 4, &year) || !is(4, u'-') || !number(5, 2, &month) || !is(7, u'-') || !number(8, 2, &day)
        || !is(10, u'T') || !number(11, 2, &hour) || !is(13, u':') || !number(14, 2, &minute) || !is(16, u':')
        || !number(17, 2, &second))
        return QDateTime();
    qsizetype at = 19;
    int msecs = 0;
    if (is(at, u'.')) {
        int digits = 0;
        for (int value = 0; digits < 3 && number(at + 1 + digits, 1, &value); ++digits)
            msecs = msecs * 10 + value;
        if (digits == 0)
            return QDateTime();
        msecs *= digits == 1 ? 100 : digits == 2 ? 10 : 1;
        at += 1 + digits;
    }
    int offset = 0;
    if (is(at, u'+') || is(at, u'-')) {
        int hours, minutes;
        if (at + 6 != size || !number(at + 1, 2, &hours) || !is(at + 3, u':') || !number(at + 4, 2, &minutes)
            || hours > 23 || minutes > 59)
            return QDateTime();
        offset = (is(at, u'-') ? -60 : 60) * (hours * 60 + minutes);
    } else if (!is(at, u'Z') || at + 1 != size) {
        return QDateTime();
    }
    const QDate date(year, month, day);
    const QTime time(hour, minute, second, msecs);
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, Qt::UTC).addSecs(-offset);
}

QJsonObject QnJson::parseObject(const QByteArray &text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QJsonObject();
    return document.object();
}

QByteArray QnJson::serialize(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace Qn
