// The notification handler from end to end: the simulated service, the client with its cache, the
// daemon's database, a fake notification server on the private bus, and the phone application as
// a client of the local socket. The daemon's own cycle over the bus (one group per kind, nothing
// twice, taps, a kind switched off) is tst_faults' and tst_kills'.
#include <QDBusServiceWatcher>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLocale>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <climits>
#include <memory>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/constants.h"
#include "database/daemondatabase.h"
#include "database/databaseinspector.h"
#include "fakes/fakenotificationserver.h"
#include "notifications/appsocket.h"
#include "notifications/notificationhandler.h"
#include "platform/notifications/mnotification.h"
#include "platform/notifications/mremoteaction.h"
#include "platform/notifications/notificationregistry_p.h"
#include "platform/notifications/notificationserver_p.h"
#include "platform/system/helper.h"
#include "simclient.h"
#include "testfiles.h"

using QuillnetSim::Simulator;

namespace {

const QString SocketPath = QLatin1String(AppSocket::SocketPath);

// Names and texts as a hostile service might send them.
const Qn::QnUser Author(QStringLiteral("100000000007001"), QStringLiteral("Tom & \"Jerry\" <b>'s</b>"));
// An override in a name reverses nothing around it.
const Qn::QnUser Asker(QStringLiteral("100000000007002"), QStringLiteral("Zoë <i>&amp;</i>\u202e"));
// A name as a text of ours shows it: in an isolate, without its bidirectional controls.
QString isolated(const QString &name)
{
    return QChar(0x2068) + QString(name).remove(QChar(0x202e)) + QChar(0x2069);
}
const QString Text = QStringLiteral("See you at 8 & bring the <map>");

QString openView(const QString &kind, const QString &id)
{
    return MRemoteAction(QStringLiteral("com.tarvo.quillnet"), QStringLiteral("/OpenView"),
                         QStringLiteral("com.tarvo.quillnet"), QStringLiteral("openView"), {kind, id})
            .toString();
}

// The ids "1" and "2" as a QStringList in QDataStream's default settings, byte for byte.
const QByteArray Ids12("\0\0\0\2"
                       "\0\0\0\2\0\x31"
                       "\0\0\0\2\0\x32",
                       16);

} // namespace

class TestNotificationHandler : public QObject, SimClientFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Qn::registerMetaTypes();
        qputenv("QUILLNET_TRANSLATIONS_DIR", QUILLNET_TRANSLATIONS_BUILD_DIR);
        QLocale::setDefault(QLocale::c());
        QVERIFY(mHelper.setLocale(QStringLiteral("quillnet")));
        QVERIFY(NotificationServer::instance());
    }
    void init()
    {
        QVERIFY(start(QuillnetSim::SimConfig {5, 6, 1, 0, 0}, false));
        qputenv("HOME", QFile::encodeName(mDir->path()));
        QVERIFY(QDir(mDir->path()).mkdir(QStringLiteral(".quillnet")));
        MNotification::setRegistryPath(mDir->filePath(QStringLiteral("notifications.registry")));
        QVERIFY(startServer());
        mDb = std::make_unique<DaemonDatabase>(mDir->filePath(QStringLiteral("daemon.db")));
        QVERIFY(mDb->init());
        mHandler = std::make_unique<NotificationHandler>();
        QVERIFY(mHandler->init(mClient.get(), mDb.get()));
        // The user's alone (that it is a socket the connections show).
        QVERIFY(mHandler->m_socket->m_server->isListening() && modeOf(SocketPath) == 0600);
    }
    void cleanup()
    {
        mHandler.reset();
        // Whatever is at the socket's path, for the next test to find nothing.
        ::unlink(QFile::encodeName(SocketPath).constData());
        mDb.reset();
        stop();
    }
    void cleanupTestCase() { mServer.stop(); }

    void oneCyclePublishesEachKind()
    {
        QVERIFY(shapeWorld());
        QVERIFY(cycle());

        // Texts go out as plain text (escaped for a server that reads markup: tst_mnotification); a
        // tap on a group of one item opens that item. Then news of three kinds (an updated notification
        // is news again): each group in place counts all, its news what is new; the invitations,
        // without news, are not sent again.
        const struct
        {
            const Constants::NotificationKind &kind;
            uint count;
            QString summary;
            QString body;
            QString actionId;
            QString news;
            uint laterCount;
            QString laterBody;
            QString laterNews;
        } kinds[] = {
                {Constants::MessageKind, 1, isolated(Author.name()), Text, QStringLiteral("t1"),
                 QStringLiteral("1 new message"), 2, QStringLiteral("Unread messages: 2"),
                 QStringLiteral("2 new messages")},
                {Constants::FriendRequestKind, 1, QString(),
                 QStringLiteral("Friend request from ") + isolated(Asker.name()), Asker.id(),
                 QStringLiteral("1 new friend request"), 2, QStringLiteral("2 friend requests"),
                 QStringLiteral("1 new friend request")},
                {Constants::EventKind, 3, QString(), QStringLiteral("Event invitations: 3"), QString(),
                 QStringLiteral("3 new event invitations"), 0, QString(), QString()},
                {Constants::GeneralKind, 3, QString(), QStringLiteral("3 new notifications"), QString(),
                 QStringLiteral("3 new notifications"), 3, QStringLiteral("3 new notifications"),
                 QStringLiteral("1 new notification")},
        };
        QHash<QString, NotificationRecord> first;
        for (const auto &expected : kinds) {
            const NotificationRecord group = groupOf(expected.kind.eventType);
            QVERIFY2(group.id != 0, qPrintable(expected.kind.typeKey));
            QCOMPARE(group.count, expected.count);
            if (&expected.kind != &Constants::EventKind)
                QCOMPARE(group.summary, expected.summary);
            QCOMPARE(mServer.shown().value(group.id).body, expected.body);
            QCOMPARE(group.action, openView(expected.kind.typeKey, expected.actionId));
            const QList<NotificationRecord> news = newsOf(expected.kind.eventType);
            QCOMPARE(news.size(), 1);
            QCOMPARE(news.first().body, expected.news);
            first.insert(expected.kind.eventType, group);
        }
        // The invitations' owners, each once.
        const QStringList owners = groupOf(Constants::EventsEventType).summary.split(QStringLiteral(", "));
        QSet<QString> expectedOwners;
        for (const Qn::QnEvent &event : mSim->eventInvitations())
            expectedOwners << isolated(event.owner().name());
        QVERIFY(owners.size() == expectedOwners.size()
                && QSet<QString>(owners.cbegin(), owners.cend()) == expectedOwners);

        // Nothing new: not a single call to the server.
        mServer.clearCalls();
        QVERIFY(cycle());
        QCOMPARE(mServer.members(), QStringList());

        QVERIFY(addMessage(QStringLiteral("t1"), Author.ref(), QStringLiteral("Second")));
        QVERIFY(mSim->addFriendRequest(Qn::QnUser(QStringLiteral("100000000007004"), QStringLiteral("Una"))));
        QVERIFY(addNotification(QStringLiteral("1"), QStringLiteral("photo")).isValid());
        QVERIFY(cycle());
        for (const auto &expected : kinds) {
            const NotificationRecord group = groupOf(expected.kind.eventType);
            const NotificationRecord &before = first[expected.kind.eventType];
            if (expected.laterCount == 0) {
                QVERIFY(group == before && callsOf(expected.kind.eventType, false) == 0);
                continue;
            }
            QCOMPARE(group.id, before.id);
            QCOMPARE(group.count, expected.laterCount);
            QCOMPARE(group.body, expected.laterBody);
            if (&expected.kind == &Constants::FriendRequestKind)
                QCOMPARE(group.action, openView(expected.kind.typeKey, QString()));
            QCOMPARE(newsOf(expected.kind.eventType).last().body, expected.laterNews);
        }
    }

    void seenItemsStopCounting()
    {
        enableOnly(Constants::FriendRequestType);
        mHandler->setEnabled(Constants::EventType, true);
        const Qn::QnUsers requests = mSim->friendRequests();
        QVERIFY(cycle());
        const NotificationRecord group = groupOf(Constants::FriendRequestEventType);
        QCOMPARE(group.body, QStringLiteral("3 friend requests"));
        const NotificationRecord invitations = groupOf(Constants::EventsEventType);
        QCOMPARE(invitations.count, 2u);

        // Notified, then opened: seen all the same.
        mHandler->itemSeen(requests.at(0).id(), Constants::FriendRequestType);
        QCOMPARE(marked("seen_items", Constants::FriendRequestType), QStringList {requests.at(0).id()});
        // Never notified: shown and seen; messages are never recorded from outside.
        mHandler->itemSeen(QStringLiteral("e9"), Constants::EventType);
        mHandler->itemSeen(QStringLiteral("123"), Constants::MessageType);
        QVERIFY(marked("shown_items", Constants::EventType).contains(QStringLiteral("e9")));
        QCOMPARE(marked("seen_items", Constants::EventType), QStringList {QStringLiteral("e9")});
        QCOMPARE(marked("shown_items", Constants::MessageType) + marked("seen_items", Constants::MessageType),
                 QStringList());

        // Everything seen: the kind is withdrawn. None of the invitations' details: their group stays
        // as it is, though nothing of it was seen in that cycle (some of them: tst_faults').
        for (const Qn::QnUser &user : requests)
            mHandler->itemSeen(user.id(), Constants::FriendRequestType);
        mSim->injectFault(QStringLiteral("/events/"), Simulator::HttpStatus, 500, 2);
        QVERIFY(cycle());
        QCOMPARE(groupOf(Constants::FriendRequestEventType).id, 0u);
        QVERIFY(newsOf(Constants::FriendRequestEventType).isEmpty());
        QVERIFY(!mServer.shown().contains(group.id));
        QCOMPARE(groupOf(Constants::EventsEventType), invitations);
    }

    void messageThreadRules()
    {
        enableOnly(Constants::MessageType);
        const Qn::QnUser known = mSim->friends().at(0);
        const Qn::QnUser unnamed = mSim->friends().at(1);
        QVERIFY(addThread(QStringLiteral("t1"), known.ref(), Text));
        QVERIFY(cycle());
        QCOMPARE(groupOf(Constants::MessagesEventType).body, Text);

        // A second thread from a sender without a name. A failed thread list, or a failed latest message
        // of the thread, leaves the group as it is and the thread to the next cycle; a failed profile
        // leaves the name out.
        NotificationRecord group = groupOf(Constants::MessagesEventType);
        QVERIFY(addThread(QStringLiteral("t2"), Qn::QnUserRef(unnamed.id(), QString()), QStringLiteral("Hi")));
        for (const QString &path : {QStringLiteral("/threads"), QStringLiteral("/threads/t2/messages"),
                                    QStringLiteral("/users/") + unnamed.id()}) {
            mSim->injectFault(path, Simulator::HttpStatus, 500);
            QVERIFY(cycle());
            const bool named = path.startsWith(QLatin1String("/users"));
            QCOMPARE(marked("shown_items", Constants::MessageType).size(), named ? 2 : 1);
            if (!named)
                QCOMPARE(groupOf(Constants::MessagesEventType), group);
        }
        QCOMPARE(groupOf(Constants::MessagesEventType).summary, QString());
        // A third, whose sender's name the profile tells; the others are shown already.
        const Qn::QnUser told = mSim->friends().at(2);
        QVERIFY(addThread(QStringLiteral("t3"), Qn::QnUserRef(told.id(), QString()), QStringLiteral("Hey")));
        QVERIFY(cycle());
        QCOMPARE(mSim->requestCount(QStringLiteral("/users/") + told.id()), 1);
        group = groupOf(Constants::MessagesEventType);
        QCOMPARE((QVariantList {group.count, group.summary, group.body, group.action}),
                 (QVariantList {1u, isolated(told.name()), QStringLiteral("Unread messages: 1"),
                                openView(Constants::MessageType, QString())}));

        // A new key with the same latest text is no news, and is not marked.
        Qn::QnThread touched = mSim->threads().last();
        QCOMPARE(touched.id(), QStringLiteral("t1"));
        touched.setUpdatedTime(QDateTime::currentDateTimeUtc().addSecs(60));
        QVERIFY(mSim->addThread(touched).isValid());
        mServer.clearCalls();
        const QStringList marks = marked("shown_items", Constants::MessageType);
        QVERIFY(cycle());
        QCOMPARE(mServer.members(), QStringList());
        QCOMPARE(marked("shown_items", Constants::MessageType), marks);

        // Unread counts the service gives in full: the sum does not wrap.
        for (const char *id : {"big1", "big2", "big3"}) {
            Qn::QnThread big {QLatin1String(id)};
            big.setUnread(INT_MAX);
            big.setSenders({known.ref()});
            QVERIFY(mSim->addThread(big).isValid());
        }
        QVERIFY(cycle());
        group = groupOf(Constants::MessagesEventType);
        QCOMPARE(group.count, UINT_MAX);
        QCOMPARE(group.body, QStringLiteral("Unread messages: 6442450941"));
        QCOMPARE(newsOf(Constants::MessagesEventType).last().body, QStringLiteral("2147483647 new messages"));

        // Nothing unread any more: the kind is withdrawn.
        for (Qn::QnThread thread : mSim->threads()) {
            thread.setUnread(0);
            QVERIFY(mSim->addThread(thread).isValid());
        }
        QVERIFY(cycle());
        QCOMPARE(groupOf(Constants::MessagesEventType).id, 0u);
    }

    void cycleBoundsAndSafetyTimer()
    {
        // Without a client nothing happens; with every kind off the cycle is over at once.
        NotificationHandler unbound;
        QSignalSpy unboundImported(&unbound, &NotificationHandler::notificationsImported);
        unbound.startNotificationImport();
        QCOMPARE(unboundImported.count(), 0);
        enableOnly(QString());
        QSignalSpy imported(mHandler.get(), &NotificationHandler::notificationsImported);
        mHandler->startNotificationImport();
        QCOMPARE(imported.count(), 1);
        QCOMPARE(mSim->requestCount(QStringLiteral("/notifications")), 0);

        enableOnly(Constants::FriendRequestType);
        QCOMPARE(mHandler->m_safetyTimer.interval(), 30000);
        QVERIFY(mHandler->m_safetyTimer.isSingleShot());
        mSim->injectFault(QStringLiteral("/notifications"), Simulator::Delay, 300);
        QSignalSpy failed(mClient.get(), &Qn::Quillnet::requestFailed);
        mHandler->startNotificationImport();
        mHandler->startNotificationImport();
        QVERIFY(mHandler->m_safetyTimer.isActive());
        QVERIFY(QMetaObject::invokeMethod(mHandler.get(), "onSafetyTimer"));
        // The request of a cycle that gave up is abandoned; that publishes nothing and ends nothing.
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(imported.count(), 1);
        QCOMPARE(groupOf(Constants::FriendRequestEventType).id, 0u);

        // Switched off while what the cycle published is on its way, one kind and then all: that is
        // withdrawn, never shown nor marked, and the cycle ends without its answers.
        mHandler->setEnabled(Constants::NotificationType, true);
        QVERIFY(addNotification(QStringLiteral("1"), QStringLiteral("photo")).isValid());
        for (const QString &off : {Constants::FriendRequestEventType, QString()}) {
            connect(
                    mClient.get(), &Qn::Quillnet::allNotificationsRetrieved, this,
                    [this, off] { mHandler->clear(off, true); }, Qt::SingleShotConnection);
            QVERIFY(cycle());
            QTRY_VERIFY(NotificationServer::instance()->isIdle()
                        && mServer.shown().size() == int(off.isEmpty() ? 0 : 2));
            QCOMPARE(records(Constants::FriendRequestEventType, NotificationRecord::Group).size(), 0);
            QCOMPARE(marked("shown_items").size(), 1);
        }
        QVERIFY(cycle());
        QCOMPARE(groupOf(Constants::FriendRequestEventType).count, 3u);

        // A failed fetch ends the cycle at once, without the signal: nothing was imported.
        mSim->injectFault(QStringLiteral("/notifications"), Simulator::HttpStatus, 503);
        failed.clear();
        imported.clear();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Failed to retrieve all notifications")));
        mHandler->startNotificationImport();
        QVERIFY(failed.wait());
        QVERIFY(!mHandler->m_cycle && !mHandler->m_safetyTimer.isActive());
        QCOMPARE(imported.count(), 0);
        QVERIFY(cycle());
    }

    void answersOfAnEndedCycleChangeNothing()
    {
        // A cycle given up while it waits for the latest message of its thread.
        enableOnly(Constants::MessageType);
        const Qn::QnUser known = mSim->friends().at(0);
        QVERIFY(addThread(QStringLiteral("t1"), known.ref(), QStringLiteral("First")));
        mSim->injectFault(QStringLiteral("/threads/t1/messages"), Simulator::Delay, 300);
        QSignalSpy threads(mClient.get(), &Qn::Quillnet::threadsRetrieved);
        mHandler->startNotificationImport();
        QVERIFY(threads.wait());
        QVERIFY(QMetaObject::invokeMethod(mHandler.get(), "onSafetyTimer"));

        // The next one: t1 read meanwhile, t2 new. Its all-notifications answer fails (unavailable, too
        // large): the threads, asked for with requests of their own, are still told. While it waits for
        // t2's latest message, answers nobody awaits come.
        Qn::QnThread read = mSim->threads().last();
        QCOMPARE(read.id(), QStringLiteral("t1"));
        read.setUnread(0);
        QVERIFY(mSim->addThread(read).isValid());
        QVERIFY(addThread(QStringLiteral("t2"), known.ref(), QStringLiteral("Second")));
        mSim->injectFault(QStringLiteral("/notifications"), Simulator::HttpStatus, 503);
        mSim->injectFault(QStringLiteral("/threads/t2/messages"), Simulator::Delay, 300);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Failed to retrieve all notifications")));
        QSignalSpy imported(mHandler.get(), &NotificationHandler::notificationsImported);
        threads.clear();
        mHandler->startNotificationImport();
        QVERIFY(threads.wait());
        Qn::QnMessage stale;
        stale.setThreadId(QStringLiteral("t1"));
        stale.setContent(QStringLiteral("Stale"));
        emit mClient->messagesUpdated(QStringLiteral("t1"), {stale});
        emit mClient->profileUpdated(known.id());
        QVERIFY(imported.wait());
        const NotificationRecord group = groupOf(Constants::MessagesEventType);
        QCOMPARE(group.body, QStringLiteral("Second"));
        QCOMPARE(group.action, openView(Constants::MessageType, QStringLiteral("t2")));
        const QStringList marks = marked("shown_items", Constants::MessageType);
        QVERIFY2(marks.size() == 1 && marks.first().startsWith(QLatin1String("t2.")), qPrintable(marks.join(' ')));
    }

    void newsWaitsForAServerThatShowsIt()
    {
        QVERIFY(shapeWorld());
        // A hung server (none at all is tst_faults'): nothing is marked, and the cycle ends once the
        // calls failed.
        mServer.run([](FakeNotificationServer &server) { server.hung = true; });
        bool idle = false;
        connect(mHandler.get(), &NotificationHandler::notificationsImported, this,
                [&idle] { idle = NotificationServer::instance()->isIdle(); });
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("No notification server answers")));
        QVERIFY(cycle());
        QVERIFY(idle);
        QCOMPARE(marked("shown_items"), QStringList());

        // A server that answers: all of it told, once, as shown.
        QSignalSpy recorded(mHandler.get(), &NotificationHandler::newsRecorded);
        QVERIFY(startServer());
        QVERIFY(cycle());
        QVERIFY(cycle());
        for (const Constants::NotificationKind &kind : Constants::NotificationKinds)
            QCOMPARE(callsOf(kind.eventType, true), 1);
        QCOMPARE(recorded.size(), 4);
        for (const QVariantList &news : std::as_const(recorded))
            QVERIFY(news.at(2).toBool());
        const QStringList marks = marked("shown_items");
        QCOMPARE(marks.size(), 8);

        // Another server: the groups with something left to see come back as they were, without news,
        // once; not the one the user dismissed.
        const uint dismissed = groupOf(Constants::FriendRequestEventType).id;
        mServer.run(
                [&](FakeNotificationServer &server) { server.close(dismissed, FakeNotificationServer::Dismissed); });
        QTRY_COMPARE(groupOf(Constants::FriendRequestEventType).id, 0u);
        QVERIFY(startServer());
        for (int run = 0; run < 2; ++run) {
            QVERIFY(cycle());
            for (const QString &eventType :
                 {Constants::MessagesEventType, Constants::EventsEventType, Constants::NotificationsEventType}) {
                QCOMPARE(callsOf(eventType, false), 1);
                QVERIFY(mServer.shown().contains(groupOf(eventType).id));
            }
            QCOMPARE(mServer.members().size(), 4);
            QCOMPARE(mServer.shown().size(), 3);
            QCOMPARE(marked("shown_items"), marks);
        }
    }

    void commandsAreReadAsTheyCome_data()
    {
        QTest::addColumn<QList<QByteArray>>("writes");
        QTest::addColumn<QString>("view");
        QTest::addColumn<QString>("withdrawn"); // the event type, or empty

        QTest::newRow("notif") << QList<QByteArray> {"notif"} << Constants::NotificationType
                               << Constants::NotificationsEventType;
        QTest::newRow("with its newline") << QList<QByteArray> {"notif\n"} << "notif\n" << QString();
        QTest::newRow("run together") << QList<QByteArray> {"notif", "friendreq"} << "notiffriendreq" << QString();
        QTest::newRow("up to a zero byte") << QList<QByteArray> {QByteArray("friendreq\0notif", 15)}
                                           << Constants::FriendRequestType << Constants::FriendRequestEventType;
        QTest::newRow("47 bytes at a time")
                << QList<QByteArray> {QByteArray(47, 'v') + "notif"} << QString(47, QLatin1Char('v')) << QString();
        QTest::newRow("not ASCII") << QList<QByteArray> {"n\xf6tif"} << QStringLiteral("n\u00f6tif") << QString();
    }

    void commandsAreReadAsTheyCome()
    {
        QFETCH(QList<QByteArray>, writes);
        QFETCH(QString, view);
        QFETCH(QString, withdrawn);

        QVERIFY(shapeWorld());
        QVERIFY(cycle());
        const std::unique_ptr<QLocalSocket> app = connectApp();
        QVERIFY(app);
        for (const QByteArray &data : std::as_const(writes))
            app->write(data);
        QVERIFY(app->waitForBytesWritten());
        QTRY_COMPARE(mHandler->m_socket->m_clientView, view);
        for (const Constants::NotificationKind &kind : Constants::NotificationKinds)
            QCOMPARE(groupOf(kind.eventType).id == 0, kind.eventType == withdrawn);

        // What a read left in the socket comes with the next one.
        app->write("!");
        QVERIFY(app->waitForBytesWritten());
        QTRY_COMPARE(mHandler->m_socket->m_clientView,
                     view.size() == 47 ? QStringLiteral("notif!") : QStringLiteral("!"));
    }

    void reportedViewHoldsNewsBackWhileTheAppIsThere()
    {
        QVERIFY(shapeWorld());
        QVERIFY(cycle());
        // The view passes to the next client, which replaces the first.
        QSignalSpy views(mHandler.get(), &NotificationHandler::appViewChanged);
        const std::unique_ptr<QLocalSocket> first = connectApp();
        QVERIFY(first);
        first->write("friendreq");
        QTRY_COMPARE(views.value(views.size() - 1), (QVariantList {true, Constants::FriendRequestType}));
        const std::unique_ptr<QLocalSocket> second = connectApp();
        QVERIFY(second);
        QTRY_COMPARE(first->state(), QLocalSocket::UnconnectedState);
        QCOMPARE(views.value(views.size() - 1), (QVariantList {true, Constants::FriendRequestType}));

        // News of the kind on view is not notified, then or later.
        const QString suppressed = QStringLiteral("100000000008001");
        QVERIFY(mSim->addFriendRequest(Qn::QnUser(suppressed, QStringLiteral("New"))));
        QSignalSpy recorded(mHandler.get(), &NotificationHandler::newsRecorded);
        QVERIFY(cycle());
        QCOMPARE(groupOf(Constants::FriendRequestEventType).id, 0u);
        QVERIFY(marked("shown_items", Constants::FriendRequestType).contains(suppressed));
        QCOMPARE(recorded, (QList<QVariantList> {{Constants::FriendRequestType, QStringList {suppressed}, false}}));

        // Gone, the application shows nothing, though the view it reported is kept.
        second->disconnectFromServer();
        QTRY_COMPARE(views.value(views.size() - 1), (QVariantList {false, QString()}));
        QCOMPARE(mHandler->m_socket->view(), QString());
        QCOMPARE(mHandler->m_socket->m_clientView, Constants::FriendRequestType);
        QVERIFY(mSim->addFriendRequest(Qn::QnUser(QStringLiteral("100000000008002"), QStringLiteral("Newer"))));
        QVERIFY(cycle());
        QCOMPARE(groupOf(Constants::FriendRequestEventType).count, 3u);
        QCOMPARE(newsOf(Constants::FriendRequestEventType).size(), 1);
    }

    void readFileReachesTheService_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("requests"); // one, for ids 1 and 2 read
        QTest::addColumn<QString>("problem"); // why the file is ignored; empty when it reads cleanly

        // Long lists and empty ids are the client's (tst_quillnethttp): they reach it as they are.
        QTest::newRow("ids 1 and 2") << Ids12 << 1 << QString();
        QTest::newRow("no ids") << QByteArray(4, '\0') << 0 << QString();

        // The reader's other refusals are its own test's (tst_support); here, its limits and the file's.
        QTest::newRow("count of four billion") << QByteArray("\xff\xff\xff\xfe", 4) << 0
                                               << "at byte 4: a count of 4294967294, over the limit of 262144";
        QTest::newRow("length beyond the file") << QByteArray("\0\0\0\1\x7f\xff\xff\xfe\0\x31", 10) << 0
                                                << "at byte 8: a text of 2147483646 bytes, over the limit of 1048576";
        QTest::newRow("bytes after the list") << Ids12 + '\0' << 0 << "at byte 16: 1 bytes after the end";
        QTest::newRow("too large") << Ids12 + QByteArray(AppSocket::MaxReadFileBytes, '\0') << 0
                                   << "larger than 1048576 bytes";
        // In the file's place, a link to a file of ids 1 and 2, and a named pipe: removed, never followed
        // nor waited for.
        QTest::newRow("link") << QByteArray("link") << 0 << "Too many levels of symbolic links";
        QTest::newRow("pipe") << QByteArray("pipe") << 0 << "not a regular file";
    }

    void readFileReachesTheService()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, requests);
        QFETCH(QString, problem);

        QVERIFY(addNotification(QStringLiteral("1"), QStringLiteral("stream")).isValid());
        QVERIFY(addNotification(QStringLiteral("2"), QStringLiteral("stream")).isValid());
        const std::unique_ptr<QLocalSocket> app = connectApp();
        QVERIFY(app);
        app->write("friendreq");
        QTRY_COMPARE(mHandler->m_socket->m_clientView, Constants::FriendRequestType);

        const QString target = mDir->filePath(QStringLiteral("ids"));
        if (content == "link")
            QVERIFY(writeFile(target, Ids12) && QFile::link(target, readFile()));
        else if (content == "pipe")
            QCOMPARE(::mkfifo(QFile::encodeName(readFile()).constData(), 0600), 0);
        else
            QVERIFY(writeFile(readFile(), content));
        if (!problem.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("Ignoring \".*markReadNtf\" \"%1\"$")
                                                            .arg(QRegularExpression::escape(problem))));
        app->write("markReadNtf");
        QTRY_VERIFY(modeOf(readFile()) == -1);
        QCOMPARE(mHandler->m_socket->m_clientView, Constants::FriendRequestType);
        // Every request the client sent answered.
        QVERIFY(QTest::qWaitFor([this] { return mClient->findChildren<QNetworkReply *>().isEmpty(); }, 10000));
        QCOMPARE(mSim->requestCount(QStringLiteral("/notifications/read")), requests);
        for (const Qn::QnNotification &notification : mSim->notifications())
            QCOMPARE(notification.unread(), requests == 0);
    }

    void aFloodWaitsInTheSocket()
    {
        // A flood waits in the socket, not in the daemon.
        const std::unique_ptr<QLocalSocket> app = connectApp();
        QVERIFY(app);
        QLocalSocket *peer = mHandler->m_socket->m_client;
        qint64 largest = 0;
        int reads = 0;
        connect(peer, &QLocalSocket::readyRead, this, [&] {
            ++reads;
            largest = qMax(largest, peer->bytesAvailable());
        });
        const int flood = 16 * 1024;
        app->write(QByteArray(flood, 'f'));
        // One command per read, each read refilling the capped buffer from the socket.
        QTRY_VERIFY(reads >= (flood - 2 * AppSocket::SocketReadBufferBytes) / AppSocket::MaxCommandBytes);
        QVERIFY2(largest <= AppSocket::SocketReadBufferBytes, qPrintable(QString::number(largest)));
    }

    void existingEntryAtTheSocketPath_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("replaced");

        QTest::newRow("stale socket of the user") << "socket" << true;
        QTest::newRow("regular file") << "file" << false;
        QTest::newRow("link to a socket") << "link" << false;
        QTest::newRow("socket of another user") << "foreign socket" << false;
    }

    void existingEntryAtTheSocketPath()
    {
        QFETCH(QString, entry);
        QFETCH(bool, replaced);

        if (entry == QLatin1String("foreign socket") && ::geteuid() != 0)
            QSKIP("Only the superuser can leave a socket of another user");
        mHandler.reset();
        const QByteArray path = QFile::encodeName(SocketPath);
        const auto bindSocket = [](const QByteArray &at) {
            sockaddr_un address {};
            address.sun_family = AF_UNIX;
            qstrncpy(address.sun_path, at.constData(), sizeof(address.sun_path));
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
            ::close(fd);
            return bound;
        };
        const QByteArray elsewhere = QFile::encodeName(mDir->filePath(QStringLiteral("other.sock")));
        if (entry == QLatin1String("file"))
            QVERIFY(writeFile(SocketPath, "x"));
        else
            QVERIFY(bindSocket(entry == QLatin1String("link") ? elsewhere : path));
        if (entry == QLatin1String("link"))
            QCOMPARE(::symlink(elsewhere.constData(), path.constData()), 0);
        else if (entry == QLatin1String("foreign socket"))
            QCOMPARE(::lchown(path.constData(), 65534, 65534), 0);
        struct stat before;
        QCOMPARE(::lstat(path.constData(), &before), 0);

        if (!replaced)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("is not a socket of this user: left alone")));
        auto handler = std::make_unique<NotificationHandler>();
        QCOMPARE(handler->m_socket->isListening(), replaced);
        struct stat after;
        QCOMPARE(::lstat(path.constData(), &after), 0);
        // A filesystem may give the new socket the inode the stale one freed: that it answers shows the
        // replacement; what is left alone keeps its inode.
        if (!replaced)
            QCOMPARE(after.st_ino, before.st_ino);
        QLocalSocket app;
        app.connectToServer(SocketPath);
        QCOMPARE(app.waitForConnected(2000), replaced);

        // A handler takes its own socket away when it goes, never one that has replaced it since, nor
        // what was there before it.
        if (replaced) {
            NotificationHandler next;
            handler.reset();
            QLocalSocket nextApp;
            nextApp.connectToServer(SocketPath);
            QVERIFY(nextApp.waitForConnected(2000));
        }
        handler.reset();
        QCOMPARE(::lstat(path.constData(), &after) == 0, !replaced);
    }

private:
    // A server that shows plain text.
    [[nodiscard]] bool startServer()
    {
        // The framework asks each server for its capabilities once: it must hear of the new one.
        QDBusServiceWatcher watcher(QStringLiteral("org.freedesktop.Notifications"), QDBusConnection::sessionBus(),
                                    QDBusServiceWatcher::WatchForOwnerChange);
        QSignalSpy changes(&watcher, &QDBusServiceWatcher::serviceOwnerChanged);
        const int expected = mServer.isRunning() ? 2 : 1;
        mServer.stop();
        if (!mServer.start({QStringLiteral("actions"), QStringLiteral("body")})
            || !QTest::qWaitFor([&] { return changes.size() >= expected; }, 5000))
            return false;
        QCoreApplication::processEvents();
        return !NotificationServer::instance()->hasCachedCapabilities();
    }
    [[nodiscard]] bool addMessage(const QString &threadId, const Qn::QnUserRef &from, const QString &content)
    {
        Qn::QnMessage message;
        message.setThreadId(threadId);
        message.setFrom(from);
        message.setContent(content);
        return mSim->addMessage(message).isValid();
    }
    // A new thread with that message.
    [[nodiscard]] bool addThread(const QString &id, const Qn::QnUserRef &from, const QString &content)
    {
        return mSim->addThread(Qn::QnThread(id)).isValid() && addMessage(id, from, content);
    }
    // Invalid when the service did not take it.
    Qn::QnNotification addNotification(const QString &id, const QString &type, bool unread = true)
    {
        Qn::QnNotification notification(id);
        notification.setObjectType(type);
        notification.setUnread(unread);
        return mSim->addNotification(notification);
    }
    // One unread thread, one friend request, three invitations, three notifications to notify and
    // three not to.
    [[nodiscard]] bool shapeWorld()
    {
        bool ok = mSim->addFriend(Author) && addThread(QStringLiteral("t1"), Author.ref(), Text);
        for (const Qn::QnUser &user : mSim->friendRequests())
            ok = ok && mSim->removeFriendRequest(user.id());
        Qn::QnEvent party(QStringLiteral("e-party"));
        party.setName(QStringLiteral("Party"));
        party.setOwner(Qn::QnUserRef(QStringLiteral("100000000007003"), QStringLiteral("Bob & Co <x>")));
        ok = ok && mSim->addFriendRequest(Asker) && mSim->addEventInvitation(party);
        // Not notified: a type that is not handled, a notification read, a type in another case.
        const char *types[] = {"photo", "stream", "album", "group", "stream", "Photo"};
        for (int i = 0; i < 6; ++i)
            ok = ok && addNotification(QString::number(i + 1), QLatin1String(types[i]), i != 4).isValid();
        return ok;
    }
    // A complete cycle; false when it did not end with exactly one notificationsImported().
    [[nodiscard]] bool cycle()
    {
        QSignalSpy imported(mHandler.get(), &NotificationHandler::notificationsImported);
        mHandler->startNotificationImport();
        return (imported.count() == 1 || imported.wait(10000)) && imported.count() == 1 && !mHandler->m_cycle
                && !mHandler->m_safetyTimer.isActive();
    }
    void enableOnly(const QString &type)
    {
        for (const Constants::NotificationKind &kind : Constants::NotificationKinds)
            mHandler->setEnabled(kind.typeKey, kind.typeKey == type);
    }
    // What the framework's registry holds of an event type: its group (id 0 unless there is exactly
    // one) and the news.
    QList<NotificationRecord> records(const QString &eventType, NotificationRecord::Kind kind) const
    {
        QList<NotificationRecord> found = NotificationRegistry(MNotification::registryPath()).load();
        found.removeIf([&](const NotificationRecord &r) { return r.kind != kind || r.eventType != eventType; });
        return found;
    }
    NotificationRecord groupOf(const QString &eventType) const
    {
        const QList<NotificationRecord> groups = records(eventType, NotificationRecord::Group);
        return groups.size() == 1 ? groups.first() : NotificationRecord();
    }
    QList<NotificationRecord> newsOf(const QString &eventType) const
    {
        return records(eventType, NotificationRecord::InGroup);
    }
    // The ids in the table of the type, or of every type.
    QStringList marked(const char *table, const QString &type = QString())
    {
        const QString where = type.isEmpty() ? QString() : QStringLiteral(" WHERE type = '%1'").arg(type);
        Inspector inspector(mDir->filePath(QStringLiteral("daemon.db")));
        return QVariant(inspector.column(QStringLiteral("SELECT id FROM %1%2 ORDER BY type, id")
                                                 .arg(QLatin1String(table), where)))
                .toStringList();
    }
    // Notify calls the server took of the event type: for its group, or for news.
    int callsOf(const QString &eventType, bool news)
    {
        const QList<FakeNotificationCall> calls = mServer.calls();
        return int(std::count_if(calls.cbegin(), calls.cend(), [&](const FakeNotificationCall &call) {
            return call.member == QLatin1String("Notify") && call.id != 0
                    && call.hints.value(QStringLiteral("x-tarvo-event-type")) == eventType
                    && call.hints.value(QStringLiteral("transient")).toBool() == news;
        }));
    }
    // A client of the socket that the handler has taken as its current one.
    std::unique_ptr<QLocalSocket> connectApp()
    {
        // The handler takes a connection in the same signal, before the spy hears of it.
        QSignalSpy taken(mHandler->m_socket->m_server, &QLocalServer::newConnection);
        auto app = std::make_unique<QLocalSocket>();
        app->connectToServer(SocketPath);
        if (!app->waitForConnected(5000) || !(taken.count() == 1 || taken.wait(5000)))
            return nullptr;
        return app;
    }
    QString readFile() const { return QDir::homePath() + QStringLiteral("/.quillnet/markReadNtf"); }

    Helper mHelper;
    FakeNotificationServerThread mServer;
    std::unique_ptr<DaemonDatabase> mDb;
    std::unique_ptr<NotificationHandler> mHandler;
};

QTEST_GUILESS_MAIN(TestNotificationHandler)
#include "tst_notificationhandler.moc"
