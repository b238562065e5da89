// The daemon's account life cycle: login requests, retries, canceled logins, client errors.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDate>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include "daemon/quillnetdaemon.h"
#include "eventfeed/eventfeedhandler.h"
#include "fakes/fakeeventfeed.h"
#include "friends/friendimporter.h"
#include "notifications/notificationhandler.h"
#include "platform/system/qmheartbeat.h"
#include "quillnet-sim/simulator.h"
#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qntypes.h"
#include "testaccount.h"

class TestDaemonLogin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void constructorAsksForALoginAndReadsTheSwitches();
    void failedLoginsAreRetriedThenGivenUp();
    void canceledLoginsCounted();
    void refusedNewTokensWaitLikeFailedLogins();
    void backendSetUpAfterInitialisation();
    void newLoginReplacesClientAndHandlers();
    void corruptCacheExitsOncePerDay_data();
    void corruptCacheExitsOncePerDay();

private:
    QTimer *retryTimer() const;
    void useSimulator(QuillnetSim::Simulator &simulator);
    void invoke(const char *slot, QGenericArgument a = QGenericArgument(), QGenericArgument b = QGenericArgument());
    void respond(bool ok, const QString &token = QStringLiteral("token"));
    int runAndCatchExit(const std::function<void()> &action);

    QTemporaryDir mConfigHome;
    std::unique_ptr<QTemporaryDir> mHome;
    TestAccount *mAccount = nullptr;
    std::unique_ptr<QuillnetDaemon> mDaemon;
};

void TestDaemonLogin::initTestCase()
{
    Qn::registerMetaTypes();
    // QSettings learns its folder once per process: one configuration home for all cases.
    QVERIFY(mConfigHome.isValid());
    qputenv("XDG_CONFIG_HOME", mConfigHome.path().toUtf8());
}

void TestDaemonLogin::init()
{
    mHome.reset(new QTemporaryDir);
    QVERIFY(mHome->isValid());
    // Nothing listens at the service address: the client only needs one.
    mAccount = installTestAccount(mHome->path(), QUrl(QStringLiteral("http://127.0.0.1:9")));
    QVERIFY(mAccount);
    mAccount->values.insert(QStringLiteral("qn-notif_main"), true);
    mDaemon.reset(new QuillnetDaemon);
}

void TestDaemonLogin::cleanup()
{
    mDaemon.reset();
    mHome.reset();
}

QTimer *TestDaemonLogin::retryTimer() const
{
    return &mDaemon->mRetryTimer;
}

void TestDaemonLogin::invoke(const char *slot, QGenericArgument a, QGenericArgument b)
{
    QVERIFY(QMetaObject::invokeMethod(mDaemon.get(), slot, a, b));
}

void TestDaemonLogin::respond(bool ok, const QString &token)
{
    emit mAccount->loginResponse(ok ? token : QString(), ok);
}

int TestDaemonLogin::runAndCatchExit(const std::function<void()> &action)
{
    // QCoreApplication::exit() ends the application's loop with its code, and leaves every later
    // nested loop returning at once until the application loop runs again: so the application loop
    // is what runs here.
    QTimer::singleShot(0, this, action);
    QTimer::singleShot(0, this, [] {
        QEventLoop probe;
        QTimer::singleShot(0, &probe, [&probe] { probe.exit(0); });
        if (probe.exec() == 0)
            QCoreApplication::exit(-1); // nobody asked to exit
    });
    return QCoreApplication::exec();
}

void TestDaemonLogin::constructorAsksForALoginAndReadsTheSwitches()
{
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
}

void TestDaemonLogin::failedLoginsAreRetriedThenGivenUp()
{
    // One login at a time: the start-up login is outstanding.
    invoke("retryLogin");
    QCOMPARE(mAccount->logins.size(), 1);
    QTimer *timer = retryTimer();
    QVERIFY(timer);
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

void TestDaemonLogin::canceledLoginsCounted()
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
    QVERIFY(!retryTimer()->isActive());

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

void TestDaemonLogin::refusedNewTokensWaitLikeFailedLogins()
{
    // A refused token starts a forced login unless one is outstanding. A service that refuses every
    // token, even freshly issued ones: one forced login at once, then the delays of failed logins
    // instead of a login per answer.
    QuillnetSim::Simulator simulator;
    useSimulator(simulator);
    const Qn::QnError refused(Qn::QnError::AuthenticationError, QStringLiteral("invalid_token"));
    QTimer *timer = retryTimer();
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
    respond(true, simulator.accessToken());
    QTRY_VERIFY(mDaemon->mNotificationHandler.get());
    const int before = mAccount->logins.size();
    invoke("onError", Q_ARG(Qn::QnError, refused));
    QCOMPARE(mAccount->logins.size(), before + 1);
    QCOMPARE(mAccount->logins.last().forceNew, true);
    QVERIFY(!timer->isActive());
}

void TestDaemonLogin::useSimulator(QuillnetSim::Simulator &simulator)
{
    QVERIFY(simulator.listen(0));
    QFile file(mHome->path() + QStringLiteral("/account.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[account]\nservice_url=" + simulator.baseUrl().toEncoded() + "\n");
}

void TestDaemonLogin::backendSetUpAfterInitialisation()
{
    QuillnetSim::Simulator simulator;
    useSimulator(simulator);
    // On a thread of its own: the first wake-up may publish the feed, and waits for its answers.
    FakeEventFeedThread feed;
    QVERIFY(feed.start());
    mAccount->services.insert(QStringLiteral("IM"), true);
    auto *heartbeat = mDaemon->mHeartbeat.get();
    QVERIFY(heartbeat);
    QCOMPARE(heartbeat->remainingMs(), -1);
    QSignalSpy wakeUps(heartbeat, &Veldo::QmHeartbeat::wakeUp);

    respond(true, simulator.accessToken());
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
    QVERIFY2(wakeUps.count() == 1 || (remaining >= 0 && remaining <= 10000), qPrintable(QString::number(remaining)));

    // The database was created at start, before any feed handler existed: its items go now.
    QTRY_COMPARE(feed.calls().value(0), QStringLiteral("removeItemsBySourceName s"));
}

void TestDaemonLogin::newLoginReplacesClientAndHandlers()
{
    QuillnetSim::Simulator simulator;
    useSimulator(simulator);
    // A switch changed before the set-up takes effect there.
    emit mAccount->settingsChanged(QStringLiteral("qn-notif-msg"), false);
    respond(true, simulator.accessToken());
    QTRY_VERIFY(mDaemon->mFriendImporter.get());
    QPointer<FriendImporter> firstImporter = mDaemon->mFriendImporter.get();
    QPointer<EventfeedHandler> firstFeed = mDaemon->mEventfeedHandler.get();
    QPointer<NotificationHandler> firstNotifications = mDaemon->mNotificationHandler.get();
    QVERIFY(!firstNotifications->isEnabled(QStringLiteral("message")));
    QVERIFY(firstImporter->client());

    // Until the new client is initialised the old importer lives on without a client.
    respond(true, simulator.accessToken());
    QVERIFY(firstImporter);
    QVERIFY(!firstImporter->client());
    QTRY_VERIFY(!firstImporter);
    QVERIFY(!firstFeed);
    QVERIFY(!firstNotifications);
    QVERIFY(mDaemon->mFriendImporter.get()->client());
}

void TestDaemonLogin::corruptCacheExitsOncePerDay_data()
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

void TestDaemonLogin::corruptCacheExitsOncePerDay()
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

QTEST_GUILESS_MAIN(TestDaemonLogin)
#include "tst_daemonlogin.moc"
