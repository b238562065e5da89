// Notifications end to end: the real daemon binary, the simulated service, and the reference home
// screen's notification server and Quillnet app stand-in, with the control interface, the account
// file and the local socket used as other programs would.
#include <QLocalSocket>
#include <QTest>

#include <memory>

#include "daemon/daemonrun.h"
#include "homescreen/notificationserver.h"
#include "homescreen/quillnetapp.h"
#include "quillnet-sim/simulator.h"

namespace {

const QString EventTypeHint = QStringLiteral("x-tarvo-event-type");
const QString CountHint = QStringLiteral("x-tarvo-count");
const QString Messages = QStringLiteral("messages.service.quillnet");
const QString Requests = QStringLiteral("friendrequests.service.quillnet");
const QString Events = QStringLiteral("events.service.quillnet");
const QString General = QStringLiteral("notifications.service.quillnet");
const char SocketPath[] = "/tmp/quillnetveldo.sock";

// The first wake-up comes within 10 s of the login.
constexpr int FirstCycleMs = 40000;
// Logged at the end of each notification cycle.
const QByteArray CycleEnd = "void QuillnetDaemon::onNotificationsImported()";
const QByteArray AllOn = "qn-notif_main=true\nqn-notif-msg=true\nqn-notif-friendreq=true\nqn-notif-general=true\n"
                         "qn-notif-events=true\n";

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

    void oneGroupPerKindAcrossARestart();
    void switchesAndSocket();

private:
    bool writeAccount(const QByteArray &settings)
    {
        return mDaemon->writeAccount(mSimulator->baseUrl(), mSimulator->refreshToken(),
                                     "qn-news_main=false\n" + settings);
    }
    bool waitForCycle(int timeoutMs) { return mDaemon->waitForNext(CycleEnd, timeoutMs); }
    // The groups on the server (the notifications that are not transient), by event type.
    QMap<QString, HomeScreen::Notification> groups() const;
    uint groupId(const QString &eventType) const;
    int groupCount(const QString &eventType) const;

    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<HomeScreen::NotificationServer> mServer;
    std::unique_ptr<HomeScreen::QuillnetApp> mApp;
    std::unique_ptr<DaemonRun> mDaemon;
    QStringList mAppCalls;
};

void TestNotificationProcess::init()
{
    mSimulator.reset(new QuillnetSim::Simulator);
    QVERIFY(mSimulator->listen(0));
    mServer.reset(new HomeScreen::NotificationServer);
    QVERIFY(mServer->registerOnBus());
    mApp.reset(new HomeScreen::QuillnetApp);
    QVERIFY(mApp->registerOnBus());
    connect(mApp.get(), &HomeScreen::QuillnetApp::changeReported, this,
            [this](const QString &line) { mAppCalls << line; });
    mAppCalls.clear();
    mDaemon.reset(new DaemonRun);
    QVERIFY(writeAccount(AllOn));
}

void TestNotificationProcess::cleanup()
{
    mDaemon.reset();
    mApp.reset();
    mServer.reset();
    mSimulator.reset();
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

void TestNotificationProcess::oneGroupPerKindAcrossARestart()
{
    // That a cycle without news tells nothing again is the handler test's.
    QVERIFY(mDaemon->start());
    QVERIFY2(waitForCycle(FirstCycleMs), mDaemon->log.right(3000).constData());

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

    // Seen over the bus: a friend request no longer counts when the group is next published (with
    // news: a cycle without news leaves the group as it is).
    const QString request = mSimulator->friendRequests().first().id();
    QVERIFY(mDaemon->callControl("itemSeen", {request, QStringLiteral("friendreq")}));
    QVERIFY(mSimulator->addFriendRequest(Qn::QnUser(QStringLiteral("9900"), QStringLiteral("Nora New"))));
    QVERIFY(mDaemon->callControl("sync"));
    QVERIFY(waitForCycle(20000));
    QCOMPARE(groupCount(Requests), mSimulator->friendRequests().size() - 1);

    // A restart updates the groups published before it instead of adding second ones.
    const uint requestsGroup = groupId(Requests);
    // The tapped group was dismissed on the server; the others are still up.
    const QStringList kinds = groups().keys();
    QCOMPARE(kinds, (QStringList {Events, Requests, Messages}));
    mDaemon->stop();
    QVERIFY(mSimulator->addFriendRequest(Qn::QnUser(QStringLiteral("9901"), QStringLiteral("Otto Other"))));
    QVERIFY(mDaemon->start());
    QVERIFY(waitForCycle(FirstCycleMs));
    QCOMPARE(groupId(Requests), requestsGroup);
    QCOMPARE(groups().keys(), kinds);
    QCOMPARE(groupCount(Requests), mSimulator->friendRequests().size() - 1);
}

void TestNotificationProcess::switchesAndSocket()
{
    // What the app's commands and read file do in detail is the handler test's; here that the
    // daemon watches the account and listens at the socket.
    QVERIFY(mDaemon->start());
    QVERIFY(waitForCycle(FirstCycleMs));
    QVERIFY(groups().contains(General));

    // A kind switched off in the account file is withdrawn.
    QVERIFY(writeAccount(QByteArray(AllOn).replace("qn-notif-friendreq=true", "qn-notif-friendreq=false")));
    QTRY_VERIFY_WITH_TIMEOUT(!groups().contains(Requests), 10000);
    QVERIFY(groups().contains(General));

    // The service's app reports that it shows the general notifications: withdrawn.
    QLocalSocket app;
    app.connectToServer(QLatin1String(SocketPath));
    QVERIFY(app.waitForConnected(5000));
    app.write("notif");
    app.flush();
    QTRY_VERIFY_WITH_TIMEOUT(!groups().contains(General), 10000);
    QVERIFY(groups().contains(Messages));
}

QTEST_GUILESS_MAIN(TestNotificationProcess)
#include "tst_notificationprocess.moc"
