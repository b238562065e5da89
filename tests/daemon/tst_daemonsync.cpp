// The daemon's triggers and their gate, in process: the heartbeat, the control interface, the Event
// Feed's refresh request, the account's switches and services, and the online state.
#include <QDate>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "daemon/quillnetdaemon.h"
#include "database/databaseinspector.h"
#include "eventfeed/eventfeedhandler.h"
#include "fakes/fakeeventfeed.h"
#include "notifications/notificationhandler.h"
#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qntypes.h"
#include "platform/system/qmheartbeat.h"
#include "quillnet-sim/simulator.h"
#include "testaccount.h"

namespace {

// Debug lines of the daemon and its components, for the decisions they trace.
QStringList *gTrace = nullptr;
QtMessageHandler gPreviousHandler = nullptr;

void recordTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (gTrace && type == QtDebugMsg)
        gTrace->append(message);
    if (type != QtDebugMsg)
        gPreviousHandler(type, context, message);
}

const char FromCache[] = "bool EventfeedHandler::startNewsfeedImport(bool) true";
const char NotificationStart[] = "void NotificationHandler::startNotificationImport()";
const char FriendStart[] = "bool FriendImporter::startFriendImport(bool)";

} // namespace

class TestDaemonSync : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void gateLogsInOrInitialisesFirst();
    void firstHeartbeatImportsLaterOnesOnlyFriends();
    void dailyCleanUpOfTheClientCache();
    void syncTwiceRunsTwice();
    void refreshesCoalesceAndAskNoGateWhenOff();
    void switchesWithdrawAndReachTheHandlers();
    void servicesAndSeenItems();

private:
    void setUpBackend();
    void invoke(const char *slot, QGenericArgument a = QGenericArgument(), QGenericArgument b = QGenericArgument());
    int traced(const QString &prefix) const;
    // News feed requests the simulator received.
    int feedRequests() const;

    QTemporaryDir mConfigHome;
    std::unique_ptr<QTemporaryDir> mHome;
    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<FakeEventFeedThread> mFeed;
    TestAccount *mAccount = nullptr;
    std::unique_ptr<QuillnetDaemon> mDaemon;
    QStringList mTrace;
};

void TestDaemonSync::initTestCase()
{
    Qn::registerMetaTypes();
    qputenv("XDG_CONFIG_HOME", mConfigHome.path().toUtf8());
}

void TestDaemonSync::init()
{
    mHome.reset(new QTemporaryDir);
    mSimulator.reset(new QuillnetSim::Simulator);
    QVERIFY(mSimulator->listen(0));
    mFeed.reset(new FakeEventFeedThread);
    QVERIFY(mFeed->start());
    mAccount = installTestAccount(mHome->path(), mSimulator->baseUrl());
    QVERIFY(mAccount);
    mAccount->values = {{QStringLiteral("qn-notif_main"), true}, {QStringLiteral("qn-news_main"), true}};

    mTrace.clear();
    gTrace = &mTrace;
    gPreviousHandler = qInstallMessageHandler(recordTrace);
    mDaemon.reset(new QuillnetDaemon);
}

void TestDaemonSync::cleanup()
{
    mDaemon.reset();
    qInstallMessageHandler(gPreviousHandler);
    gTrace = nullptr;
    mFeed.reset();
    mSimulator.reset();
    mHome.reset();
}

void TestDaemonSync::setUpBackend()
{
    // The set-up arms the first wake-up within 0-10 s; the tests wake the daemon themselves.
    mDaemon->mHeartbeat.get()->disconnect(mDaemon.get());
    emit mAccount->loginResponse(mSimulator->accessToken(), true);
    QTRY_VERIFY(mDaemon->mNotificationHandler.get());
    mSimulator->clearRequests();
    mTrace.clear();
}

void TestDaemonSync::invoke(const char *slot, QGenericArgument a, QGenericArgument b)
{
    QVERIFY(QMetaObject::invokeMethod(mDaemon.get(), slot, a, b));
}

int TestDaemonSync::traced(const QString &prefix) const
{
    int count = 0;
    for (const QString &line : mTrace)
        count += line.startsWith(prefix) ? 1 : 0;
    return count;
}

int TestDaemonSync::feedRequests() const
{
    int count = 0;
    for (const auto &request : mSimulator->requests())
        count += request.path.endsWith(QLatin1String("/feed")) ? 1 : 0;
    return count;
}

void TestDaemonSync::gateLogsInOrInitialisesFirst()
{
    // Not logged in: a sync only starts a login.
    const int logins = mAccount->logins.size();
    invoke("sync");
    QCOMPARE(mAccount->logins.size(), logins);
    emit mAccount->loginResponse(QString(), false);
    mDaemon->mRetryTimer.stop();
    invoke("sync");
    QCOMPARE(mAccount->logins.size(), logins + 1);
    // Started offline, the login failed: coming online logs in again at once.
    emit mAccount->loginResponse(QString(), false);
    mDaemon->mRetryTimer.stop();
    invoke("onOnlineStateChanged", Q_ARG(bool, false));
    QCOMPARE(mAccount->logins.size(), logins + 1);
    invoke("onOnlineStateChanged", Q_ARG(bool, true));
    QCOMPARE(mAccount->logins.size(), logins + 2);

    // Logged in, but the service refused the client's start: the next trigger starts it again.
    mSimulator->injectFault(QStringLiteral("/me"), QuillnetSim::Simulator::HttpStatus, 503);
    QTest::ignoreMessage(QtWarningMsg, "Network error during backend initialization.");
    emit mAccount->loginResponse(mSimulator->accessToken(), true);
    QTRY_COMPARE(mSimulator->pendingFaults(), 0);
    QTRY_VERIFY(traced(QStringLiteral("void QuillnetDaemon::onError(Qn::QnError)")) > 0);
    QVERIFY(!mDaemon->mEventfeedHandler.get());
    invoke("sync");
    QTRY_VERIFY(mDaemon->mEventfeedHandler.get());
    QCOMPARE(mAccount->logins.size(), logins + 2);
}

void TestDaemonSync::firstHeartbeatImportsLaterOnesOnlyFriends()
{
    mAccount->services.insert(QStringLiteral("IM"), true);
    setUpBackend();
    auto *heartbeat = mDaemon->mHeartbeat.get();
    for (int wakeUp = 1; wakeUp <= 3; ++wakeUp) {
        invoke("onSyncHeartbeat", Q_ARG(QTime, QTime::currentTime()));
        // Re-armed for two hours at every wake-up.
        QVERIFY(heartbeat->remainingMs() > 7190 * 1000);
        QCOMPARE(traced(QLatin1String(FriendStart)), (wakeUp + 1) / 2);
    }
    QTRY_COMPARE(feedRequests(), 1);
    QCOMPARE(traced(QLatin1String(NotificationStart)), 1);
}

void TestDaemonSync::dailyCleanUpOfTheClientCache()
{
    setUpBackend();
    const QString database = mHome->path() + QStringLiteral("/cache/quillnet/qndaemon-cache.db");
    QVERIFY(Inspector(database).exec(QStringLiteral("UPDATE clear_date SET day = 1, month = 1, year = 2020")));
    Qn::QnCache observer(daemonClientCache(mHome->path()));
    Qn::QnPost old(QStringLiteral("old_1"));
    old.setFrom(Qn::QnUserRef(QStringLiteral("7"), QStringLiteral("Old")));
    old.setCreated(QDateTime::currentDateTime().addDays(-3));
    QVERIFY(observer.storeNewsFeed(QStringLiteral("someone"), {old}));
    const QString download = observer.storeData(QUrl(QStringLiteral("http://127.0.0.1:1/x.png")), "png");
    QVERIFY(QFile::exists(download));

    invoke("onSyncHeartbeat", Q_ARG(QTime, QTime::currentTime()));
    QCOMPARE(Inspector(database).clearDate(), QDate::currentDate());
    QVERIFY(observer.newsFeed(QStringLiteral("someone")).isEmpty());
    QVERIFY(!QFile::exists(download));
    // Once a day: the next wake-up leaves a new download alone.
    const QString later = observer.storeData(QUrl(QStringLiteral("http://127.0.0.1:1/y.png")), "png");
    invoke("onSyncHeartbeat", Q_ARG(QTime, QTime::currentTime()));
    QVERIFY(QFile::exists(later));
}

void TestDaemonSync::syncTwiceRunsTwice()
{
    setUpBackend();
    invoke("sync");
    invoke("sync");
    // Deferred: the D-Bus caller is answered first.
    QCOMPARE(traced(QStringLiteral("void QuillnetDaemon::onFullSyncRequested()")), 0);
    QTRY_COMPARE(traced(QStringLiteral("void QuillnetDaemon::onFullSyncRequested()")), 2);
    QCOMPARE(traced(QLatin1String(NotificationStart)), 2);
    // The second start finds the import running: one request.
    QCOMPARE(feedRequests(), 1);
}

void TestDaemonSync::refreshesCoalesceAndAskNoGateWhenOff()
{
    setUpBackend();
    for (int i = 0; i < 3; ++i)
        invoke("refreshEventFeed");
    QTRY_COMPARE_WITH_TIMEOUT(traced(QLatin1String(FromCache)), 1, 5000);
    QCOMPARE(feedRequests(), 0);
    // The Event Feed's own request imports from the service.
    mFeed->run([](FakeEventFeed &feed) { emit feed.refreshRequested(); });
    QTRY_COMPARE(feedRequests(), 1);
    QCOMPARE(traced(QLatin1String(NotificationStart)), 1);

    // Off: not even the gate is asked, so no login starts while logged out.
    emit mAccount->settingsChanged(QStringLiteral("qn-news_main"), false);
    emit mAccount->loginResponse(QString(), false);
    mDaemon->mRetryTimer.stop();
    const int logins = mAccount->logins.size();
    invoke("refreshEventFeed");
    QCOMPARE(mAccount->logins.size(), logins);
    emit mAccount->settingsChanged(QStringLiteral("qn-news_main"), true);
    invoke("refreshEventFeed");
    QCOMPARE(mAccount->logins.size(), logins + 1);
}

void TestDaemonSync::switchesWithdrawAndReachTheHandlers()
{
    setUpBackend();
    auto *notifications = mDaemon->mNotificationHandler.get();
    mFeed->clearCalls();
    emit mAccount->settingsChanged(QStringLiteral("qn-news_main"), false);
    QCOMPARE(mFeed->calls(), QStringList {QStringLiteral("removeItemsBySourceName s")});

    const struct
    {
        const char *setting;
        const char *type;
        const char *cleared; // the clear line for off: always re-read first
    } switches[] = {
            {"qn-notif-msg", "message", "\"messages.service.quillnet\" true"},
            {"qn-notif-friendreq", "friendreq", "\"friendrequests.service.quillnet\" true"},
            {"qn-notif-general", "notif", "\"notifications.service.quillnet\" true"},
            {"qn-notif-events", "event", "\"events.service.quillnet\" true"},
    };
    for (const auto &entry : switches) {
        mTrace.clear();
        emit mAccount->settingsChanged(QLatin1String(entry.setting), false);
        QVERIFY2(!notifications->isEnabled(QLatin1String(entry.type)), entry.setting);
        QVERIFY2(mTrace.join(QLatin1Char('\n')).contains(QLatin1String(entry.cleared)), entry.setting);
        emit mAccount->settingsChanged(QLatin1String(entry.setting), true);
        QVERIFY2(notifications->isEnabled(QLatin1String(entry.type)), entry.setting);
    }
    // The master switch withdraws every kind, after re-reading what is published.
    mTrace.clear();
    emit mAccount->settingsChanged(QStringLiteral("qn-notif_main"), false);
    QVERIFY(mTrace.join(QLatin1Char('\n')).contains(QLatin1String("bool) \"\" true")));
    // Switching a master on starts nothing.
    mSimulator->clearRequests();
    emit mAccount->settingsChanged(QStringLiteral("qn-news_main"), true);
    QCOMPARE(feedRequests(), 0);
}

void TestDaemonSync::servicesAndSeenItems()
{
    setUpBackend();
    emit mAccount->serviceEnabled(QStringLiteral("im"));
    QCOMPARE(traced(QLatin1String(FriendStart)), 0);
    emit mAccount->serviceEnabled(QStringLiteral("IM"));
    QCOMPARE(traced(QLatin1String(FriendStart)), 1);

    // Seen marks pass unchanged, whatever the type, only while notifications are on.
    const char seen[] = "void NotificationHandler::itemSeen(QString, QString)";
    invoke("itemSeen", Q_ARG(QString, QStringLiteral("42")), Q_ARG(QString, QStringLiteral("strange")));
    QCOMPARE(traced(QLatin1String(seen)), 1);
    QVERIFY(mTrace.last().endsWith(QLatin1String("\"42\" \"strange\"")));
    emit mAccount->settingsChanged(QStringLiteral("qn-notif_main"), false);
    invoke("itemSeen", Q_ARG(QString, QStringLiteral("43")), Q_ARG(QString, QStringLiteral("notif")));
    QCOMPARE(traced(QLatin1String(seen)), 1);
}

QTEST_GUILESS_MAIN(TestDaemonSync)
#include "tst_daemonsync.moc"
