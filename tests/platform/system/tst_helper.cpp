// The system stand-ins: journal lines, the online state as NetworkManager tells it and the heartbeat.
// Loading the catalogue of the user's language (or none) is the catalogue test's, and the low priority
// of every thread the daemon process test's.
#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>

#include "platform/system/helper.h"
#include "platform/system/networkmonitor.h"
#include "platform/system/qmheartbeat.h"

#include <tuple>

// A NetworkManager of the test's own, on the bus the monitor takes for the system bus.
class FakeNetworkManager : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.NetworkManager")
    Q_PROPERTY(uint State MEMBER state)

public:
    uint state = 20;

signals:
    void StateChanged(uint state);
};

class TestSystem : public QObject
{
    Q_OBJECT

private slots:
    void formatLine()
    {
        const QList<std::tuple<QtMsgType, const char *, const char *>> rows = {
                {QtDebugMsg, "void X::f() \"a\"", "<7>qd: void X::f() \"a\""},
                {QtInfoMsg, "i", "<6>qd: i"},
                {QtWarningMsg, "w", "<4>qd: w"},
                {QtCriticalMsg, "c", "<2>qd: c"},
                // Each line of a multi-line message keeps its priority in the journal.
                {QtWarningMsg, "a\nb", "<4>qd: a\n<4>qd: b"},
        };
        for (const auto &[type, text, expected] : rows)
            QCOMPARE(Helper::formatLine(type, QStringLiteral("qd"), QString::fromUtf8(text)),
                     QString::fromUtf8(expected));
    }

    void networkManagerTellsTheOnlineState()
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        FakeNetworkManager manager;
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerObject("/org/freedesktop/NetworkManager", &manager,
                                   QDBusConnection::ExportAllProperties | QDBusConnection::ExportAllSignals));
        QVERIFY(bus.registerService("org.freedesktop.NetworkManager"));

        // Asked as soon as the event loop runs, not while the daemon is being built: disconnected.
        NetworkMonitor monitor;
        QSignalSpy changes(&monitor, &NetworkMonitor::onlineStateChanged);
        QVERIFY(!monitor.isBackendLoaded());
        QVERIFY(changes.wait());
        // Unknown states change nothing, the local network only is offline, the site online.
        for (uint state : {0u, 60u, 99u, 50u})
            emit manager.StateChanged(state);
        QTRY_COMPARE(QList<QVariantList>(changes), (QList<QVariantList> {{false}, {true}, {false}}));

        // A question before that asks at once; online until the answer.
        NetworkMonitor asked;
        QVERIFY(asked.isOnline() && asked.isBackendLoaded());
    }

    void heartbeatWakesOnceInsideTheWindow()
    {
        Veldo::QmHeartbeat heartbeat;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("heartbeat not open"));
        QVERIFY(!heartbeat.wait(0, 10, 0).isValid());
        QCOMPARE(heartbeat.remainingMs(), -1);
        heartbeat.open(Veldo::QmHeartbeat::SignalNeeded);
        for (int i = 0; i < 20; ++i) {
            QVERIFY(heartbeat.wait(100, 110, 0).isValid());
            const int remaining = heartbeat.remainingMs();
            QVERIFY2(remaining <= 110 * 1000 && remaining > 99 * 1000, qPrintable(QString::number(remaining)));
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("empty window"));
        QVERIFY(!heartbeat.wait(10, 5, 0).isValid());

        // A later wait replaces the pending one; it fires once, then nothing until the next wait.
        QSignalSpy spy(&heartbeat, &Veldo::QmHeartbeat::wakeUp);
        heartbeat.wait(0, 0, 0);
        QVERIFY(spy.wait());
        QCOMPARE(spy.count(), 1);
        QVERIFY(spy.first().first().toTime().isValid());
        QCOMPARE(heartbeat.remainingMs(), -1);

        // Without the signal mode it runs out quietly.
        heartbeat.open(0); // NoSignalNeeded, as the platform's integer form
        heartbeat.wait(0, 0, 0);
        QTRY_COMPARE(heartbeat.remainingMs(), -1);
        QCOMPARE(spy.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSystem)
#include "tst_helper.moc"
