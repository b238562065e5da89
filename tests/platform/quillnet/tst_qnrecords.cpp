#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <time.h>

#include "platform/quillnet/qnjson.h"
#include "platform/quillnet/quillnet.h"

using namespace Qn;

namespace {

const QDateTime Created = QDateTime::fromMSecsSinceEpoch(1330880767123, Qt::UTC);
const QDateTime Updated = QDateTime::fromMSecsSinceEpoch(1330884367000, Qt::UTC);

QnPost fullPost()
{
    QnPost post(QStringLiteral("p1"));
    post.setFrom(QnUserRef(QStringLiteral("u1"), QStringLiteral("Ann")));
    post.setTo({ QnUserRef(QStringLiteral("u2"), QStringLiteral("Bob")) });
    post.setMessage(QStringLiteral("a & <b>"));
    post.setStory(QStringLiteral("story"));
    post.setPicture(QStringLiteral("http://pics.example/1.jpg"));
    post.setLinkInfo(QnLinkInfo(QStringLiteral("http://l"), QStringLiteral("n"), QStringLiteral("c"), QStringLiteral("d")));
    post.setType(QStringLiteral("photo"));
    post.setApplication(QStringLiteral("12345678901234567"));
    post.setLikes(2);
    post.setCommentCount(3);
    post.setCreated(Created);
    post.setUpdated(Updated);
    return post;
}

QnUser fullUser()
{
    QnUser user(QStringLiteral("u1"), QStringLiteral("Ann Lee"));
    user.setFirstName(QStringLiteral("Ann"));
    user.setLastName(QStringLiteral("Lee"));
    user.setAbout(QStringLiteral("about"));
    user.setEmail(QStringLiteral("ann@example.org"));
    user.setWebsite(QStringLiteral("http://a  http://b"));
    user.setBirthday(QStringLiteral("03/04/1980"));
    user.setMobilePhone(QStringLiteral("+358 40 123"));
    user.setLink(QStringLiteral("http://quillnet.example/ann"));
    return user;
}

QnThread fullThread()
{
    QnThread thread(QStringLiteral("t1"));
    thread.setSubject(QStringLiteral("hi"));
    thread.setUpdatedTime(Updated);
    thread.setUnread(2);
    thread.setSenders({ QnUserRef(QStringLiteral("u2"), QStringLiteral("Bob")) });
    return thread;
}

QnMessage fullMessage()
{
    QnMessage message(QStringLiteral("m1"));
    message.setThreadId(QStringLiteral("t1"));
    message.setFrom(QnUserRef(QStringLiteral("u2"), QStringLiteral("Bob")));
    message.setContent(QStringLiteral("hello"));
    message.setCreated(Created);
    return message;
}

QnEvent fullEvent()
{
    QnEvent event(QStringLiteral("e1"));
    event.setName(QStringLiteral("party"));
    event.setOwner(QnUserRef(QStringLiteral("u3"), QStringLiteral("Cid")));
    event.setLocation(QStringLiteral("here"));
    event.setStartTime(Created);
    return event;
}

QnNotification fullNotification()
{
    QnNotification notification(QStringLiteral("n1"));
    notification.setTitle(QStringLiteral("Bob liked your photo"));
    notification.setObjectType(QStringLiteral("photo"));
    notification.setObjectId(QStringLiteral("o1"));
    notification.setUnread(true);
    notification.setUpdatedTime(Updated);
    return notification;
}

// Every field must take part in equality: a copy is equal, and changing any one field is not.
template <typename T>
void checkEquality(const T& full, const QList<std::function<void(T&)>>& changes)
{
    const T copy = full;
    QVERIFY(copy == full);
    QVERIFY(!(copy != full));
    for (int i = 0; i < changes.size(); ++i) {
        T changed = full;
        changes.at(i)(changed);
        QVERIFY2(changed != full, qPrintable(QStringLiteral("change %1 not seen by operator!=").arg(i)));
        QVERIFY2(!(changed == full), qPrintable(QStringLiteral("change %1 not seen by operator==").arg(i)));
    }
}

} // namespace

// Stands in for the daemon's handlers: slots declared the way they declare theirs.
class Receiver : public QObject
{
    Q_OBJECT

public:
    Qn::QnError lastError;
    Qn::QnPosts posts;
    QString pictureUser;
    Qn::PictureType pictureType = Qn::SquarePicture;
    Qn::QnUsers friendRequests;
    Qn::QnNotificationList notifications;
    quint32 unreadThreads = 0;
    Qn::MessageBoxType folder = Qn::Outbox;
    Qn::QnThreads threads;
    int calls = 0;

public slots:
    void onError(Qn::QnError error)
    {
        lastError = error;
        ++calls;
    }
    void onNewsFeedRetrieved(const Qn::QnPosts& received)
    {
        posts = received;
        ++calls;
    }
    void onProfilePictureUpdated(const QString& id, Qn::PictureType type, const QString&)
    {
        pictureUser = id;
        pictureType = type;
        ++calls;
    }
    void onAllNotificationsRetrieved(Qn::QnUsers users, Qn::QnEvents, Qn::QnNotificationList list, quint32 unread)
    {
        friendRequests = users;
        notifications = list;
        unreadThreads = unread;
        ++calls;
    }
    void onThreadsRetrieved(Qn::MessageBoxType box, Qn::QnThreads received)
    {
        folder = box;
        threads = received;
        ++calls;
    }
};

class TestQnRecords : public QObject
{
    Q_OBJECT

private slots:
    void equalityCoversEveryField();
    void jsonRoundTrip();
    void jsonToleratesBadInput();
    void strictReadersTakeTheWireForm();
    void strictReadersRefuseBadRecords_data();
    void strictReadersRefuseBadRecords();
    void timesNeedAnOffset_data();
    void timesNeedAnOffset();

    void signalsMatchTheirStringSignatures_data();
    void signalsMatchTheirStringSignatures();
    void typesAreKnownByTheirQnNames_data();
    void typesAreKnownByTheirQnNames();
    void queuedStringConnectionsDeliverValues();
    void signalSpyRecordsErrors();
};

void TestQnRecords::equalityCoversEveryField()
{
    checkEquality<QnPost>(fullPost(), {
        [](QnPost& p) { p.setId(QStringLiteral("x")); },
        [](QnPost& p) { p.setFrom(QnUserRef(QStringLiteral("u1"), QStringLiteral("Other"))); },
        [](QnPost& p) { p.setTo({}); },
        [](QnPost& p) { p.setMessage(QString()); },
        [](QnPost& p) { p.setStory(QString()); },
        [](QnPost& p) { p.setPicture(QString()); },
        [](QnPost& p) { p.setLinkInfo(QnLinkInfo(QStringLiteral("http://l"), QStringLiteral("n"), QStringLiteral("c"), QString())); },
        [](QnPost& p) { p.setType(QStringLiteral("checkin")); },
        [](QnPost& p) { p.setApplication(QString()); },
        [](QnPost& p) { p.setLikes(3); },
        [](QnPost& p) { p.setCommentCount(0); },
        [](QnPost& p) { p.setCreated(Updated); },
        [](QnPost& p) { p.setUpdated(Created); },
    });
    checkEquality<QnUser>(fullUser(), {
        [](QnUser& u) { u.setId(QStringLiteral("x")); },
        [](QnUser& u) { u.setName(QStringLiteral("x")); },
        [](QnUser& u) { u.setFirstName(QStringLiteral("x")); },
        [](QnUser& u) { u.setLastName(QStringLiteral("x")); },
        [](QnUser& u) { u.setAbout(QStringLiteral("x")); },
        [](QnUser& u) { u.setEmail(QStringLiteral("x")); },
        [](QnUser& u) { u.setWebsite(QStringLiteral("x")); },
        [](QnUser& u) { u.setBirthday(QStringLiteral("x")); },
        [](QnUser& u) { u.setMobilePhone(QStringLiteral("x")); },
        [](QnUser& u) { u.setLink(QStringLiteral("x")); },
    });
    checkEquality<QnThread>(fullThread(), {
        [](QnThread& t) { t.setId(QStringLiteral("x")); },
        [](QnThread& t) { t.setSubject(QStringLiteral("x")); },
        [](QnThread& t) { t.setUpdatedTime(Created); },
        [](QnThread& t) { t.setUnread(0); },
        [](QnThread& t) { t.setSenders({ QnUserRef(QStringLiteral("u2"), QString()) }); },
    });
    checkEquality<QnMessage>(fullMessage(), {
        [](QnMessage& m) { m.setId(QStringLiteral("x")); },
        [](QnMessage& m) { m.setThreadId(QStringLiteral("x")); },
        [](QnMessage& m) { m.setFrom(QnUserRef()); },
        [](QnMessage& m) { m.setContent(QStringLiteral("x")); },
        [](QnMessage& m) { m.setCreated(Updated); },
    });
    checkEquality<QnEvent>(fullEvent(), {
        [](QnEvent& e) { e.setId(QStringLiteral("x")); },
        [](QnEvent& e) { e.setName(QStringLiteral("x")); },
        [](QnEvent& e) { e.setOwner(QnUserRef(QStringLiteral("u4"), QStringLiteral("Cid"))); },
        [](QnEvent& e) { e.setLocation(QStringLiteral("x")); },
        [](QnEvent& e) { e.setStartTime(Updated); },
    });
    checkEquality<QnNotification>(fullNotification(), {
        [](QnNotification& n) { n.setId(QStringLiteral("x")); },
        [](QnNotification& n) { n.setTitle(QStringLiteral("x")); },
        [](QnNotification& n) { n.setObjectType(QStringLiteral("stream")); },
        [](QnNotification& n) { n.setObjectId(QStringLiteral("x")); },
        [](QnNotification& n) { n.setUnread(false); },
        [](QnNotification& n) { n.setUpdatedTime(Created); },
    });
    QnDataFilter filter(QStringLiteral("me"), 50, 100);
    filter.setFields({ QStringLiteral("birthday") });
    checkEquality<QnDataFilter>(filter, {
        [](QnDataFilter& f) { f.setSubjectId(QStringLiteral("x")); },
        [](QnDataFilter& f) { f.setLimit(3); },
        [](QnDataFilter& f) { f.setOffset(0); },
        [](QnDataFilter& f) { f.setFields({}); },
    });
    checkEquality<QnError>(QnError(QnError::CacheError, QStringLiteral("q"), QStringLiteral("r"), QStringLiteral("c")), {
        [](QnError& e) { e.setErrorType(QnError::AuthenticationError); },
        [](QnError& e) { e.setQuillnetErrorString(QString()); },
        [](QnError& e) { e.setReplyErrorString(QString()); },
        [](QnError& e) { e.setCacheErrorString(QString()); },
    });
}

void TestQnRecords::jsonRoundTrip()
{
    QCOMPARE(QnJson::postFromJson(QnJson::parseObject(QnJson::serialize(QnJson::toJson(fullPost())))), fullPost());
    QCOMPARE(QnJson::userFromJson(QnJson::toJson(fullUser())), fullUser());
    QCOMPARE(QnJson::threadFromJson(QnJson::toJson(fullThread())), fullThread());
    QCOMPARE(QnJson::messageFromJson(QnJson::toJson(fullMessage())), fullMessage());
    QCOMPARE(QnJson::eventFromJson(QnJson::toJson(fullEvent())), fullEvent());
    QCOMPARE(QnJson::notificationFromJson(QnJson::toJson(fullNotification())), fullNotification());
    // Absent times stay absent rather than becoming the epoch.
    QVERIFY(!QnJson::postFromJson(QnJson::toJson(QnPost(QStringLiteral("p")))).created().isValid());
}

void TestQnRecords::jsonToleratesBadInput()
{
    QVERIFY(QnJson::parseObject("[1,2]").isEmpty());
    QVERIFY(QnJson::parseObject("{\"id\":").isEmpty());

    QJsonArray manyRefs;
    for (int i = 0; i < QnJson::MaxListEntries + 5; ++i)
        manyRefs.append(QJsonObject{ { "id", QString::number(i) } });
    const QJsonObject bad{
        { "id", 42 },                  // not a string
        { "from", "Ann" },             // not an object
        { "to", manyRefs },
        { "likes", -4 },
        { "comments", "7" },
        { "created", "yesterday" },
        { "updated", 1e300 },
    };
    const QnPost post = QnJson::postFromJson(bad);
    QVERIFY(post.id().isEmpty());
    QVERIFY(!post.from().isValid());
    QCOMPARE(post.to().size(), QnJson::MaxListEntries);
    QCOMPARE(post.likes(), 0);
    QCOMPARE(post.commentCount(), 0);
    QVERIFY(!post.created().isValid());
    QVERIFY(!post.updated().isValid());
}

void TestQnRecords::strictReadersTakeTheWireForm()
{
    const auto wire = [](const QJsonObject& object) {
        return QJsonDocument::fromJson(QnJson::serialize(object)).object();
    };
    QString error = QStringLiteral("stale");
    QCOMPARE(QnJson::readPost(wire(QnJson::toJson(fullPost())), &error), fullPost());
    QVERIFY(error.isEmpty());
    QCOMPARE(QnJson::readUser(wire(QnJson::toJson(fullUser())), &error), fullUser());
    QCOMPARE(QnJson::readThread(wire(QnJson::toJson(fullThread())), &error), fullThread());
    QCOMPARE(QnJson::readMessage(wire(QnJson::toJson(fullMessage())), &error), fullMessage());
    QCOMPARE(QnJson::readEvent(wire(QnJson::toJson(fullEvent())), &error), fullEvent());
    QCOMPARE(QnJson::readNotification(wire(QnJson::toJson(fullNotification())), &error), fullNotification());
    QVERIFY(error.isEmpty());
    // Times go out as UTC with milliseconds.
    QCOMPARE(QnJson::toJson(fullPost()).value("created").toString(), QStringLiteral("2012-03-04T17:06:07.123Z"));
    // Only the required members: the rest reads as empty.
    QnPost minimal(QStringLiteral("p"));
    minimal.setFrom(QnUserRef(QStringLiteral("u"), QString()));
    minimal.setCreated(Created);
    QCOMPARE(QnJson::readPost(QJsonObject{ { "id", "p" }, { "from", QJsonObject{ { "id", "u" }, { "name", "" } } },
                                           { "created", "2012-03-04T17:06:07.123Z" } }),
             minimal);
}

void TestQnRecords::strictReadersRefuseBadRecords_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("reason");
    const QByteArray from = R"("from": {"id": "u", "name": "U"})";
    QTest::newRow("post without time") << "post" << "{\"id\": \"p\", " + from + "}" << "\"created\" is missing";
    QTest::newRow("post time as number") << "post" << "{\"id\": \"p\", " + from + ", \"created\": 1330880767123}"
                                         << "\"created\" is not a string";
    QTest::newRow("post local time") << "post" << "{\"id\": \"p\", " + from + ", \"created\": \"2012-03-04T17:06:07\"}"
                                     << "\"created\" is not a time with an offset";
    QTest::newRow("post from text") << "post" << QByteArray(R"({"id": "p", "from": "U", "created": "2012-03-04T17:06:07Z"})")
                                    << "member \"from\": user ref: not an object";
    QTest::newRow("post recipient without id")
        << "post" << "{\"id\": \"p\", " + from + ", \"created\": \"2012-03-04T17:06:07Z\", \"to\": [{\"name\": \"x\"}]}"
        << "member \"to\": user ref: member \"id\" is missing";
    QTest::newRow("post likes as text") << "post" << "{\"id\": \"p\", " + from + ", \"created\": \"2012-03-04T17:06:07Z\", \"likes\": \"3\"}"
                                        << "\"likes\" is not a count";
    QTest::newRow("post huge count") << "post" << "{\"id\": \"p\", " + from + ", \"created\": \"2012-03-04T17:06:07Z\", \"comments\": 1e12}"
                                     << "\"comments\" is not a count";
    QTest::newRow("post link member") << "post" << "{\"id\": \"p\", " + from + ", \"created\": \"2012-03-04T17:06:07Z\", \"link\": {\"name\": 1}}"
                                      << "member \"link\": member \"name\" is not a string";
    QTest::newRow("post not an object") << "post" << QByteArray("[]") << "not an object";
    QTest::newRow("user empty id") << "user" << QByteArray(R"({"id": "", "name": "x"})") << "\"id\" is empty";
    QTest::newRow("user name number") << "user" << QByteArray(R"({"id": "u", "name": 5})") << "\"name\" is not a string";
    QTest::newRow("user phone number") << "user" << QByteArray(R"({"id": "u", "name": "x", "mobile_phone": 358401})")
                                       << "\"mobile_phone\" is not a string";
    QTest::newRow("thread negative unread") << "thread"
                                            << QByteArray(R"({"id": "t", "updated_time": "2012-03-04T17:06:07Z", "unread": -1, "senders": []})")
                                            << "\"unread\" is not a count";
    QTest::newRow("thread senders missing") << "thread" << QByteArray(R"({"id": "t", "updated_time": "2012-03-04T17:06:07Z", "unread": 1})")
                                            << "\"senders\" is missing";
    QTest::newRow("message without content") << "message" << QByteArray(R"({"id": "m", "created": "2012-03-04T17:06:07Z"})")
                                             << "\"content\" is missing";
    QTest::newRow("event without name") << "event" << QByteArray(R"({"id": "e"})") << "\"name\" is missing";
    QTest::newRow("notification unread as number")
        << "notification" << QByteArray(R"({"id": "n", "object_type": "photo", "unread": 1, "updated_time": "2012-03-04T17:06:07Z"})")
        << "\"unread\" is not a boolean";
}

void TestQnRecords::strictReadersRefuseBadRecords()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, json);
    QFETCH(QString, reason);
    const QJsonValue value = QJsonDocument::fromJson("[" + json + "]").array().at(0);
    QString error;
    bool valid = true;
    if (kind == QLatin1String("post"))
        valid = QnJson::readPost(value, &error).isValid();
    else if (kind == QLatin1String("user"))
        valid = QnJson::readUser(value, &error).isValid();
    else if (kind == QLatin1String("thread"))
        valid = QnJson::readThread(value, &error).isValid();
    else if (kind == QLatin1String("message"))
        valid = QnJson::readMessage(value, &error).isValid();
    else if (kind == QLatin1String("event"))
        valid = QnJson::readEvent(value, &error).isValid();
    else
        valid = QnJson::readNotification(value, &error).isValid();
    QVERIFY(!valid);
    QVERIFY2(error.startsWith(kind + QLatin1String(": ")), qPrintable(error));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void TestQnRecords::timesNeedAnOffset_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("msecs"); // -1: invalid
    QTest::newRow("utc") << "2024-05-01T08:15:00Z" << qint64(1714551300000);
    QTest::newRow("plus two") << "2024-05-01T10:15:00+02:00" << qint64(1714551300000);
    QTest::newRow("nepal") << "2024-05-01T14:00:00+05:45" << qint64(1714551300000);
    QTest::newRow("minus") << "2024-04-30T22:45:00.250-09:30" << qint64(1714551300250);
    QTest::newRow("one digit fraction") << "2024-05-01T08:15:00.5Z" << qint64(1714551300500);
    QTest::newRow("no offset") << "2024-05-01T08:15:00" << qint64(-1);
    QTest::newRow("space") << "2024-05-01 08:15:00Z" << qint64(-1);
    QTest::newRow("no such day") << "2024-02-30T08:15:00Z" << qint64(-1);
    QTest::newRow("microseconds") << "2024-05-01T08:15:00.123456Z" << qint64(-1);
    QTest::newRow("date only") << "2024-05-01" << qint64(-1);
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("junk after") << "2024-05-01T08:15:00Zjunk" << qint64(-1);
}

void TestQnRecords::timesNeedAnOffset()
{
    QFETCH(QString, text);
    QFETCH(qint64, msecs);
    const QByteArray saved = qgetenv("TZ");
    // The machine's zone must not matter, daylight saving included.
    for (const char* zone : { "UTC0", "EET-2EEST,M3.5.0/3,M10.5.0/4", "EST5EDT,M3.2.0,M11.1.0" }) {
        qputenv("TZ", zone);
        tzset();
        const QDateTime time = QnJson::parseTime(text);
        if (msecs < 0) {
            QVERIFY2(!time.isValid(), zone);
        } else {
            QCOMPARE(time.toMSecsSinceEpoch(), msecs);
            QCOMPARE(time.timeSpec(), Qt::UTC);
            QCOMPARE(QnJson::parseTime(QnJson::formatTime(time)), time);
        }
    }
    if (saved.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", saved);
    tzset();
}

void TestQnRecords::signalsMatchTheirStringSignatures_data()
{
    QTest::addColumn<QString>("signature");
    // Written as the daemon's handlers write them in their connections.
    for (const char* signature : {
             "initialized()",
             "error(Qn::QnError)",
             "newsFeedRetrieved(Qn::QnPosts)",
             "dataRetrieved(QUrl,QString)",
             "profilePictureUpdated(QString,Qn::PictureType,QString)",
             "friendsUpdated(Qn::QnUserRefs)",
             "profileUpdated(QString)",
             "latestStatusMessageRetrieved(QStringList,Qn::QnPosts)",
             "allNotificationsRetrieved(Qn::QnUsers, Qn::QnEvents, Qn::QnNotificationList, quint32)",
             "threadsRetrieved(Qn::MessageBoxType, Qn::QnThreads)",
             "messagesUpdated(QString, Qn::QnMessages)",
         })
        QTest::newRow(signature) << QString::fromLatin1(signature);
}

void TestQnRecords::signalsMatchTheirStringSignatures()
{
    QFETCH(QString, signature);
    const QByteArray normalized = QMetaObject::normalizedSignature(signature.toLatin1().constData());
    const int index = Quillnet::staticMetaObject.indexOfSignal(normalized.constData());
    QVERIFY2(index >= 0, normalized.constData());
    // Every parameter must be a known type, or queued delivery and QSignalSpy cannot copy it.
    const QMetaMethod method = Quillnet::staticMetaObject.method(index);
    for (int i = 0; i < method.parameterCount(); ++i)
        QVERIFY2(method.parameterMetaType(i).isValid(), method.parameterTypes().at(i).constData());
}

void TestQnRecords::typesAreKnownByTheirQnNames_data()
{
    QTest::addColumn<QByteArray>("name");
    for (const char* name : { "Qn::QnError", "Qn::PictureType", "Qn::MessageBoxType", "Qn::QnPosts", "Qn::QnUsers",
                              "Qn::QnUserRefs", "Qn::QnEvents", "Qn::QnThreads", "Qn::QnMessages",
                              "Qn::QnNotificationList", "Qn::QnPost", "Qn::QnUser", "Qn::QnEvent" })
        QTest::newRow(name) << QByteArray(name);
}

void TestQnRecords::typesAreKnownByTheirQnNames()
{
    QFETCH(QByteArray, name);
    registerMetaTypes();
    QVERIFY(QMetaType::fromName(name).isValid());
}

void TestQnRecords::queuedStringConnectionsDeliverValues()
{
    Quillnet client{ QuillnetConfiguration(QStringLiteral("token")) };
    Receiver receiver;
    QVERIFY(QObject::connect(&client, SIGNAL(newsFeedRetrieved(Qn::QnPosts)), &receiver,
                             SLOT(onNewsFeedRetrieved(Qn::QnPosts)), Qt::QueuedConnection));
    QVERIFY(QObject::connect(&client, SIGNAL(profilePictureUpdated(QString,Qn::PictureType,QString)), &receiver,
                             SLOT(onProfilePictureUpdated(QString,Qn::PictureType,QString)), Qt::QueuedConnection));
    QVERIFY(QObject::connect(&client,
                             SIGNAL(allNotificationsRetrieved(Qn::QnUsers,Qn::QnEvents,Qn::QnNotificationList,quint32)),
                             &receiver,
                             SLOT(onAllNotificationsRetrieved(Qn::QnUsers,Qn::QnEvents,Qn::QnNotificationList,quint32)),
                             Qt::QueuedConnection));
    QVERIFY(QObject::connect(&client, SIGNAL(threadsRetrieved(Qn::MessageBoxType,Qn::QnThreads)), &receiver,
                             SLOT(onThreadsRetrieved(Qn::MessageBoxType,Qn::QnThreads)), Qt::QueuedConnection));

    emit client.newsFeedRetrieved({ fullPost() });
    emit client.profilePictureUpdated(QStringLiteral("u9"), Qn::SmallPicture, QStringLiteral("/tmp/x"));
    emit client.allNotificationsRetrieved({ fullUser() }, {}, { fullNotification() }, 4);
    emit client.threadsRetrieved(Qn::Inbox, { fullThread() });
    QCOMPARE(receiver.calls, 0);
    QTRY_COMPARE(receiver.calls, 4);
    QCOMPARE(receiver.posts, QnPosts{ fullPost() });
    QCOMPARE(receiver.pictureUser, QStringLiteral("u9"));
    QCOMPARE(receiver.pictureType, Qn::SmallPicture);
    QCOMPARE(receiver.friendRequests, QnUsers{ fullUser() });
    QCOMPARE(receiver.notifications, QnNotificationList{ fullNotification() });
    QCOMPARE(receiver.unreadThreads, 4u);
    QCOMPARE(receiver.folder, Qn::Inbox);
    QCOMPARE(receiver.threads, QnThreads{ fullThread() });
}

void TestQnRecords::signalSpyRecordsErrors()
{
    Quillnet client{ QuillnetConfiguration(QStringLiteral("token")) };
    Receiver receiver;
    QVERIFY(QObject::connect(&client, SIGNAL(error(Qn::QnError)), &receiver, SLOT(onError(Qn::QnError)),
                             Qt::QueuedConnection));
    QSignalSpy spy(&client, SIGNAL(error(Qn::QnError)));
    QVERIFY(spy.isValid());
    const QnError sent(QnError::AuthenticationError, QStringLiteral("token expired"), QStringLiteral("401"));
    emit client.error(sent);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<Qn::QnError>(), sent);
    QTRY_COMPARE(receiver.calls, 1);
    QCOMPARE(receiver.lastError.errorType(), QnError::AuthenticationError);
}

QTEST_GUILESS_MAIN(TestQnRecords)
#include "tst_qnrecords.moc"
