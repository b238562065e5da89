// The real daemon's notification groups on a real notification server of the desktop: GNOME's
// notification-daemon under Xvfb, on the bus of this test alone (it runs under dbus-run-session). A
// bus monitor (busctl) shows what reached the server and what it answered; a click on each bubble must bring
// the service's app (the home screen's stand-in) the view of its kind. Exits with 77 (skipped) when
// a program it needs is missing; scripts/test installs them.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QProcess>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#include "daemon/daemonrun.h"
#include "homescreen/itemtext.h"
#include "homescreen/quillnetapp.h"
#include "quillnet-sim/simulator.h"

using namespace Qt::StringLiterals;

namespace {

const QString ServerProgram = u"/usr/lib/notification-daemon/notification-daemon"_s;
const QStringList Programs = {u"Xvfb"_s, u"xdotool"_s, u"busctl"_s, ServerProgram};
const QString ServiceName = u"org.freedesktop.Notifications"_s;
constexpr int WaitMs = 40000;
// Each kind's event type, category and the view its default action opens.
const QList<QStringList> Kinds
        = {{Constants::MessagesEventType, u"im.received"_s, Constants::MessageType},
           {Constants::FriendRequestEventType, u"x-quillnet.friendrequest"_s, Constants::FriendRequestType},
           {Constants::EventsEventType, u"x-quillnet.event"_s, Constants::EventType},
           {Constants::NotificationsEventType, u"x-quillnet.notification"_s, Constants::NotificationType}};

// The value of a hint of Notify's arguments, as busctl prints them.
QVariant hintOf(const QJsonArray &notify, const QString &hint)
{
    return notify.at(6)[hint][u"data"_s].toVariant();
}

} // namespace

class TestDesktopNotifications : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
        QVERIFY2(bus && !bus->isServiceRegistered(ServiceName), "Not the test's own bus: another notification server");
        // The display's number comes on standard output once the X server listens.
        QProcess *xvfb = start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s});
        QVERIFY(QTest::qWaitFor([xvfb] { return xvfb->canReadLine() || xvfb->state() == QProcess::NotRunning; },
                                WaitMs));
        QVERIFY2(xvfb->canReadLine(), xvfb->readAllStandardError().constData());
        mEnvironment.insert(u"DISPLAY"_s, u':' + QString::fromLatin1(xvfb->readLine().trimmed()));
        // Without the accessibility bus, which GTK would have the bus start.
        mEnvironment.insert(u"NO_AT_BRIDGE"_s, u"1"_s);
        start(ServerProgram, {});
        QVERIFY(QTest::qWaitFor([bus] { return bus->isServiceRegistered(ServiceName).value(); }, WaitMs));
        mServer = bus->serviceOwner(ServiceName);
        mMonitor = start(u"busctl"_s,
                         {u"--address"_s, mEnvironment.value(u"DBUS_SESSION_BUS_ADDRESS"_s), u"monitor"_s,
                          u"--json=short"_s, u"--match"_s, u"type=method_call,member=Notify"_s, u"--match"_s,
                          u"sender="_s + mServer});
        // Said once it is the bus's monitor: it watches from then on.
        QByteArray said;
        QVERIFY(QTest::qWaitFor(
                [&] { return (said += mMonitor->readAllStandardError()).contains("Monitoring bus message stream"); },
                WaitMs));
    }

    void cleanupTestCase()
    {
        for (; !mProcesses.empty(); mProcesses.pop_back()) {
            mProcesses.back()->terminate();
            mProcesses.back()->waitForFinished(10000);
        }
    }

    void groupsShownAndOpened()
    {
        HomeScreen::QuillnetApp app;
        QVERIFY2(app.registerOnBus(), qPrintable(app.errorString()));
        QStringList opened;
        connect(&app, &HomeScreen::QuillnetApp::changeReported, this,
                [&opened](const QString &line) { opened << line; });
        QuillnetSim::SimConfig config;
        config.posts = 8;
        config.friends = 12;
        QuillnetSim::Simulator simulator(config);
        QVERIFY(simulator.listen(0));
        DaemonRun daemon;
        QVERIFY(daemon.writeAccount(simulator, Switches::NotificationsOnly));
        QVERIFY(daemon.start());

        // A group of each kind, answered with an id, carrying what desktops file, label and sort it by.
        QMap<uint, QJsonArray> shown;
        QMap<QString, uint> groups;
        const auto allShown = [&] {
            groups.clear();
            const bool all = answered(shown);
            for (auto it = shown.cbegin(); it != shown.cend(); ++it) {
                if (!hintOf(*it, u"transient"_s).isValid())
                    groups.insert(hintOf(*it, u"x-tarvo-event-type"_s).toString(), it.key());
            }
            return all && groups.size() == Kinds.size();
        };
        QVERIFY2(QTest::qWaitFor(allShown, WaitMs), daemon.tail().constData());
        for (const QStringList &kind : Kinds) {
            const QJsonArray notify = shown.value(groups.value(kind.at(0)));
            QCOMPARE(QStringList({notify.at(0).toString(), notify.at(2).toString(),
                                  notify.at(5).toVariant().toStringList().join(u','),
                                  hintOf(notify, u"desktop-entry"_s).toString(),
                                  hintOf(notify, u"category"_s).toString(), QString::number(notify.at(7).toInteger())}),
                     QStringList({u"quillnet-daemon"_s, u"quillnet-daemon"_s, u"default,Open"_s, u"quillnet-daemon"_s,
                                  kind.at(1), u"0"_s}));
        }

        // The server shows one bubble at a time: each is clicked until every group's default action
        // was invoked (or it went by itself); each invocation opens the view of its kind in the app.
        QList<uint> invoked;
        const auto allInvoked = [&] {
            return std::all_of(groups.cbegin(), groups.cend(), [&invoked](uint id) { return invoked.contains(id); });
        };
        for (int click = 0; click <= shown.size() && !allInvoked(); ++click) {
            const qsizetype closed = signalled(u"NotificationClosed"_s).size();
            const QByteArray window
                    = xdotool({u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--name"_s, u"^Notification$"_s});
            QVERIFY2(!window.isEmpty(), "No bubble on the display");
            xdotool({u"mousemove"_s, u"--window"_s, QString::fromLatin1(window), u"20"_s, u"20"_s, u"click"_s, u"1"_s});
            QVERIFY(QTest::qWaitFor([&] { return signalled(u"NotificationClosed"_s).size() > closed; }, WaitMs));
            invoked = signalled(u"ActionInvoked"_s);
        }
        QVERIFY2(allInvoked(), "A group's default action was not invoked");
        QStringList expected;
        for (const uint id : std::as_const(invoked)) {
            const QString eventType = hintOf(shown.value(id), u"x-tarvo-event-type"_s).toString();
            const auto kind = std::find_if(Kinds.cbegin(), Kinds.cend(),
                                           [&](const QStringList &k) { return k.at(0) == eventType; });
            QVERIFY(kind != Kinds.cend());
            expected << u"kind="_s + HomeScreen::quoted(kind->at(2));
        }
        QVERIFY2(QTest::qWaitFor([&] { return opened.size() >= expected.size(); }, WaitMs),
                 "The app opened too few views");
        QStringList views;
        for (const QString &line : std::as_const(opened))
            views << line.section(u' ', 1, 1);
        views.sort();
        expected.sort();
        QCOMPARE(views, expected);
    }

private:
    QProcess *start(const QString &program, const QStringList &arguments)
    {
        mProcesses.push_back(std::make_unique<QProcess>());
        mProcesses.back()->setProcessEnvironment(mEnvironment);
        mProcesses.back()->start(program, arguments);
        return mProcesses.back().get();
    }
    // Runs xdotool on the display, the event loop running meanwhile: the first line of its output.
    QByteArray xdotool(const QStringList &arguments)
    {
        QProcess *process = start(u"xdotool"_s, arguments);
        const bool ended = QTest::qWaitFor([process] { return process->state() == QProcess::NotRunning; }, WaitMs);
        const QByteArray output = ended ? process->readAllStandardOutput().split('\n').value(0) : QByteArray();
        mProcesses.pop_back();
        return output;
    }
    // The messages the monitor printed so far, one JSON object a line (the last maybe cut short).
    QList<QJsonObject> monitored()
    {
        mMonitored += mMonitor->readAllStandardOutput();
        QList<QJsonObject> messages;
        for (const QByteArray &line : mMonitored.split('\n'))
            messages << QJsonDocument::fromJson(line).object();
        return messages;
    }
    // The arguments of the last Notify the server answered with each id; false while a Notify
    // waits for its answer (forever when the server refused it).
    bool answered(QMap<uint, QJsonArray> &shown)
    {
        shown.clear();
        QHash<qint64, QJsonArray> calls;
        for (const QJsonObject &message : monitored()) {
            const QJsonArray args = message[u"payload"_s][u"data"_s].toArray();
            if (message[u"type"_s] == "method_call"_L1 && message[u"member"_s] == "Notify"_L1)
                calls.insert(message[u"cookie"_s].toInteger(), args);
            else if (message[u"type"_s] == "method_return"_L1 && calls.contains(message[u"reply_cookie"_s].toInteger()))
                shown.insert(args.at(0).toInteger(), calls.take(message[u"reply_cookie"_s].toInteger()));
        }
        return calls.isEmpty();
    }
    // The ids of the server's signals of that name.
    QList<uint> signalled(const QString &member)
    {
        QList<uint> ids;
        for (const QJsonObject &message : monitored()) {
            if (message[u"type"_s] == "signal"_L1 && message[u"member"_s] == member)
                ids << message[u"payload"_s][u"data"_s][0].toInteger();
        }
        return ids;
    }

    QProcessEnvironment mEnvironment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> mProcesses;
    QProcess *mMonitor = nullptr;
    QByteArray mMonitored;
    // The server's unique name.
    QString mServer;
};

int main(int argc, char **argv)
{
    for (const QString &program : Programs) {
        if (QStandardPaths::findExecutable(program).isEmpty() && !QFileInfo(program).isExecutable()) {
            fprintf(stderr, "SKIP: %s is missing (scripts/test installs it)\n", qPrintable(program));
            return 77;
        }
    }
    QCoreApplication app(argc, argv);
    TestDesktopNotifications test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktopnotifications.moc"
