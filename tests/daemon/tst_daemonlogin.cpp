// The daemon in this process: its account life cycle (login requests, retries, canceled logins,
// client errors), and its triggers and their gate (the heartbeat, the control interface, the Event
// Feed's refresh request, the account's switches and services, the online state).
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDate>
#include <QEventLoop>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

#include "daemon/quillnetdaemon.h"
#include "database/databaseinspector.h"
#include "eventfeed/eventfeedhandler.h"
#include "fakes/fakeeventfeed.h"
#include "friends/friendimporter.h"
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

class TestDaemonLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Qn::registerMetaTypes();
        // QSettings learns its folder once per process: one configuration home for all cases.
        QVERIFY(mConfigHome.isValid());
        qputenv("XDG_CONFIG_HOME", mConfigHome.path().toUtf8());
    }

    void init()
    {
        mHome.reset(new QTemporaryDir);
        QVERIFY(mHome->isValid());
        mSimulator.reset(new QuillnetSim::Simulator);
        QVERIFY(mSimulator->listen(0));
        mFeed.reset(new FakeEventFeedThread);
        QVERIFY(mFeed->start());
        mAccount = installTestAccount(mHome->path(), QUrl(QStringLiteral("http://127.0.0.1:9")));
        QVERIFY(mAccount);
        mAccount->values = {{QStringLiteral("qn-notif_main"), true}, {QStringLiteral("qn-news_main"), true}};
        mTrace.clear();
        gTrace = &mTrace;
        gPreviousHandler = qInstallMessageHandler(recordTrace);
        mDaemon.reset(new QuillnetDaemon);
    }

    void cleanup()
    {
        mDaemon.reset();
        qInstallMessageHandler(gPreviousHandler);
        gTrace = nullptr;
        mFeed.reset();
        mSimulator.reset();
        mHome.reset();
    }

    void failedLoginsAreRetriedThenGivenUp()
    {
        // One login at a time: the start-up login is outstanding.
        invoke("retryLogin");
        QCOMPARE(mAccount->logins.size(), 1);
        QTimer *timer = &mDaemon->mRetryTimer;
        QVERIFY(timer->isSingleShot());
        for (int retry = 1; retry <= 3; ++retry) {
            respond(false);
            QVERIFY(timer->isActive());
            QCOMPARE(timer->interval(), retry * 60000);
            timer->stop();
            invoke("retryLogin");
            QCOMPARE(mAccount->logins.size(), retry + 1);
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Giving up on retries"));
        respond(false);
        QVERIFY(!timer->isActive());
        QCOMPARE(mAccount->logins.size(), 4);

        // A success (a login started elsewhere) starts the count again, and stops a pending retry.
        respond(true);
        respond(false);
        QCOMPARE(timer->interval(), 60000);
        QVERIFY(timer->isActive());
        respond(true);
        QVERIFY(!timer->isActive());
        // Logged in: nothing to retry.
        invoke("retryLogin");
        QCOMPARE(mAccount->logins.size(), 4);
    }

    void canceledLoginsCounted()
    {
        // Without a client: asked again at once, twice.
        mAccount->canceled = true;
        respond(false);
        respond(false);
        QCOMPARE(mAccount->logins.size(), 3);
        QCOMPARE(mAccount->logins.last().forceNew, false);
        QCOMPARE(mAccount->logins.last().interactive, false);
        QCOMPARE(mAccount->tooOften, 0);
        respond(false);
        QCOMPARE(mAccount->logins.size(), 3);
        QCOMPARE(mAccount->tooOften, 1);
        QVERIFY(!mDaemon->mRetryTimer.isActive());

        // A successful login creates the client with the cache, and resets the stored count.
        respond(true);
        Qn::QnCache observer(daemonClientCache(mHome->path()));
        QCOMPARE(observer.getUserData(QStringLiteral("canceled_logins")), QStringLiteral("0"));

        QVERIFY(observer.updateUserData(QStringLiteral("canceled_logins"), QStringLiteral("1")));
        const int before = mAccount->logins.size();
        respond(false);
        QCOMPARE(observer.getUserData(QStringLiteral("canceled_logins")), QStringLiteral("2"));
        QCOMPARE(mAccount->logins.size(), before + 1);
        respond(false);
        QCOMPARE(observer.getUserData(QStringLiteral("canceled_logins")), QStringLiteral("0"));
        QCOMPARE(mAccount->tooOften, 2);
        QCOMPARE(mAccount->logins.size(), before + 1);

        // A stored count that is not a number counts as none.
        QVERIFY(observer.updateUserData(QStringLiteral("canceled_logins"), QStringLiteral("x7")));
        respond(false);
        QCOMPARE(observer.getUserData(QStringLiteral("canceled_logins")), QStringLiteral("1"));
    }

    void refusedNewTokensWaitLikeFailedLogins()
    {
        // A refused token starts a forced login unless one is outstanding. A service that refuses every
        // token, even freshly issued ones: one forced login at once, then the delays of failed logins
        // instead of a login per answer.
        useSimulator();
        const Qn::QnError refused(Qn::QnError::AuthenticationError, QStringLiteral("invalid_token"));
        QTimer *timer = &mDaemon->mRetryTimer;
        // The start-up login has not been answered yet: no second one.
        invoke("onError", Q_ARG(Qn::QnError, refused));
        QCOMPARE(mAccount->logins.size(), 1);
        respond(true, QStringLiteral("old"));
        QTest::ignoreMessage(QtWarningMsg, "Network error during backend initialization.");
        invoke("onError", Q_ARG(Qn::QnError, refused));
        QCOMPARE(mAccount->logins.size(), 2);
        QCOMPARE(mAccount->logins.last().forceNew, true);
        QCOMPARE(mAccount->logins.last().interactive, false);
        // The new login is outstanding now.
        QTest::ignoreMessage(QtWarningMsg, "Network error during backend initialization.");
        invoke("onError", Q_ARG(Qn::QnError, refused));
        QCOMPARE(mAccount->logins.size(), 2);

        for (int retry = 1; retry <= 3; ++retry) {
            respond(true, QStringLiteral("refused-too"));
            QTest::ignoreMessage(QtWarningMsg, "Network error during backend initialization.");
            invoke("onError", Q_ARG(Qn::QnError, refused));
            QCOMPARE(mAccount->logins.size(), retry + 1);
            QVERIFY(timer->isActive());
            QCOMPARE(timer->interval(), retry * 60000);
            // A second refusal while the retry waits changes nothing.
            QTest::ignoreMessage(QtWarningMsg, "Network error during backend initialization.");
            invoke("onError", Q_ARG(Qn::QnError, refused));
            QCOMPARE(mAccount->logins.size(), retry + 1);
            timer->stop();
            invoke("retryLogin");
            QCOMPARE(mAccount->logins.size(), retry + 2);
            QCOMPARE(mAccount->logins.last().forceNew, false);
        }

        // A token the service accepts makes the next refusal worth an immediate login again.
        respond(true, mSimulator->accessToken());
        QTRY_VERIFY(mDaemon->mNotificationHandler.get());
        const int before = mAccount->logins.size();
        invoke("onError", Q_ARG(Qn::QnError, refused));
        QCOMPARE(mAccount->logins.size(), before + 1);
        QCOMPARE(mAccount->logins.last().forceNew, true);
        QVERIFY(!timer->isActive());
    }

    void constructorLogsInThenSetsUpTheBackend()
    {
        // The constructor reads the switches and asks for one login.
        QCOMPARE(mAccount->watched,
                 QStringList({QStringLiteral("qn-notif_main"), QStringLiteral("qn-notif-msg"),
                              QStringLiteral("qn-notif-friendreq"), QStringLiteral("qn-notif-general"),
                              QStringLiteral("qn-notif-events"), QStringLiteral("qn-news_main")}));
        QCOMPARE(mAccount->logins.size(), 1);
        QCOMPARE(mAccount->logins.first().forceNew, false);
        QCOMPARE(mAccount->logins.first().interactive, true);
        QCOMPARE(mAccount->lastScope, QString());
        // Application id: 15 decimal digits; secret: 32 lower-case hex digits.
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9]{15}$")).match(mAccount->lastApplicationId).hasMatch());
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(mAccount->lastSecret).hasMatch());

        useSimulator();
        mAccount->services.insert(QStringLiteral("IM"), true);
        auto *heartbeat = mDaemon->mHeartbeat.get();
        QVERIFY(heartbeat);
        QCOMPARE(heartbeat->remainingMs(), -1);
        QSignalSpy wakeUps(heartbeat, &Veldo::QmHeartbeat::wakeUp);

        respond(true, mSimulator->accessToken());
        QVERIFY(!mDaemon->mEventfeedHandler.get());
        QTRY_VERIFY(mDaemon->mNotificationHandler.get());
        QVERIFY(mDaemon->mFriendImporter.get());
        QVERIFY(mDaemon->mEventfeedHandler.get());
        // The importer brought the social provider onto the bus.
        QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                QStringLiteral("com.tarvo.socialprovider.quillnet")));

        // The switches nobody set count as on.
        auto *notifications = mDaemon->mNotificationHandler.get();
        for (const char *type : {"message", "friendreq", "notif", "event"})
            QVERIFY2(notifications->isEnabled(QLatin1String(type)), type);

        // The first wake-up comes within 10 s; the window starts at 0 s, so it may have come already.
        const int remaining = heartbeat->remainingMs();
        QVERIFY2(wakeUps.count() == 1 || (remaining >= 0 && remaining <= 10000),
                 qPrintable(QString::number(remaining)));

        // The database was created at start, before any feed handler existed: its items go now.
        QTRY_COMPARE(mFeed->calls().value(0), QStringLiteral("removeItemsBySourceName s"));
    }

    void newLoginReplacesClientAndHandlers()
    {
        useSimulator();
        // A switch changed before the set-up takes effect there.
        emit mAccount->settingsChanged(QStringLiteral("qn-notif-msg"), false);
        respond(true, mSimulator->accessToken());
        QTRY_VERIFY(mDaemon->mFriendImporter.get());
        QPointer<FriendImporter> firstImporter = mDaemon->mFriendImporter.get();
        QPointer<EventfeedHandler> firstFeed = mDaemon->mEventfeedHandler.get();
        QPointer<NotificationHandler> firstNotifications = mDaemon->mNotificationHandler.get();
        QVERIFY(!firstNotifications->isEnabled(QStringLiteral("message")));
        QVERIFY(firstImporter->client());

        // Until the new client is initialised the old importer lives on without a client.
        respond(true, mSimulator->accessToken());
        QVERIFY(firstImporter);
        QVERIFY(!firstImporter->client());
        QTRY_VERIFY(!firstImporter);
        QVERIFY(!firstFeed);
        QVERIFY(!firstNotifications);
        QVERIFY(mDaemon->mFriendImporter.get()->client());
    }

    void corruptCacheExitsOncePerDay_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("cacheText");
        QTest::addColumn<int>("exitCode");
        const QDate today = QDate::currentDate();
        QTest::newRow("nothing stored, I/O error") << QVariant() << "disk I/O error" << 1;
        QTest::newRow("nothing stored, malformed") << QVariant() << "database disk image is malformed" << 1;
        QTest::newRow("yesterday") << QVariant(today.addDays(-1)) << "disk I/O error" << 1;
        QTest::newRow("not a date") << QVariant(QStringLiteral("soon")) << "disk I/O error" << 1;
        QTest::newRow("already today") << QVariant(today) << "disk I/O error" << -1;
        QTest::newRow("other cache failure") << QVariant() << "database is locked" << -1;
        QTest::newRow("other letter case") << QVariant() << "Disk I/O Error" << -1;
    }

    void corruptCacheExitsOncePerDay()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, cacheText);
        QFETCH(int, exitCode);
        {
            QSettings settings(QStringLiteral("quillnet"), QStringLiteral("Tarvo"));
            if (stored.isValid())
                settings.setValue(QStringLiteral("lastForceExit"), stored);
            else
                settings.remove(QStringLiteral("lastForceExit"));
        }
        Qn::QnError error(Qn::QnError::CacheError, QString(), QString(), cacheText);
        if (exitCode == 1)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Exit due to cache problem, previous"));
        const int code = runAndCatchExit([&] { invoke("onError", Q_ARG(Qn::QnError, error)); });
        QCOMPARE(code, exitCode);

        QSettings settings(QStringLiteral("quillnet"), QStringLiteral("Tarvo"));
        if (cacheText.startsWith(QLatin1String("disk")) || cacheText.startsWith(QLatin1String("database disk")))
            QCOMPARE(settings.value(QStringLiteral("lastForceExit")).toDate(), QDate::currentDate());

        // The same corruption again today keeps the daemon running.
        QCOMPARE(runAndCatchExit([&] { invoke("onError", Q_ARG(Qn::QnError, error)); }), -1);
    }

    void gateLogsInOrInitialisesFirst()
    {
        useSimulator();
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

    void firstHeartbeatImportsLaterOnesOnlyFriends()
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

    void dailyCleanUpOfTheClientCache()
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

    void syncTwiceRunsTwice()
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

    void refreshesCoalesceAndAskNoGateWhenOff()
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

    void switchesWithdrawAndReachTheHandlers()
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

    void servicesAndSeenItems()
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

private:
    // The account's service is the simulator from now on (nothing listens at it before).
    void useSimulator() { QVERIFY(writeServiceUrl(mHome->path(), mSimulator->baseUrl())); }
    // Logged in to the simulator, the handlers made; the heartbeat left to the test.
    void setUpBackend()
    {
        useSimulator();
        // The set-up arms the first wake-up within 0-10 s; the tests wake the daemon themselves.
        mDaemon->mHeartbeat.get()->disconnect(mDaemon.get());
        emit mAccount->loginResponse(mSimulator->accessToken(), true);
        QTRY_VERIFY(mDaemon->mNotificationHandler.get());
        mSimulator->clearRequests();
        mTrace.clear();
    }
    void invoke(const char *slot, QGenericArgument a = QGenericArgument(), QGenericArgument b = QGenericArgument())
    {
        QVERIFY(QMetaObject::invokeMethod(mDaemon.get(), slot, a, b));
    }
    void respond(bool ok, const QString &token = QStringLiteral("token"))
    {
        emit mAccount->loginResponse(ok ? token : QString(), ok);
    }
    int runAndCatchExit(const std::function<void()> &action)
    {
        // QCoreApplication::exit() ends the application's loop with its code, and leaves every later
        // nested loop returning at once until the application loop runs again: so the application
        // loop is what runs here.
        QTimer::singleShot(0, this, action);
        QTimer::singleShot(0, this, [] {
            QEventLoop probe;
            QTimer::singleShot(0, &probe, [&probe] { probe.exit(0); });
            if (probe.exec() == 0)
                QCoreApplication::exit(-1); // nobody asked to exit
        });
        return QCoreApplication::exec();
    }
    int traced(const QString &prefix) const
    {
        return int(std::count_if(mTrace.cbegin(), mTrace.cend(),
                                 [&](const QString &line) { return line.startsWith(prefix); }));
    }
    // News feed requests the simulator received.
    int feedRequests() const
    {
        const auto requests = mSimulator->requests();
        return int(std::count_if(requests.cbegin(), requests.cend(),
                                 [](const auto &request) { return request.path.endsWith(QLatin1String("/feed")); }));
    }

    QTemporaryDir mConfigHome;
    std::unique_ptr<QTemporaryDir> mHome;
    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    // On a thread of its own: the first wake-up may publish the feed, and waits for its answers.
    std::unique_ptr<FakeEventFeedThread> mFeed;
    TestAccount *mAccount = nullptr;
    std::unique_ptr<QuillnetDaemon> mDaemon;
    QStringList mTrace;
};

QTEST_GUILESS_MAIN(TestDaemonLogin)
#include "tst_daemonlogin.moc"
