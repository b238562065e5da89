// Faults around the real daemon binary, end to end: its peers on the bus (the home screen's Event Feed
// and notification server) absent, hung or restarted; the simulated service failing in each way
// during each import; its storage damaged, read-only or full. Once a fault is gone and the daemon
// syncs again, what is missing must come, and nothing published, shown or seen may be lost or doubled.
#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <signal.h>
#include <unistd.h>

#include "daemon/daemonrun.h"
#include "feeditems.h"
#include "homescreen/eventfeedservice.h"
#include "homescreen/notificationserver.h"
#include "homescreen/quillnetapp.h"
#include "quillnet-sim/simulator.h"
#include "socialprovider/contactsservice.h"
#include "trickleproxy.h"

namespace {

using namespace DaemonLog;
using namespace Switches;

// The first wake-up comes within 10 s of the login.
constexpr int FirstRunMs = 40000;
constexpr int SyncMs = 30000;
// Another program that shows notifications.
const QString OtherApp = QStringLiteral("other-app");

const QString EventTypeHint = QStringLiteral("x-tarvo-event-type");
const QString &Messages = Constants::MessagesEventType;
const QString &Requests = Constants::FriendRequestEventType;
const QString &Events = Constants::EventsEventType;
const QString &General = Constants::NotificationsEventType;

// After a helper that checks: the test ends at its first failure.
#define CHECKED()                                                                                                      \
    do {                                                                                                               \
        if (QTest::currentTestFailed())                                                                                \
            return;                                                                                                    \
    } while (false)

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // Peers on the bus.
    void eventFeedAbsentHungRestarted();
    void notificationServerAbsentHungRestarted();
    void contactsFloodLeavesControlCallsAnswered();

    // The service, during each import.
    void serviceFaults_data();
    void serviceFaults();
    void missingPicturesAndEventDetails();
    void switchedOffWhileTheServiceDelays();
    void tricklingService();

    // Storage.
    void damagedStorage_data();
    void damagedStorage();
    void unwritableStorage_data();
    void unwritableStorage();

private:
    // Both peers, every switch on, and the first sync's pass and cycle over.
    bool startEverything()
    {
        return startFeed() && startServer() && mDaemon->writeAccount(*mSimulator, Everything)
                && mDaemon->startAndWait({PassEnd, CycleEnd});
    }
    // Stops the daemon, starts it again and waits for its pass and cycle of a sync.
    bool restart()
    {
        mDaemon->stop();
        return mDaemon->startAndWait({PassEnd, CycleEnd});
    }

    // A new Event Feed or notification server on the bus; the server's notifications are recorded.
    bool startFeed()
    {
        mFeed.reset(new HomeScreen::EventFeedService);
        return mFeed->registerOnBus();
    }
    bool startServer()
    {
        mServer.reset(new HomeScreen::NotificationServer);
        HomeScreen::NotificationServer *server = mServer.get();
        connect(server, &HomeScreen::NotificationServer::changeReported, this, [this, server](const QString &line) {
            if (!line.startsWith(QLatin1String("notify ")))
                return;
            const HomeScreen::Notification shown
                    = server->notifications().value(line.section(QLatin1Char(' '), 1, 1).toUInt());
            mNotified << qMakePair(shown.hints.value(EventTypeHint).toString(),
                                   shown.hints.value(QStringLiteral("transient")).toBool());
        });
        return mServer->registerOnBus();
    }

    // The post of each item the current Event Feed shows (each once when distinct).
    QStringList published(bool distinct = false) const
    {
        QStringList posts;
        for (const QVariantMap &item : mFeed ? mFeed->items() : QMap<qlonglong, QVariantMap>()) {
            // Another program's items carry no post.
            if (!postIdOf(item).isEmpty() && !(distinct && posts.contains(postIdOf(item))))
                posts << postIdOf(item);
        }
        return posts;
    }
    QStringList expectedPosts() const { return Expected::feedPosts(*mSimulator); }
    // Every post of the service's feed is published exactly once on the current Event Feed.
    void verifyFeedOnce() const
    {
        QStringList posts = published();
        posts.sort();
        QCOMPARE(posts, expectedPosts());
    }
    int unreadMessages() const { return Expected::unreadMessages(*mSimulator); }
    int unreadInFirstThread() const { return mSimulator->threads().first().unread(); }
    int transients(const QString &eventType) const { return mNotified.count(qMakePair(eventType, true)); }
    // verifyFeedOnce when there is an Event Feed; each kind has one group on the server, counting what
    // is left to see (the message group the unread messages of the threads that were new when it was
    // last published; not checked when negative); the news of each kind told `told` times (transient
    // notifications), the event invitations `events` times when that is not negative.
    void verifyOutcome(int messages, int told, int events = -1) const;

    // New posts without pictures by authors of the feed, whose avatars the daemon has.
    QStringList addPosts(int count)
    {
        QStringList ids;
        for (int i = 0; i < count; ++i) {
            Qn::QnPost post;
            post.setFrom(mSimulator->posts().at(i).from());
            post.setMessage(QStringLiteral("Fault test post %1").arg(mNextId++));
            ids << mSimulator->addPost(post).id();
        }
        return ids;
    }
    // A new item of each kind of notification on the service.
    void addNewsOfEachKind();
    // The first friend request, marked seen through the control interface.
    void markFirstRequestSeen()
    {
        mSeenRequest = mSimulator->friendRequests().first().id();
        QVERIFY(mDaemon->callControl("itemSeen", {mSeenRequest, QStringLiteral("friendreq")}));
    }

    // mount with arguments, on the daemon's cache directory.
    bool mountCache(const QStringList &arguments)
    {
        return QProcess::execute(QStringLiteral("mount"), arguments + QStringList {cacheDir()}) == 0;
    }
    QString cacheDir() const { return mDaemon->home() + QStringLiteral("/.quillnet"); }

    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<HomeScreen::EventFeedService> mFeed;
    std::unique_ptr<HomeScreen::NotificationServer> mServer;
    std::unique_ptr<DaemonRun> mDaemon;
    // Event type and transience of each notification created on any server.
    QList<QPair<QString, bool>> mNotified;
    QString mSeenRequest;
    bool mMounted = false;
    int mNextId = 1;
};

void TestFaults::init()
{
    QuillnetSim::SimConfig config;
    // Small: one feed page and one friend page, few pictures to download.
    config.posts = 8;
    config.friends = 12;
    config.threads = 3;
    config.notifications = 6;
    mSimulator.reset(new QuillnetSim::Simulator(config));
    QVERIFY(mSimulator->listen(0));
    mDaemon.reset(new DaemonRun);
    mNotified.clear();
    mSeenRequest.clear();
}

void TestFaults::cleanup()
{
    mDaemon->stop();
    if (QTest::currentTestFailed()) {
        qWarning().noquote() << "The daemon's log ends with:\n" << mDaemon->tail();
        // Nothing here talks to the app socket, whose path is the same for every daemon on the machine.
        if (mDaemon->log.contains("Read from socket"))
            qWarning() << "Another program wrote to the app socket during this test: its view report may explain "
                          "the failure";
    }
    if (mMounted) {
        // Lazily, should anything still hold a file there.
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), cacheDir()});
        mMounted = false;
    }
    mDaemon.reset();
    mFeed.reset();
    mServer.reset();
    mSimulator.reset();
}

void TestFaults::verifyOutcome(int messages, int told, int events) const
{
    if (mFeed) {
        verifyFeedOnce();
        CHECKED();
    }
    QVERIFY(mServer);
    QMap<QString, int> groups;
    for (const HomeScreen::Notification &notification : mServer->notifications()) {
        if (notification.hints.value(QStringLiteral("transient")).toBool() || notification.appName == OtherApp)
            continue;
        const QString type = notification.hints.value(EventTypeHint).toString();
        QVERIFY2(!groups.contains(type), qPrintable(QStringLiteral("two groups of ") + type));
        groups.insert(type, notification.hints.value(QStringLiteral("x-tarvo-count")).toInt());
    }
    QCOMPARE(groups,
             Expected::groupCounts(*mSimulator, mSeenRequest, messages < 0 ? groups.value(Messages) : messages));
    for (const QString &type : {Requests, Events, Messages, General}) {
        const int expected = type == Events && events >= 0 ? events : told;
        QVERIFY2(transients(type) == expected,
                 qPrintable(QStringLiteral("%1 told %2 times").arg(type).arg(transients(type))));
    }
}

void TestFaults::addNewsOfEachKind()
{
    const QString n = QString::number(mNextId++);
    QVERIFY(mSimulator->addFriendRequest(Qn::QnUser(QStringLiteral("99") + n, QStringLiteral("Asker ") + n)));
    Qn::QnEvent party(QStringLiteral("party-") + n);
    party.setName(QStringLiteral("Party ") + n);
    party.setOwner(mSimulator->friends().first().ref());
    QVERIFY(mSimulator->addEventInvitation(party));
    Qn::QnNotification notification(QStringLiteral("fault-") + n);
    notification.setObjectType(QStringLiteral("stream"));
    notification.setUnread(true);
    QVERIFY(mSimulator->addNotification(notification).isValid());
    Qn::QnMessage message;
    message.setThreadId(mSimulator->threads().first().id());
    message.setFrom(mSimulator->friends().first().ref());
    message.setContent(QStringLiteral("Message ") + n);
    QVERIFY(mSimulator->addMessage(message).isValid());
}

// Peers on the bus.

void TestFaults::eventFeedAbsentHungRestarted()
{
    QVERIFY(mDaemon->writeAccount(*mSimulator, NewsOnly));

    // Absent: nothing is published, nothing recorded.
    QVERIFY(mDaemon->startAndWait({PassEnd}, DaemonRun::FirstWakeUp));
    QVERIFY(mDaemon->log.contains(FeedUnanswered));
    // There: the next sync publishes the whole feed.
    QVERIFY(startFeed());
    QVERIFY(mDaemon->syncAndWait({PassEnd}));
    verifyFeedOnce();
    CHECKED();

    // Hung: a new instance gets the feed again from the daemon's cache; its first add waits in vain
    // and the others are left for a later pass.
    qsizetype before = mDaemon->log.size();
    int adds = 0;
    QVERIFY(startFeed());
    mFeed->hung = true;
    mFeed->onCall = [&adds](const QDBusMessage &call, bool) { adds += call.member() == QLatin1String("addItem"); };
    QVERIFY(mDaemon->waitForCachePass(before, SyncMs));
    QVERIFY(mDaemon->log.mid(before).contains(FeedUnanswered));
    QCOMPARE(adds, 1);
    // The home screen restarted: the whole feed within one pass, and what came meanwhile with a sync.
    addPosts(2);
    before = mDaemon->log.size();
    QVERIFY(startFeed());
    QVERIFY(mDaemon->waitForCachePass(before, SyncMs));
    QCOMPARE(published().size(), expectedPosts().size() - 2);
    QVERIFY(mDaemon->syncAndWait({PassEnd}));
    verifyFeedOnce();
    CHECKED();
    const qsizetype ours = published().size();

    // The home screen restarts while the daemon is held; another program publishes first and gets the
    // ids that the daemon's items had.
    const pid_t daemon = pid_t(mDaemon->pid());
    QCOMPARE(::kill(daemon, SIGSTOP), 0);
    mFeed.reset();
    QVERIFY(startFeed());
    QList<QDBusPendingCall> otherAdds;
    for (qsizetype i = 0; i < ours + 2; ++i) {
        QDBusMessage add = QDBusMessage::createMethodCall(
                QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"),
                QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("addItem"));
        add << QVariantMap {{QStringLiteral("sourceName"), QStringLiteral("Other")},
                            {QStringLiteral("title"), QStringLiteral("Other %1").arg(i)}};
        otherAdds << QDBusConnection::sessionBus().asyncCall(add);
    }
    QTRY_VERIFY(std::all_of(otherAdds.cbegin(), otherAdds.cend(),
                            [](const QDBusPendingCall &add) { return add.isFinished(); }));
    const QMap<qlonglong, QVariantMap> others = mFeed->items();
    QCOMPARE(others.size(), ours + 2);
    before = mDaemon->log.size();
    QCOMPARE(::kill(daemon, SIGCONT), 0);

    // The Quillnet feed comes back within one pass, each post once.
    QVERIFY(mDaemon->waitForCachePass(before, SyncMs));
    verifyFeedOnce();
    CHECKED();
    // A like and a deletion change the daemon's own items; the other program's stay as they were.
    const Qn::QnPosts posts = mSimulator->posts();
    const auto footerOf = [this](const QString &post) {
        for (const QVariantMap &item : mFeed->items()) {
            if (postIdOf(item) == post)
                return item.value(QStringLiteral("footer")).toString();
        }
        return QString();
    };
    const QString footer = footerOf(posts.first().id());
    QVERIFY(mSimulator->likePost(posts.first().id()));
    QVERIFY(mSimulator->removePost(posts.at(1).id()));
    QVERIFY(mDaemon->syncAndWait({PassEnd}));
    // The daemon does not wait for removals and footers: they may come after the pass.
    QTRY_VERIFY(!published().contains(posts.at(1).id()) && footerOf(posts.first().id()) != footer);
    verifyFeedOnce();
    for (auto it = others.cbegin(); it != others.cend(); ++it)
        QCOMPARE(mFeed->items().value(it.key()), it.value());

    // Restarted in the middle of a pass: the new instance gets everything, once.
    addPosts(3);
    // The feed goes off the bus after its first change (its answer sent), a new one comes half a
    // second later.
    connect(
            mFeed.get(), &HomeScreen::EventFeedService::changeReported, this,
            [this] {
                QTimer::singleShot(0, this, [this] {
                    mFeed.reset();
                    QTimer::singleShot(500, this, [this] { QVERIFY(startFeed()); });
                });
            },
            Qt::SingleShotConnection);
    QVERIFY(mDaemon->syncAndWait({PassEnd}));
    QTRY_VERIFY(mFeed);
    QVERIFY(QTest::qWaitFor([&] { return published(true).size() == expectedPosts().size(); }, SyncMs));
    verifyFeedOnce();
    QVERIFY(mDaemon->isRunning());
}

void TestFaults::notificationServerAbsentHungRestarted()
{
    QVERIFY(mDaemon->writeAccount(*mSimulator, NotificationsOnly));

    // Absent: nothing is marked shown; the next cycle, with a server, tells it all once.
    QVERIFY(mDaemon->startAndWait({CycleEnd}, DaemonRun::FirstWakeUp));
    QVERIFY(mDaemon->log.contains(ServerUnanswered));
    markFirstRequestSeen();
    QVERIFY(startServer());
    QVERIFY(mDaemon->syncAndWait({CycleEnd}));
    verifyOutcome(unreadMessages(), 1);
    CHECKED();

    // Hung on every call: the control interface is answered while the server's first call waits.
    QVERIFY(startServer());
    mServer->hung = true;
    bool called = false;
    mServer->onCall = [&called](const QDBusMessage &, bool) { called = true; };
    QVERIFY(mSimulator->addFriendRequest(Qn::QnUser(QStringLiteral("9800"), QStringLiteral("Hung Asker"))));
    const qsizetype before = mDaemon->log.size();
    QVERIFY(mDaemon->callControl("sync"));
    QVERIFY(QTest::qWaitFor([&called] { return called; }, SyncMs));
    QVERIFY(mDaemon->callControl("itemSeen", {mSeenRequest, QStringLiteral("friendreq")}));
    QVERIFY(mDaemon->callControl("sync"));
    QVERIFY(mDaemon->waitForAll({CycleEnd}, before, SyncMs));
    const QByteArray during = mDaemon->log.mid(before);
    const QByteArray sync = "void QuillnetDaemon::sync()";
    const qsizetype failed = during.indexOf(ServerUnanswered);
    QVERIFY2(failed > during.indexOf("void QuillnetDaemon::itemSeen")
                     && failed > during.indexOf(sync, during.indexOf(sync) + 1)
                     && during.indexOf(sync, during.indexOf(sync) + 1) > 0,
             during.constData());
    // The news the hung server did not show comes with the next cycle.
    QVERIFY(startServer());
    mNotified.clear();
    QVERIFY(mDaemon->syncAndWait({CycleEnd}));
    QCOMPARE(transients(Requests), 1);

    // Restarted, and another program holds the ids that the server before gave the daemon: none of
    // its notifications is replaced, closed or taken for the daemon's; each group comes back once.
    const int ours = mServer->notifications().size();
    QVERIFY(startServer());
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, OtherApp);
    const QString name = QLatin1String(HomeScreen::NotificationServer::ServiceName);
    for (int i = 0; i < ours; ++i) {
        QDBusMessage notify = QDBusMessage::createMethodCall(
                name, QLatin1String(HomeScreen::NotificationServer::ObjectPath), name, QStringLiteral("Notify"));
        notify << OtherApp << 0u << QString() << OtherApp << QString::number(i)
               << QStringList {QStringLiteral("default"), QString()} << QVariantMap() << 0;
        QDBusPendingCall call = other.asyncCall(notify);
        QVERIFY(QTest::qWaitFor([&call] { return call.isFinished(); }, 5000) && !call.isError());
    }
    QDBusConnection::disconnectFromBus(OtherApp);
    const QMap<uint, HomeScreen::Notification> held = mServer->notifications();
    QCOMPARE(held.lastKey(), uint(ours));
    mNotified.clear();
    QVERIFY(mDaemon->syncAndWait({CycleEnd}));
    for (auto it = held.cbegin(); it != held.cend(); ++it)
        QCOMPARE(mServer->notifications().value(it.key()).body, it->body);
    verifyOutcome(unreadMessages(), 0);
    CHECKED();
    HomeScreen::QuillnetApp app;
    QStringList opened;
    connect(&app, &HomeScreen::QuillnetApp::changeReported, this, [&opened](const QString &line) { opened << line; });
    QVERIFY(app.registerOnBus());
    for (const uint id : held.keys())
        QVERIFY(mServer->tap(id));
    const auto requests
            = std::find_if(mServer->notifications().keyValueBegin(), mServer->notifications().keyValueEnd(),
                           [](const auto &shown) { return shown.second.hints.value(EventTypeHint) == Requests; });
    QVERIFY(mServer->tap(requests->first));
    QTRY_VERIFY(!opened.isEmpty());
    QCOMPARE(opened, QStringList {QStringLiteral("openView kind=\"friendreq\" id=\"\"")});
    QVERIFY(mDaemon->isRunning());
}

void TestFaults::contactsFloodLeavesControlCallsAnswered()
{
    // Answers of a few hundred KB: a flood of them goes out over many passes of the runner.
    QuillnetSim::SimConfig config;
    config.friends = 300;
    mSimulator.reset(new QuillnetSim::Simulator(config));
    QVERIFY(mSimulator->listen(0));
    QVERIFY(mDaemon->writeAccount(*mSimulator, Nothing, "IM=true\n"));
    QVERIFY(mDaemon->startAndWait({FriendsEnd}, DaemonRun::FirstWakeUp));

    // A contacts service asks 300 times for all persons (type 5, no filter); once the first answer
    // with records comes, it calls sync on the same connection, so that the bus keeps the daemon's order.
    ContactsService contacts;
    QVERIFY(contacts.isConnected());
    const auto recordAnswers = [&contacts] {
        return std::count_if(contacts.answers.cbegin(), contacts.answers.cend(),
                             [](const ContactsService::Answer &answer) { return answer.error.isEmpty(); });
    };
    const QString control = QStringLiteral("com.tarvo.quillnetveldo");
    std::unique_ptr<QDBusPendingCallWatcher> sync;
    qsizetype answeredAtSync = -1;
    connect(&contacts, &ContactsService::answered, this, [&] {
        if (sync || recordAnswers() == 0)
            return;
        sync = std::make_unique<QDBusPendingCallWatcher>(contacts.bus().asyncCall(QDBusMessage::createMethodCall(
                control, QStringLiteral("/quillnetveldo"), control, QStringLiteral("sync"))));
        connect(sync.get(), &QDBusPendingCallWatcher::finished, this, [&] { answeredAtSync = recordAnswers(); });
    });
    for (int i = 0; i < 300; ++i)
        contacts.perform(5, QStringLiteral("flood-%1").arg(i), ContactsService::requestBytes({}));
    QVERIFY(QTest::qWaitFor([&] { return answeredAtSync >= 0; }, SyncMs));
    QVERIFY(!sync->isError());
    QVERIFY2(answeredAtSync < 128, qPrintable(QString::number(answeredAtSync)));

    // The limit of 128 pending requests and its refusals are tst_sdpimpl's (floodIsAnsweredFromOneConversion).
    QVERIFY(mDaemon->isRunning());
}

// The service.

void TestFaults::serviceFaults_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("count");
    // Besides the news feed and the friend list: the notification cycle's request that fails (all
    // notifications, with the friend requests and event invitations; the inbox; event details).
    QTest::addColumn<QString>("cyclePath");
    // The client's error type the daemon logs; 0 for none.
    QTest::addColumn<int>("errorType");

    using S = QuillnetSim::Simulator;
    QTest::newRow("503, all notifications") << int(S::HttpStatus) << 503 << 1 << "/notifications" << 3;
    QTest::newRow("slow, all notifications") << int(S::Delay) << 1500 << 1 << "/notifications" << 0;
    QTest::newRow("malformed, threads") << int(S::MalformedBody) << 0 << 1 << "/threads" << 4;
    QTest::newRow("truncated, event details") << int(S::TruncatedBody) << 0 << 1 << "/events/" << 2;
    // Qt sends a request once more on its own when a reused connection drops.
    QTest::newRow("dropped, threads") << int(S::DropConnection) << 0 << 2 << "/threads" << 2;
    QTest::newRow("oversized, event details") << int(S::OversizedBody) << 0 << 1 << "/events/" << 4;
}

void TestFaults::serviceFaults()
{
    QFETCH(int, kind);
    QFETCH(int, value);
    QFETCH(int, count);
    QFETCH(QString, cyclePath);
    QFETCH(int, errorType);

    QVERIFY(startFeed());
    QVERIFY(startServer());
    QVERIFY(mDaemon->writeAccount(*mSimulator, Everything, "IM=true\n"));
    const QString me = QStringLiteral("/users/") + mSimulator->me().id();
    const QStringList paths = {me + QStringLiteral("/feed"), me + QStringLiteral("/friends"), cyclePath};
    for (const QString &path : paths)
        mSimulator->injectFault(path, QuillnetSim::Simulator::FaultKind(kind), value, count);

    // The first run meets the fault in every import.
    if (errorType == 0) {
        // Only slow: everything arrives.
        QVERIFY(mDaemon->startAndWait({PassEnd, CycleEnd, FriendsEnd}, DaemonRun::FirstWakeUp));
        QVERIFY(!mDaemon->log.contains(ClientError));
    } else {
        QVERIFY(mDaemon->start());
        const QByteArray line = "type: " + QByteArray::number(errorType);
        QVERIFY(QTest::qWaitFor([&] { return mDaemon->log.count(line) >= paths.size(); }, FirstRunMs));
        // A failed feed ends the pass, a failed detail its wait, a failed fetch of all notifications
        // leaves the message threads to the cycle. The friend import goes on with the next page,
        // which is empty here: with no friend found only its safety timer ends it, which the
        // restart below cuts short.
        QVERIFY(mDaemon->waitForAll({PassEnd, CycleEnd}, 0, SyncMs));
        QVERIFY(!mDaemon->log.contains(FriendsEnd));
    }
    QVERIFY(mDaemon->isRunning());
    mSimulator->clearFaults();

    // What the first run published stays single; what it could not comes with the next run.
    mDaemon->stop();
    const qsizetype restartedAt = mDaemon->log.size();
    QVERIFY(mDaemon->startAndWait({PassEnd, CycleEnd, FriendsEnd}, DaemonRun::FirstWakeUp));
    QVERIFY(mDaemon->log.indexOf(FriendsEnd + " true", restartedAt) >= 0);
    // The invitation without details in the first run is told by the second; the others were told.
    verifyOutcome(unreadMessages(), 1, cyclePath == QLatin1String("/events/") ? 2 : 1);
}

void TestFaults::missingPicturesAndEventDetails()
{
    QVERIFY(startEverything());
    mNotified.clear();

    // A post whose author has no picture, one whose picture is gone and an invitation whose details the
    // service lost: the pass and the cycle end without waiting for their safety timers; the
    // invitation with details is told.
    const Qn::QnUser stranger(QStringLiteral("100000000009999"), QStringLiteral("Stranger"));
    Qn::QnPost lonely;
    lonely.setFrom(stranger.ref());
    lonely.setMessage(QStringLiteral("Nobody knows my face"));
    const QString lonelyId = mSimulator->addPost(lonely).id();
    Qn::QnPost gone;
    gone.setFrom(mSimulator->friends().first().ref());
    gone.setPicture(mSimulator->baseUrl().toString() + QStringLiteral("/media/photos/gone.png"));
    const QString goneId = mSimulator->addPost(gone).id();
    addNewsOfEachKind();
    Qn::QnEvent lost(QStringLiteral("lost-party"));
    lost.setName(QStringLiteral("Lost party"));
    lost.setOwner(mSimulator->friends().first().ref());
    QVERIFY(mSimulator->addEventInvitation(lost));
    mSimulator->injectFault(QStringLiteral("/events/lost-party"), QuillnetSim::Simulator::HttpStatus, 404, 100);
    const qsizetype before = mDaemon->log.size();
    QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    QVERIFY(!mDaemon->log.mid(before).contains("onSafetyTimer"));
    QVERIFY(!published().contains(lonelyId));
    QVERIFY(published().contains(goneId));
    for (const QVariantMap &item : mFeed->items())
        QVERIFY(postIdOf(item) != goneId || !item.contains(QStringLiteral("imageList")));
    QCOMPARE(transients(Events), 1);

    // A sync right after imports what is new; once the service has both again, everything is there.
    const QStringList fresh = addPosts(1);
    QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    QVERIFY(published().contains(fresh.first()));
    mSimulator->clearFaults();
    QVERIFY(mSimulator->addFriend(stranger));
    QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    verifyOutcome(unreadInFirstThread(), 1, 2);
}

void TestFaults::switchedOffWhileTheServiceDelays()
{
    // Switched off in the account file while the service's answers are held back: nothing of those
    // imports stays, and what they brought comes once the switches are on again.
    TrickleProxy proxy(mSimulator->baseUrl());
    QVERIFY(proxy.listen());
    QVERIFY(startFeed() && startServer());
    const auto switches = [&](const QByteArray &settings) {
        return mDaemon->writeAccount(proxy.baseUrl(), mSimulator->refreshToken(), settings);
    };
    QVERIFY(switches(Everything));
    QVERIFY(mDaemon->startAndWait({PassEnd, CycleEnd}));
    addPosts(2);
    addNewsOfEachKind();
    proxy.holdAnswers(
            {QStringLiteral("/users/") + mSimulator->me().id() + QStringLiteral("/feed"), QStringLiteral("/threads")});
    const qsizetype before = mDaemon->log.size();
    QVERIFY(mDaemon->callControl("sync"));
    QVERIFY(QTest::qWaitFor([&proxy] { return proxy.heldRequests() >= 2; }, SyncMs));
    QVERIFY(switches(QByteArray(Everything)
                             .replace("qn-notif_main=true", "qn-notif_main=false")
                             .replace("qn-news_main=true", "qn-news_main=false")));
    QVERIFY(mDaemon->waitForAll({"Disabling notifications", "Disabling events feed"}, before, SyncMs));
    proxy.holdAnswers({});
    const QByteArray feedAnswer = "void EventfeedHandler::onNewsFeedRetrieved";
    QVERIFY(mDaemon->waitForAll({CycleEnd, feedAnswer}, before, SyncMs));
    // Whatever the late answers start is logged before the daemon takes this call.
    QVERIFY(mDaemon->callControl("refreshEventFeed"));
    QVERIFY(mDaemon->waitForAll({"void QuillnetDaemon::refreshEventFeed()"}, before, SyncMs));
    const QByteArray during = mDaemon->log.mid(before);
    QVERIFY2(during.indexOf("Disabling notifications") < during.indexOf("onThreadsRetrieved")
                     && !during.mid(during.indexOf(feedAnswer)).contains("Adding post"),
             during.constData());
    QTRY_VERIFY(mServer->notifications().isEmpty());
    QVERIFY(published().isEmpty());

    mNotified.clear();
    QVERIFY(switches(Everything));
    QVERIFY(mDaemon->waitForAll({"\"qn-notif_main\" true"}, before, SyncMs));
    QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    verifyFeedOnce();
    QCOMPARE(transients(Messages), 1);
}

void TestFaults::tricklingService()
{
    // The service behind a proxy; each request of the daemon's gets 1.5 s.
    TrickleProxy proxy(mSimulator->baseUrl());
    QVERIFY(proxy.listen());
    mDaemon->environment.append({QStringLiteral("QUILLNET_REQUEST_DEADLINE_MS"), QStringLiteral("1500")});
    QVERIFY(startFeed());
    QVERIFY(startServer());
    QVERIFY(mDaemon->writeAccount(proxy.baseUrl(), mSimulator->refreshToken(), Everything));
    QVERIFY(mDaemon->startAndWait({PassEnd, CycleEnd}));
    const int openBefore = proxy.open();

    // Answers a byte every 100 ms, never silent and never done: three syncs in a row end with the
    // deadlines of the feed's, the notifications' and the threads' requests, not with the cycle's
    // safety timer (the feed's pass ends at its failure), and no connection stays held.
    proxy.setTrickle(100);
    const QStringList fresh = addPosts(2);
    addNewsOfEachKind();
    const qsizetype before = mDaemon->log.size();
    for (int i = 0; i < 3; ++i)
        QVERIFY(mDaemon->callControl("sync"));
    QVERIFY(mDaemon->waitForAll({PassEnd, CycleEnd}, before, 2 * SyncMs));
    const QByteArray during = mDaemon->log.mid(before);
    QVERIFY2(during.count("not answered within 1500 ms") >= 3
                     && !during.contains("NotificationHandler::onSafetyTimer()"),
             during.constData());
    QTRY_VERIFY2(proxy.open() <= openBefore, qPrintable(QString::number(proxy.open())));
    QVERIFY(!published().contains(fresh.first()));

    // The first sync after the service is well again fetches everything.
    proxy.setTrickle(0);
    QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    verifyOutcome(unreadInFirstThread(), 2);
}

// Storage.

void TestFaults::damagedStorage_data()
{
    QTest::addColumn<QString>("file");
    // The header ("file is not a database"), or every page after the first and the header's change
    // counter, which makes SQLite read them again ("database disk image is malformed").
    QTest::addColumn<bool>("header");
    // What the daemon does about it.
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("exitStatus");
    // Whether the shown and seen marks survive.
    QTest::addColumn<bool>("marksKept");

    // A running daemon reads its pages from the write-ahead log and its own cache and would go on;
    // the next start (after a kill, so that no checkpoint writes the header back) finds the file
    // damaged and rebuilds it; the marks it held are lost with it.
    QTest::newRow("daemon database") << "/.quillnet/qndaemon-cache.db" << true << QByteArray("Database file is damaged")
                                     << -1 << false;
    // Ends the daemon, so that the next start rebuilds it.
    QTest::newRow("client cache") << "/.quillnet/private/qncache.db" << false << QByteArray("Exit due to cache problem")
                                  << 1 << true;
}

void TestFaults::damagedStorage()
{
    QFETCH(QString, file);
    QFETCH(bool, header);
    QFETCH(QByteArray, line);
    QFETCH(int, exitStatus);
    QFETCH(bool, marksKept);

    QVERIFY(startEverything());
    mNotified.clear();

    // Damaged under the running daemon, then news of every kind.
    QFile database(mDaemon->home() + file);
    QVERIFY(database.open(QIODevice::ReadWrite));
    const qint64 pages = database.size() - 4096;
    QVERIFY(pages > 0);
    if (header) {
        QCOMPARE(database.write(QByteArray(100, '\x5a')), 100);
    } else {
        QVERIFY(database.seek(24));
        QCOMPARE(database.write(QByteArray(4, '\x5a')), 4);
        QVERIFY(database.seek(4096));
        QCOMPARE(database.write(QByteArray(pages, '\x5a')), pages);
    }
    database.close();
    addPosts(2);
    addNewsOfEachKind();
    const qsizetype before = mDaemon->log.size();
    if (exitStatus < 0) {
        QVERIFY(mDaemon->kill());
    } else {
        QVERIFY(mDaemon->callControl("sync"));
        QCOMPARE(mDaemon->waitForExit(SyncMs), exitStatus);
    }
    QVERIFY(mDaemon->startAndWait({PassEnd, CycleEnd}));
    QVERIFY(mDaemon->log.indexOf(line, before) >= 0);
    // The Event Feed shows the whole feed again without waiting for another sync.
    QTRY_COMPARE_WITH_TIMEOUT(published(true).size(), expectedPosts().size(), 10000);

    // Synced again and restarted: the feed once, one group per kind, each news told once.
    QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    QVERIFY(restart());
    if (!marksKept) {
        // The marks written since the rebuild hold; threads whose marks were lost with the file may
        // be told once more, once.
        for (const QString &type : {Requests, Events, General})
            QCOMPARE(transients(type), 1);
        mNotified.clear();
        QVERIFY(restart());
    }
    QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    // Which message threads count again after lost marks depends on when the file broke.
    verifyOutcome(marksKept ? unreadInFirstThread() : -1, marksKept ? 1 : 0);
}

void TestFaults::unwritableStorage_data()
{
    // A file system that comes up read-only (while the daemon has its files open for writing, the
    // kernel refuses), or one that is full: a file takes all the space left.
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("read-only") << true;
    QTest::newRow("full") << false;
}

void TestFaults::unwritableStorage()
{
    QFETCH(bool, readOnly);
    if (::geteuid() != 0)
        QSKIP("mounting a file system needs root");
    QVERIFY(QDir().mkpath(cacheDir()));
    QVERIFY(mountCache({QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                        QStringLiteral("size=8m,mode=0700"), QStringLiteral("tmpfs")}));
    mMounted = true;
    QVERIFY(startEverything());
    markFirstRequestSeen();
    const QString filler = cacheDir() + QStringLiteral("/filler");
    if (readOnly) {
        mDaemon->stop();
        QVERIFY(mountCache({QStringLiteral("-o"), QStringLiteral("remount,ro")}));
    } else {
        QFile file(filler);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(64 * 1024, '\0');
        while (file.write(block) == block.size()) {}
    }
    // News of every kind.
    addPosts(2);
    addNewsOfEachKind();
    mNotified.clear();
    const qsizetype before = mDaemon->log.size();
    if (readOnly) {
        // The daemon ends at once, and says why. Writable again: everything arrives once, the seen
        // request stays seen.
        QVERIFY(mDaemon->start());
        QCOMPARE(mDaemon->waitForExit(FirstRunMs), 1);
        QVERIFY(mDaemon->log.indexOf("Could not lock the cache directory", before) >= 0);
        QVERIFY(mountCache({QStringLiteral("-o"), QStringLiteral("remount,rw")}));
        QVERIFY(mDaemon->startAndWait({PassEnd, CycleEnd}));
    } else {
        // Synced twice, each news told once. Space again: the next news updates the same groups, what
        // could not be recorded is recorded, and a restart finds it all.
        QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
        QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
        QVERIFY(mDaemon->log.indexOf("database or disk is full", before) >= 0);
        for (const QString &type : {Requests, Events, Messages, General})
            QCOMPARE(transients(type), 1);
        QVERIFY(QFile::remove(filler));
        addNewsOfEachKind();
        QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
        QVERIFY(restart());
        QVERIFY(mDaemon->syncAndWait({PassEnd, CycleEnd}));
    }
    verifyOutcome(unreadInFirstThread(), readOnly ? 1 : 2);
    QVERIFY(mDaemon->isRunning());
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
