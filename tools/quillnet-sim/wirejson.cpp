#include "wirejson.h"

#include <QDebug>
#include <QJsonArray>

#include <cmath>

#include "platform/support/logtext.h"

namespace QuillnetSim {

namespace {

// Member names of docs/protocol.md, one definition each for writing and reading.
namespace Member {
constexpr QLatin1String Id("id");
constexpr QLatin1String Name("name");
constexpr QLatin1String FirstName("first_name");
constexpr QLatin1String LastName("last_name");
constexpr QLatin1String About("about");
constexpr QLatin1String Email("email");
constexpr QLatin1String Website("website");
constexpr QLatin1String Birthday("birthday");
constexpr QLatin1String MobilePhone("mobile_phone");
constexpr QLatin1String Link("link");
constexpr QLatin1String From("from");
constexpr QLatin1String To("to");
constexpr QLatin1String Message("message");
constexpr QLatin1String Story("story");
constexpr QLatin1String Picture("picture");
constexpr QLatin1String Caption("caption");
constexpr QLatin1String Description("description");
constexpr QLatin1String Type("type");
constexpr QLatin1String Application("application");
constexpr QLatin1String Likes("likes");
constexpr QLatin1String Comments("comments");
constexpr QLatin1String Created("created");
constexpr QLatin1String Updated("updated");
constexpr QLatin1String Owner("owner");
constexpr QLatin1String Location("location");
constexpr QLatin1String StartTime("start_time");
constexpr QLatin1String Subject("subject");
constexpr QLatin1String UpdatedTime("updated_time");
constexpr QLatin1String Unread("unread");
constexpr QLatin1String Senders("senders");
constexpr QLatin1String ThreadId("thread_id");
constexpr QLatin1String Content("content");
constexpr QLatin1String Title("title");
constexpr QLatin1String ObjectType("object_type");
constexpr QLatin1String ObjectId("object_id");
} // namespace Member

void writeTime(JsonWriter &out, QLatin1String key, const QDateTime &time)
{
    if (time.isValid())
        out.key(key).string(WireJson::timeText(time));
}

void writeRefs(JsonWriter &out, QLatin1String key, const Qn::QnUserRefs &refs)
{
    out.key(key).beginArray();
    for (const Qn::QnUserRef &ref : refs)
        WireJson::write(out, ref);
    out.endArray();
}

QString text(const QJsonObject &object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

int count(const QJsonObject &object, QLatin1String key)
{
    const double value = object.value(key).toDouble(0);
    return value > 0 && value < 1e9 ? int(value) : 0;
}

QDateTime time(const QJsonObject &object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return QDateTime();
    const QDateTime time = WireJson::parseTime(value);
    if (!time.isValid()) {
        qWarning().noquote() << "quillnet-sim: member" << key << "is not a time with an offset, left out:"
                             << Support::logText(value.isString() ? value.toString() : QStringLiteral("(not text)"));
    }
    return time;
}

Qn::QnUserRef ref(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    return Qn::QnUserRef(text(object, Member::Id), text(object, Member::Name));
}

Qn::QnUserRefs refs(const QJsonValue &value)
{
    Qn::QnUserRefs refs;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &entry : array) {
        if (refs.size() >= WireJson::MaxListEntries)
            break;
        const Qn::QnUserRef read = ref(entry);
        if (read.isValid())
            refs.append(read);
    }
    return refs;
}

} // namespace

QString WireJson::timeText(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    const QDateTime utc = time.toUTC();
    const QDate date = utc.date();
    const QTime clock = utc.time();
    // Digits by hand: the feed writes two times per post, and QDateTime::toString costs more than
    // the rest of a post.
    char text[] = "0000-00-00T00:00:00.000Z";
    auto put = [&text](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    put(0, date.year(), 4);
    put(5, date.month(), 2);
    put(8, date.day(), 2);
    put(11, clock.hour(), 2);
    put(14, clock.minute(), 2);
    put(17, clock.second(), 2);
    put(20, clock.msec(), 3);
    return QString::fromLatin1(text, sizeof(text) - 1);
}

QDateTime WireJson::parseTime(const QJsonValue &value)
{
    QDateTime time;
    if (value.isDouble()) {
        const double ms = value.toDouble();
        if (std::fabs(ms) <= 9007199254740992.0)
            time = QDateTime::fromMSecsSinceEpoch(qint64(ms), Qt::UTC);
    } else if (value.isString() && value.toString().size() <= 64) {
        time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
        // Without an offset the instant would depend on the reader's zone.
        if (time.timeSpec() == Qt::LocalTime)
            time = QDateTime();
    }
    if (!time.isValid())
        return QDateTime();
    time = time.toUTC();
    // Four-digit years only, as RFC 3339 writes them.
    const int year = time.date().year();
    return year >= 1 && year <= 9999 ? time : QDateTime();
}

void WireJson::write(JsonWriter &out, const Qn::QnUserRef &ref)
{
    out.beginObject().key(Member::Id).string(ref.id()).key(Member::Name).string(ref.name()).endObject();
}

void WireJson::write(JsonWriter &out, const Qn::QnUser &user)
{
    write(out, user, QSet<QString>());
}

void WireJson::write(JsonWriter &out, const Qn::QnUser &user, const QSet<QString> &fields)
{
    out.beginObject().key(Member::Id).string(user.id()).key(Member::Name).string(user.name());
    auto member = [&out, &fields](QLatin1String key, const QString &value) {
        if (fields.isEmpty() || fields.contains(key))
            out.key(key).string(value);
    };
    member(Member::FirstName, user.firstName());
    member(Member::LastName, user.lastName());
    member(Member::About, user.about());
    member(Member::Email, user.email());
    member(Member::Website, user.website());
    member(Member::Birthday, user.birthday());
    member(Member::MobilePhone, user.mobilePhone());
    member(Member::Link, user.link());
    out.endObject();
}

void WireJson::write(JsonWriter &out, const Qn::QnPost &post)
{
    const Qn::QnLinkInfo link = post.linkInfo();
    out.beginObject().key(Member::Id).string(post.id()).key(Member::From);
    write(out, post.from());
    writeRefs(out, Member::To, post.to());
    out.key(Member::Message).string(post.message());
    out.key(Member::Story).string(post.story());
    out.key(Member::Picture).string(post.picture());
    out.key(Member::Link).beginObject();
    out.key(Member::Link).string(link.link());
    out.key(Member::Name).string(link.name());
    out.key(Member::Caption).string(link.caption());
    out.key(Member::Description).string(link.description());
    out.endObject();
    out.key(Member::Type).string(post.type());
    out.key(Member::Application).string(post.application());
    out.key(Member::Likes).number(post.likes());
    out.key(Member::Comments).number(post.commentCount());
    writeTime(out, Member::Created, post.created());
    writeTime(out, Member::Updated, post.updated());
    out.endObject();
}

void WireJson::write(JsonWriter &out, const Qn::QnEvent &event)
{
    out.beginObject().key(Member::Id).string(event.id()).key(Member::Name).string(event.name());
    if (event.owner().isValid()) {
        out.key(Member::Owner);
        write(out, event.owner());
    }
    out.key(Member::Location).string(event.location());
    writeTime(out, Member::StartTime, event.startTime());
    out.endObject();
}

void WireJson::write(JsonWriter &out, const Qn::QnThread &thread)
{
    out.beginObject().key(Member::Id).string(thread.id()).key(Member::Subject).string(thread.subject());
    writeTime(out, Member::UpdatedTime, thread.updatedTime());
    out.key(Member::Unread).number(thread.unread());
    writeRefs(out, Member::Senders, thread.senders());
    out.endObject();
}

void WireJson::write(JsonWriter &out, const Qn::QnMessage &message)
{
    out.beginObject().key(Member::Id).string(message.id()).key(Member::ThreadId).string(message.threadId());
    if (message.from().isValid()) {
        out.key(Member::From);
        write(out, message.from());
    }
    out.key(Member::Content).string(message.content());
    writeTime(out, Member::Created, message.created());
    out.endObject();
}

void WireJson::write(JsonWriter &out, const Qn::QnNotification &notification)
{
    out.beginObject().key(Member::Id).string(notification.id()).key(Member::Title).string(notification.title());
    out.key(Member::ObjectType).string(notification.objectType());
    out.key(Member::ObjectId).string(notification.objectId());
    out.key(Member::Unread).boolean(notification.unread());
    writeTime(out, Member::UpdatedTime, notification.updatedTime());
    out.endObject();
}

Qn::QnPost WireJson::readPost(const QJsonObject &object)
{
    Qn::QnPost post(text(object, Member::Id));
    post.setFrom(ref(object.value(Member::From)));
    post.setTo(refs(object.value(Member::To)));
    post.setMessage(text(object, Member::Message));
    post.setStory(text(object, Member::Story));
    post.setPicture(text(object, Member::Picture));
    const QJsonObject link = object.value(Member::Link).toObject();
    post.setLinkInfo(Qn::QnLinkInfo(text(link, Member::Link), text(link, Member::Name), text(link, Member::Caption),
                                    text(link, Member::Description)));
    post.setType(text(object, Member::Type));
    post.setApplication(text(object, Member::Application));
    post.setLikes(count(object, Member::Likes));
    post.setCommentCount(count(object, Member::Comments));
    post.setCreated(time(object, Member::Created));
    post.setUpdated(time(object, Member::Updated));
    return post;
}

Qn::QnUser WireJson::readUser(const QJsonObject &object)
{
    Qn::QnUser user(text(object, Member::Id), text(object, Member::Name));
    user.setFirstName(text(object, Member::FirstName));
    user.setLastName(text(object, Member::LastName));
    user.setAbout(text(object, Member::About));
    user.setEmail(text(object, Member::Email));
    user.setWebsite(text(object, Member::Website));
    user.setBirthday(text(object, Member::Birthday));
    user.setMobilePhone(text(object, Member::MobilePhone));
    user.setLink(text(object, Member::Link));
    return user;
}

Qn::QnEvent WireJson::readEvent(const QJsonObject &object)
{
    Qn::QnEvent event(text(object, Member::Id));
    event.setName(text(object, Member::Name));
    event.setOwner(ref(object.value(Member::Owner)));
    event.setLocation(text(object, Member::Location));
    event.setStartTime(time(object, Member::StartTime));
    return event;
}

Qn::QnThread WireJson::readThread(const QJsonObject &object)
{
    Qn::QnThread thread(text(object, Member::Id));
    thread.setSubject(text(object, Member::Subject));
    thread.setUpdatedTime(time(object, Member::UpdatedTime));
    thread.setUnread(count(object, Member::Unread));
    thread.setSenders(refs(object.value(Member::Senders)));
    return thread;
}

Qn::QnMessage WireJson::readMessage(const QJsonObject &object)
{
    Qn::QnMessage message(text(object, Member::Id));
    message.setThreadId(text(object, Member::ThreadId));
    message.setFrom(ref(object.value(Member::From)));
    message.setContent(text(object, Member::Content));
    message.setCreated(time(object, Member::Created));
    return message;
}

Qn::QnNotification WireJson::readNotification(const QJsonObject &object)
{
    Qn::QnNotification notification(text(object, Member::Id));
    notification.setTitle(text(object, Member::Title));
    notification.setObjectType(text(object, Member::ObjectType));
    notification.setObjectId(text(object, Member::ObjectId));
    // Unread unless the body says otherwise.
    notification.setUnread(object.value(Member::Unread).toBool(true));
    notification.setUpdatedTime(time(object, Member::UpdatedTime));
    return notification;
}

} // namespace QuillnetSim
