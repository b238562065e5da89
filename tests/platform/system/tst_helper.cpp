// The system stand-ins: journal lines, a missing catalogue, the reachability back end and the
// heartbeat. Loading the catalogue of the user's language is the catalogue test's, and the low
// priority of every thread the daemon process test's.
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "platform/system/helper.h"
#include "platform/system/networkmonitor.h"
#include "platform/system/qmheartbeat.h"

class TestSystem : public QObject
{
    Q_OBJECT

private slots:
    void formatLine_data();
    void formatLine();
    void localeWithoutCatalogue();
    void networkBackendLoadsAfterStartUp();

    void heartbeatNeedsOpen();
    void heartbeatArmsInsideTheWindow();
    void heartbeatWakesUpAndReArms();
    void heartbeatWithoutSignalModeStaysQuiet();
};

void TestSystem::formatLine_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("debug") << int(QtDebugMsg) << "void X::f() \"a\""
                           << "<7>qd: void X::f() \"a\"";
    QTest::newRow("info") << int(QtInfoMsg) << "i"
                          << "<6>qd: i";
    QTest::newRow("warning") << int(QtWarningMsg) << "w"
                             << "<4>qd: w";
    QTest::newRow("critical") << int(QtCriticalMsg) << "c"
                              << "<2>qd: c";
    // Each line of a multi-line message keeps its priority in the journal.
    QTest::newRow("multi-line") << int(QtWarningMsg) << "a\nb"
                                << "<4>qd: a\n<4>qd: b";
}

void TestSystem::formatLine()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(Helper::formatLine(QtMsgType(type), QStringLiteral("qd"), text), expected);
}

void TestSystem::networkBackendLoadsAfterStartUp()
{
    // Loading the reachability plug-in pulls in GLib or a system bus round trip: not while the
    // daemon is being built, but as soon as the event loop runs.
    NetworkMonitor monitor;
    QVERIFY(!monitor.isBackendLoaded());
    QTRY_VERIFY(monitor.isBackendLoaded());

    // A question before that loads it at once.
    NetworkMonitor asked;
    asked.isOnline();
    QVERIFY(asked.isBackendLoaded());
}

void TestSystem::localeWithoutCatalogue()
{
    QTemporaryDir empty;
    qputenv("QUILLNET_TRANSLATIONS_DIR", empty.path().toUtf8());
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Helper helper;
    QVERIFY(!helper.setLocale(QStringLiteral("nosuchcatalogue")));
    QCOMPARE(qtTrId("qtn_qnk_helper_test"), QStringLiteral("qtn_qnk_helper_test"));
    QLocale::setDefault(QLocale::c());
    qunsetenv("QUILLNET_TRANSLATIONS_DIR");
}

void TestSystem::heartbeatNeedsOpen()
{
    Veldo::QmHeartbeat heartbeat;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("heartbeat not open"));
    QVERIFY(!heartbeat.wait(0, 10, 0).isValid());
    QCOMPARE(heartbeat.remainingMs(), -1);
}

void TestSystem::heartbeatArmsInsideTheWindow()
{
    Veldo::QmHeartbeat heartbeat;
    heartbeat.open(Veldo::QmHeartbeat::SignalNeeded);
    for (int i = 0; i < 20; ++i) {
        QVERIFY(heartbeat.wait(100, 110, 0).isValid());
        const int remaining = heartbeat.remainingMs();
        QVERIFY2(remaining <= 110 * 1000 && remaining > 99 * 1000, qPrintable(QString::number(remaining)));
    }
    QCOMPARE(Veldo::QmHeartbeat::WAKEUP_SLOT_2_HOURS, 7200);
    heartbeat.wait(Veldo::QmHeartbeat::WAKEUP_SLOT_2_HOURS, Veldo::QmHeartbeat::WAKEUP_SLOT_2_HOURS, 0);
    QVERIFY(heartbeat.remainingMs() > 7190 * 1000);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("empty window"));
    QVERIFY(!heartbeat.wait(10, 5, 0).isValid());
}

void TestSystem::heartbeatWakesUpAndReArms()
{
    Veldo::QmHeartbeat heartbeat;
    heartbeat.open(1);
    QSignalSpy spy(&heartbeat, &Veldo::QmHeartbeat::wakeUp);
    heartbeat.wait(0, 0, 0);
    QVERIFY(spy.wait());
    QCOMPARE(spy.count(), 1);
    QVERIFY(spy.first().first().toTime().isValid());
    // Single shot: nothing more until the next wait.
    QCOMPARE(heartbeat.remainingMs(), -1);
    heartbeat.wait(0, 0, 0);
    QVERIFY(spy.wait());
    QCOMPARE(spy.count(), 2);

    // A later wait replaces the pending one.
    heartbeat.wait(0, 0, 0);
    heartbeat.wait(3600, 3600, 0);
    QVERIFY(!spy.wait(200));
    QCOMPARE(spy.count(), 2);
}

void TestSystem::heartbeatWithoutSignalModeStaysQuiet()
{
    Veldo::QmHeartbeat heartbeat;
    heartbeat.open(Veldo::QmHeartbeat::NoSignalNeeded);
    QSignalSpy spy(&heartbeat, &Veldo::QmHeartbeat::wakeUp);
    heartbeat.wait(0, 0, 0);
    QTRY_COMPARE(heartbeat.remainingMs(), -1);
    QCOMPARE(spy.count(), 0);
}

QTEST_GUILESS_MAIN(TestSystem)
#include "tst_helper.moc"
