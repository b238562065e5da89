// The home screen's notification server and its stand-in of the Quillnet app, in this process on
// connections of their own, driven through proxies generated from their XML so that every call
// crosses the bus.
#include <QDBusArgument>
#include <QDBusPendingReply>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "buscalls.h"
#include "homescreen/notificationserver.h"
#include "homescreen/quillnetapp.h"
#include "notificationserverproxy.h"
#include "quillnetappproxy.h"

using HomeScreen::NotificationServer;

class TestNotificationServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void capabilitiesAndInformation();
    void idsAndReplacing();
    void expiry();
    void refusals();
    void limits();
    void printedLines();
    void tapping();
    void appPrintsOpenView();

private:
    void startServer(const HomeScreen::NotificationLimits &limits = HomeScreen::NotificationLimits());
    // The id Notify answers; 0 when the call failed.
    uint notify(const QString &summary, const QStringList &actions = {}, const QVariantMap &hints = {}, int timeout = 0,
                uint replacesId = 0);

    std::unique_ptr<NotificationServer> mServer;
    std::unique_ptr<NotificationServerProxy> mProxy;
    QStringList mLines;
};

void TestNotificationServer::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

void TestNotificationServer::cleanup()
{
    mProxy.reset();
    mServer.reset();
    mLines.clear();
}

void TestNotificationServer::startServer(const HomeScreen::NotificationLimits &limits)
{
    mServer = std::make_unique<NotificationServer>(limits);
    connect(mServer.get(), &NotificationServer::changeReported, this, [this](const QString &line) { mLines << line; });
    QVERIFY2(mServer->registerOnBus(), qPrintable(mServer->errorString()));
    mProxy = std::make_unique<NotificationServerProxy>(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QDBusConnection::sessionBus());
}

uint TestNotificationServer::notify(const QString &summary, const QStringList &actions, const QVariantMap &hints,
                                    int timeout, uint replacesId)
{
    QDBusPendingReply<uint> reply = mProxy->Notify(QStringLiteral("test"), replacesId, QString(), summary, QString(),
                                                   actions, hints, timeout);
    return finish(reply) ? reply.value() : 0;
}

void TestNotificationServer::capabilitiesAndInformation()
{
    startServer();
    QDBusPendingReply<QStringList> capabilities = mProxy->GetCapabilities();
    QVERIFY(finish(capabilities));
    for (const char *capability : {"actions", "body", "body-markup", "persistence"})
        QVERIFY2(capabilities.value().contains(QLatin1String(capability)), capability);
    QDBusPendingReply<QString, QString, QString, QString> information = mProxy->GetServerInformation();
    QVERIFY(finish(information));
    QCOMPARE(information.argumentAt<0>(), QStringLiteral("homescreen"));
    QVERIFY(!information.argumentAt<1>().isEmpty());
    QVERIFY(!information.argumentAt<2>().isEmpty());
    QCOMPARE(information.argumentAt<3>(), QStringLiteral("1.2"));
}

void TestNotificationServer::idsAndReplacing()
{
    startServer();
    const uint id1 = notify(QStringLiteral("one"));
    const uint id2 = notify(QStringLiteral("two"));
    QVERIFY(id1 > 0);
    QVERIFY(id2 > id1);

    // A live notification is replaced in place, whole.
    QCOMPARE(notify(QStringLiteral("one again"), {QStringLiteral("default"), QStringLiteral("Open")}, {}, 0, id1), id1);
    QCOMPARE(mServer->notifications().value(id1).summary, QStringLiteral("one again"));
    QCOMPARE(mServer->notifications().value(id1).actions, (QStringList {"default", "Open"}));
    QCOMPARE(notify(QStringLiteral("one more"), {}, {}, 0, id1), id1);
    QCOMPARE(mServer->notifications().value(id1).actions, QStringList());

    // An id never given out, or of a notification that is gone, gets a new one.
    const uint id3 = notify(QStringLiteral("three"), {}, {}, 0, id2 + 100);
    QVERIFY(id3 > id2);
    QSignalSpy closed(mProxy.get(), &NotificationServerProxy::NotificationClosed);
    QVERIFY(finish(mProxy->CloseNotification(id2)));
    QTRY_COMPARE_WITH_TIMEOUT(closed, (QList<QVariantList> {{id2, 3u}}), 10000);
    // The protocol answers an error for a notification that is gone.
    QTest::ignoreMessage(QtWarningMsg, "CloseNotification refused: no notification 2");
    QDBusPendingReply<> again = mProxy->CloseNotification(id2);
    QVERIFY(answered(again));
    QCOMPARE(again.error().type(), QDBusError::InvalidArgs);
    const uint id4 = notify(QStringLiteral("four"), {}, {}, 0, id2);
    QVERIFY(id4 > id3);
    QCOMPARE(mServer->notifications().keys(), (QList<uint> {id1, id3, id4}));

    QStringList heads;
    for (const QString &line : qAsConst(mLines))
        heads << line.section(QLatin1Char(' '), 0, 1);
    QCOMPARE(heads, (QStringList {"notify 1", "notify 2", "update 1", "update 1", "notify 3", "close 2", "notify 4"}));
}

void TestNotificationServer::expiry()
{
    HomeScreen::NotificationLimits limits;
    limits.transientTimeout = 50;
    startServer(limits);
    QSignalSpy closed(mServer.get(), &NotificationServer::NotificationClosed);

    // The update asks for no expiry, which stops the first timer.
    const uint updated = notify(QStringLiteral("updated"), {}, {}, 50);
    QCOMPARE(notify(QStringLiteral("updated"), {}, {}, 0, updated), updated);
    const uint serverDefault = notify(QStringLiteral("default"), {}, {}, -1);
    const uint transient = notify(QStringLiteral("transient"), {}, {{"transient", true}}, -1);
    const uint timed = notify(QStringLiteral("timed"), {}, {}, 150);

    QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 2, 10000);
    QCOMPARE(closed.at(0), (QVariantList {transient, 1u}));
    QCOMPARE(closed.at(1), (QVariantList {timed, 1u}));
    QCOMPARE(mServer->notifications().keys(), (QList<uint> {updated, serverDefault}));
    QCOMPARE(mServer->notifications().value(serverDefault).timeout, 0);
}

void TestNotificationServer::refusals()
{
    struct Case
    {
        QStringList actions;
        QVariantMap hints;
        QString why;
        QString body = {};
        int timeout = 0;
    };
    QVariantMap manyHints;
    for (int i = 0; i <= HomeScreen::NotificationLimits().maxHints; ++i)
        manyHints.insert(QStringLiteral("h%1").arg(i), i);
    const QStringList open = {"default", "Open"};
    const QList<Case> cases = {
            {{"default"}, {}, "1 action entries, not pairs of key and label"},
            {QStringList(4000, QStringLiteral("a")), {}, "4000 action entries, at most 32"},
            {{"", "Open"}, {}, R"x(the action labelled "Open" has an empty key)x"},
            {open, {{"urgency", 2}}, R"x(the hint urgency is of D-Bus type "i", not "y")x"},
            {open, {{"urgency", QVariant::fromValue(uchar(3))}}, "the urgency 3 is not 0, 1 or 2"},
            {open, {{"transient", "yes"}}, R"x(the hint transient is of D-Bus type "s", not "b")x"},
            {open, {{"image-data", "x"}}, R"x(the hint image-data is of D-Bus type "s", not "(iiibiiay)")x"},
            {open, {{"two words", 1}}, R"x(the hint "two words" is not 1 to 64 letters, digits, "_", "-" or ".")x"},
            {open, manyHints, "33 hints, at most 32"},
            {open, {}, "more than 65536 characters", QString(2 * 1024 * 1024, QLatin1Char('x'))},
            {open, {{"category", QString(70000, QLatin1Char('c'))}}, "more than 65536 characters"},
            {open, {}, "expire_timeout -2 is below -1", QString(), -2},
    };
    startServer();
    const uint id = notify(QStringLiteral("kept"));
    QVERIFY(id > 0);
    for (const Case &c : cases) {
        for (const uint replacesId : {0u, id}) {
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Notify refused: ") + c.why));
            QDBusPendingReply<uint> reply
                    = mProxy->Notify(QStringLiteral("test"), replacesId, QString(), QStringLiteral("refused"), c.body,
                                     c.actions, c.hints, c.timeout);
            QVERIFY(answered(reply));
            QCOMPARE(reply.error().type(), QDBusError::InvalidArgs);
            QCOMPARE(reply.error().message(), c.why);
        }
    }
    QCOMPARE(mServer->notifications().keys(), QList<uint> {id});
    QCOMPARE(mServer->notifications().value(id).summary, QStringLiteral("kept"));
    QCOMPARE(mLines.size(), 1);
}

void TestNotificationServer::limits()
{
    HomeScreen::NotificationLimits limits;
    limits.maxNotifications = 2;
    startServer(limits);
    const uint id1 = notify(QStringLiteral("one"));
    const uint id2 = notify(QStringLiteral("two"));
    QVERIFY(id1 > 0 && id2 > 0);

    QTest::ignoreMessage(QtWarningMsg, "Notify refused: 2 notifications are shown already");
    QDBusPendingReply<uint> full
            = mProxy->Notify(QStringLiteral("test"), 0, QString(), QStringLiteral("three"), QString(), {}, {}, 0);
    QVERIFY(answered(full));
    QCOMPARE(full.error().type(), QDBusError::LimitsExceeded);
    // Replacing takes no room.
    QCOMPARE(notify(QStringLiteral("one again"), {}, {}, 0, id1), id1);
    QVERIFY(finish(mProxy->CloseNotification(id2)));
    QVERIFY(notify(QStringLiteral("three")) > id2);
}

void TestNotificationServer::printedLines()
{
    startServer();
    QDBusArgument picture;
    picture.beginStructure();
    picture << 1 << 1 << 4 << true << 8 << 4 << QByteArray(4, 'p');
    picture.endStructure();
    const QVariantMap hints = {
            {"transient", true},
            {"resident", false},
            {"urgency", QVariant::fromValue(uchar(1))},
            {"category", "im.received"},
            {"sender-pid", qint64(42)},
            {"image-data", QVariant::fromValue(picture)},
            {"x-nested", QVariantMap {{"a", 1}}},
    };
    QStringList tenEntries;
    for (int i = 0; i < 5; ++i)
        tenEntries << QStringLiteral("k%1").arg(i) << QStringLiteral("l%1").arg(i);

    QDBusPendingReply<uint> first
            = mProxy->Notify(QStringLiteral("quillnet-daemon"), 0, QString(), QStringLiteral("New message"),
                             QStringLiteral("Hello \"you\"\nthere"), {"default", "Open"}, hints, -1);
    QVERIFY(finish(first));
    QVERIFY(finish(mProxy->Notify(QStringLiteral("x"), first.value(), QStringLiteral("icon.png"), QString(),
                                  QString(300, QLatin1Char('b')), tenEntries, {}, 0)));
    QVERIFY(finish(mProxy->Notify(QStringLiteral("x"), 0, QString(), QStringLiteral("s"), QString(), {}, {}, 2500)));
    QVERIFY(finish(mProxy->CloseNotification(2)));
    QVERIFY(mServer->dismiss(1));

    const QStringList expected = {
            R"x(notify 1 app="quillnet-daemon" summary="New message" body="Hello \"you\"\nthere" )x"
            R"x(actions=["default","Open"] hints=category="im.received",resident="false",sender-pid="42",)x"
            R"x(transient,urgency="1" timeout=5000)x",
            R"x(update 1 app="x" summary="" body=")x" + QString(200, QLatin1Char('b'))
                    + R"x(... (300 characters)" icon="icon.png" )x"
                    + R"x(actions=["k0","l0","k1","l1","k2","l2","k3","l3",... (10 entries)] timeout=never)x",
            R"x(notify 2 app="x" summary="s" body="" timeout=2500)x",
            "close 2 reason=3",
            "close 1 reason=2",
    };
    QCOMPARE(mLines, expected);
}

void TestNotificationServer::tapping()
{
    startServer();
    QSignalSpy invoked(mServer.get(), &NotificationServer::ActionInvoked);
    QSignalSpy invokedOnBus(mProxy.get(), &NotificationServerProxy::ActionInvoked);
    QSignalSpy closedOnBus(mProxy.get(), &NotificationServerProxy::NotificationClosed);
    const uint otherAction = notify(QStringLiteral("reply only"), {"reply", "Reply"});
    const uint labelOnly = notify(QStringLiteral("a label, not a key"), {"open", "default"});
    const uint openable = notify(QStringLiteral("openable"), {"reply", "Reply", "default", "Open"});
    const uint resident = notify(QStringLiteral("resident"), {"default", "Open"}, {{"resident", true}});

    QTest::ignoreMessage(QtWarningMsg, "tap: notification 1 offers no default action");
    QVERIFY(!mServer->tap(otherAction));
    QTest::ignoreMessage(QtWarningMsg, "tap: notification 2 offers no default action");
    QVERIFY(!mServer->tap(labelOnly));
    QTest::ignoreMessage(QtWarningMsg, "tap: no notification 99");
    QVERIFY(!mServer->tap(99));
    QCOMPARE(invoked.size(), 0);

    QVERIFY(mServer->tap(openable));
    QVERIFY(mServer->tap(resident));
    const QList<QVariantList> expected = {{openable, "default"}, {resident, "default"}};
    QCOMPARE(invoked, expected);
    QTRY_COMPARE_WITH_TIMEOUT(invokedOnBus.size(), 2, 10000);
    QCOMPARE(invokedOnBus, expected);
    // Tapped means dismissed by the user, unless the notification asked to stay.
    QTRY_COMPARE_WITH_TIMEOUT(closedOnBus.size(), 1, 10000);
    QCOMPARE(closedOnBus.at(0), (QVariantList {openable, 2u}));
    QCOMPARE(mServer->notifications().keys(), (QList<uint> {otherAction, labelOnly, resident}));
    QCOMPARE(mLines.mid(4),
             (QStringList {R"x(action 3 key="default")x", "close 3 reason=2", R"x(action 4 key="default")x"}));
}

void TestNotificationServer::appPrintsOpenView()
{
    HomeScreen::QuillnetApp app;
    connect(&app, &HomeScreen::QuillnetApp::changeReported, this, [this](const QString &line) { mLines << line; });
    QVERIFY2(app.registerOnBus(), qPrintable(app.errorString()));
    QuillnetAppProxy proxy(QStringLiteral("com.tarvo.quillnet"), QStringLiteral("/OpenView"),
                           QDBusConnection::sessionBus());
    QVERIFY(finish(proxy.openView(QStringLiteral("message"), QStringLiteral("123"))));
    QVERIFY(finish(proxy.openView(QStringLiteral("notif"), QString())));
    QVERIFY(finish(proxy.openView(QStringLiteral("a \"b\"\n%1"), QString(250, QLatin1Char('z')))));
    // Outside the macro: moc misreads raw strings with backslashes in macro arguments.
    const QStringList expected = {
            R"x(openView kind="message" id="123")x",
            R"x(openView kind="notif" id="")x",
            R"x(openView kind="a \"b\"\n%1" id=")x" + QString(200, QLatin1Char('z')) + R"x(... (250 characters)")x",
    };
    QCOMPARE(mLines, expected);
}

QTEST_GUILESS_MAIN(TestNotificationServer)
#include "tst_notificationserver.moc"
