// Notifications end to end: the real daemon binary, the simulated service, and the reference home
// screen's notification server and Quillnet app stand-in, with the control interface, the account
// file and the local socket used as other programs would.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "homescreen/notificationserver.h"
#include "homescreen/quillnetapp.h"
#include "quillnet-sim/simulator.h"

namespace {

const QString ControlName = QStringLiteral("com.tarvo.quillnetveldo");
const QString EventTypeHint = QStringLiteral("x-tarvo-event-type");
const QString CountHint = QStringLiteral("x-tarvo-count");
const QString Messages = QStringLiteral("messages.service.quillnet");
const QString Requests = QStringLiteral("friendrequests.service.quillnet");
const QString Events = QStringLiteral("events.service.quillnet");
const QString General = QStringLiteral("notifications.service.quillnet");
const char SocketPath[] = "/tmp/quillnetveldo.sock";

// The first wake-up comes within 10 s of the login.
constexpr int FirstCycleMs = 40000;

// The handled object types of general notifications.
bool isHandled(const Qn::QnNotification &notification)
{
    static const QStringList types = {QStringLiteral("stream"), QStringLiteral("photo"), QStringLiteral("album"),
                                      QStringLiteral("friend"), QStringLiteral("event")};
    return notification.unread() && types.contains(notification.objectType());
}

} // namespace

class TestNotificationProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void oneGroupPerKindAndNothingTwice();
    void switchesSocketAndReadFile();

private:
    void writeAccount(const QByteArray &settings);
    void startDaemon();
    void stopDaemon();
    // Waits for the end of the next notification cycle.
    bool waitForCycle(int timeoutMs);
    void callControl(const char *method, const QVariantList &arguments = {});
    // The groups on the server (the notifications that are not transient), by event type.
    QMap<QString, HomeScreen::Notification> groups() const;
    uint groupId(const QString &eventType) const;
    int groupCount(const QString &eventType) const;

    std::unique_ptr<QTemporaryDir> mHome;
    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<HomeScreen::NotificationServer> mServer;
    std::unique_ptr<HomeScreen::QuillnetApp> mApp;
    std::unique_ptr<QProcess> mDaemon;
    QByteArray mLog;
    QStringList mAppCalls;
};

void TestNotificationProcess::init()
{
    mHome.reset(new QTemporaryDir);
    QVERIFY(mHome->isValid());
    mSimulator.reset(new QuillnetSim::Simulator);
    QVERIFY(mSimulator->listen(0));
    mServer.reset(new HomeScreen::NotificationServer);
    QVERIFY(mServer->registerOnBus());
    mApp.reset(new HomeScreen::QuillnetApp);
    QVERIFY(mApp->registerOnBus());
    connect(mApp.get(), &HomeScreen::QuillnetApp::changeReported, this,
            [this](const QString &line) { mAppCalls << line; });
    mLog.clear();
    mAppCalls.clear();
    writeAccount("qn-notif_main=true\nqn-notif-msg=true\nqn-notif-friendreq=true\nqn-notif-general=true\n"
                 "qn-notif-events=true\n");
}

void TestNotificationProcess::cleanup()
{
    if (mDaemon)
        stopDaemon();
    mApp.reset();
    mServer.reset();
    mSimulator.reset();
    mHome.reset();
}

void TestNotificationProcess::writeAccount(const QByteArray &settings)
{
    const QString dir = mHome->path() + QStringLiteral("/config/quillnet");
    QVERIFY(QDir().mkpath(dir));
    QFile file(dir + QStringLiteral("/account.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[account]\nname=e2e@quillnet.example\nenabled=true\nservice_url=" + mSimulator->baseUrl().toEncoded()
               + "\nrefresh_token=" + mSimulator->refreshToken().toUtf8()
               + "\n[services]\nIM=false\n[settings]\nqn-news_main=false\n" + settings);
}

void TestNotificationProcess::startDaemon()
{
    mDaemon.reset(new QProcess);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), mHome->path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), mHome->path() + QStringLiteral("/config"));
    env.remove(QStringLiteral("XDG_CACHE_HOME"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    mDaemon->setProcessEnvironment(env);
    connect(mDaemon.get(), &QProcess::readyReadStandardError, this,
            [this] { mLog += mDaemon->readAllStandardError(); });
    mDaemon->start(QStringLiteral(DAEMON_BINARY), {QStringLiteral("--debug")});
    QVERIFY(mDaemon->waitForStarted());
}

void TestNotificationProcess::stopDaemon()
{
    mDaemon->terminate();
    mDaemon->waitForFinished(10000);
    mDaemon.reset();
}

bool TestNotificationProcess::waitForCycle(int timeoutMs)
{
    const QByteArray marker = "void QuillnetDaemon::onNotificationsImported()";
    const int seen = mLog.count(marker);
    QElapsedTimer clock;
    clock.start();
    while (mLog.count(marker) == seen && clock.elapsed() < timeoutMs)
        QTest::qWait(50);
    return mLog.count(marker) > seen;
}

void TestNotificationProcess::callControl(const char *method, const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(ControlName, QStringLiteral("/quillnetveldo"), ControlName,
                                                       QLatin1String(method));
    call.setArguments(arguments);
    QCOMPARE(QDBusConnection::sessionBus().call(call).type(), QDBusMessage::ReplyMessage);
}

QMap<QString, HomeScreen::Notification> TestNotificationProcess::groups() const
{
    QMap<QString, HomeScreen::Notification> byType;
    for (const HomeScreen::Notification &notification : mServer->notifications()) {
        if (!notification.hints.value(QStringLiteral("transient")).toBool())
            byType.insert(notification.hints.value(EventTypeHint).toString(), notification);
    }
    return byType;
}

uint TestNotificationProcess::groupId(const QString &eventType) const
{
    for (auto it = mServer->notifications().cbegin(); it != mServer->notifications().cend(); ++it) {
        if (!it->hints.value(QStringLiteral("transient")).toBool()
            && it->hints.value(EventTypeHint).toString() == eventType)
            return it.key();
    }
    return 0;
}

int TestNotificationProcess::groupCount(const QString &eventType) const
{
    return groups().value(eventType).hints.value(CountHint).toInt();
}

void TestNotificationProcess::oneGroupPerKindAndNothingTwice()
{
    startDaemon();
    QVERIFY2(waitForCycle(FirstCycleMs), mLog.right(3000).constData());

    // One group per kind, counting what the service has.
    QCOMPARE(groups().keys(), (QStringList {Events, Requests, Messages, General}));
    QCOMPARE(groupCount(Requests), mSimulator->friendRequests().size());
    QCOMPARE(groupCount(Events), mSimulator->eventInvitations().size());
    int unread = 0;
    for (const Qn::QnThread &thread : mSimulator->threads())
        unread += thread.senders().isEmpty() ? 0 : thread.unread();
    QCOMPARE(groupCount(Messages), unread);
    int handled = 0;
    for (const Qn::QnNotification &notification : mSimulator->notifications())
        handled += isHandled(notification) ? 1 : 0;
    QCOMPARE(groupCount(General), handled);
    for (const QString &type : {Requests, Events, Messages, General})
        QVERIFY2(!groups().value(type).body.isEmpty(), qPrintable(type));
    // The event invitations' owners are the summary.
    for (const Qn::QnEvent &event : mSimulator->eventInvitations())
        QVERIFY(groups().value(Events).summary.contains(event.owner().name()));

    // Tapping a group opens the kind's view in the service's app.
    QVERIFY(mServer->tap(groupId(General)));
    QTRY_COMPARE(mAppCalls, QStringList {QStringLiteral("openView kind=\"notif\" id=\"\"")});

    // The next cycle tells nothing again: no news beside the groups, no new group.
    const QMap<QString, HomeScreen::Notification> before = groups();
    QList<QString> news;
    connect(mServer.get(), &HomeScreen::NotificationServer::changeReported, this, [&news](const QString &line) {
        if (line.startsWith(QLatin1String("notify ")))
            news << line;
    });
    callControl("sync");
    QVERIFY(waitForCycle(20000));
    QCOMPARE(news, QList<QString>());
    QCOMPARE(groups().keys(), before.keys());

    // Seen over the bus: a friend request no longer counts when the group is next published (with
    // news: a cycle without news leaves the group as it is).
    const QString request = mSimulator->friendRequests().first().id();
    callControl("itemSeen", {request, QStringLiteral("friendreq")});
    QVERIFY(mSimulator->addFriendRequest(Qn::QnUser(QStringLiteral("9900"), QStringLiteral("Nora New"))));
    callControl("sync");
    QVERIFY(waitForCycle(20000));
    QCOMPARE(groupCount(Requests), mSimulator->friendRequests().size() - 1);

    // A restart updates the groups published before it instead of adding second ones.
    const uint requestsGroup = groupId(Requests);
    // The tapped group was dismissed on the server; the others are still up.
    const QStringList kinds = groups().keys();
    QCOMPARE(kinds, (QStringList {Events, Requests, Messages}));
    stopDaemon();
    QVERIFY(mSimulator->addFriendRequest(Qn::QnUser(QStringLiteral("9901"), QStringLiteral("Otto Other"))));
    startDaemon();
    QVERIFY(waitForCycle(FirstCycleMs));
    QCOMPARE(groupId(Requests), requestsGroup);
    QCOMPARE(groups().keys(), kinds);
    QCOMPARE(groupCount(Requests), mSimulator->friendRequests().size() - 1);
}

void TestNotificationProcess::switchesSocketAndReadFile()
{
    startDaemon();
    QVERIFY(waitForCycle(FirstCycleMs));
    QVERIFY(groups().contains(General));

    // A kind switched off in the account file is withdrawn.
    writeAccount("qn-notif_main=true\nqn-notif-msg=true\nqn-notif-friendreq=false\nqn-notif-general=true\n"
                 "qn-notif-events=true\n");
    QTRY_VERIFY_WITH_TIMEOUT(!groups().contains(Requests), 10000);
    QVERIFY(groups().contains(General));

    // The service's app reports that it shows the general notifications: withdrawn, and new ones of
    // that kind are not notified while it stays connected.
    QLocalSocket app;
    app.connectToServer(QLatin1String(SocketPath));
    QVERIFY(app.waitForConnected(5000));
    app.write("notif");
    app.flush();
    QTRY_VERIFY_WITH_TIMEOUT(!groups().contains(General), 10000);
    Qn::QnNotification news(QStringLiteral("notif_e2e"));
    news.setObjectType(QStringLiteral("photo"));
    news.setUnread(true);
    QVERIFY(mSimulator->addNotification(news).isValid());
    callControl("sync");
    QVERIFY(waitForCycle(20000));
    QVERIFY(!groups().contains(General));

    // Ids the app stored as read reach the service.
    QStringList ids;
    for (const Qn::QnNotification &notification : mSimulator->notifications())
        ids << notification.id();
    ids = ids.mid(0, 2);
    {
        QFile file(mHome->path() + QStringLiteral("/.quillnet/markReadNtf"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QDataStream stream(&file);
        stream << ids;
    }
    mSimulator->clearRequests();
    app.write("markReadNtf");
    app.flush();
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(mHome->path() + QStringLiteral("/.quillnet/markReadNtf")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(mSimulator->requestCount(QStringLiteral("/notifications/read")) > 0, 10000);
    for (const Qn::QnNotification &notification : mSimulator->notifications()) {
        if (ids.contains(notification.id()))
            QVERIFY2(!notification.unread(), qPrintable(notification.id()));
    }
}

QTEST_GUILESS_MAIN(TestNotificationProcess)
#include "tst_notificationprocess.moc"
