// The real daemon's notification groups on a real notification server of the desktop: GNOME's
// notification-daemon under Xvfb, on the bus of this test alone (it runs under dbus-run-session). A
// bus monitor shows what reached the server and what it answered; a click on each bubble must bring
// the service's app (the home screen's stand-in) the view of its kind. Exits with 77 (skipped) when
// a program it needs is missing; scripts/test installs them.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#include "common/constants.h"
#include "daemon/daemonrun.h"
#include "homescreen/itemtext.h"
#include "homescreen/quillnetapp.h"
#include "quillnet-sim/simulator.h"

namespace {

const QString ServerProgram = QStringLiteral("/usr/lib/notification-daemon/notification-daemon");
const QStringList Programs = {QStringLiteral("Xvfb"), QStringLiteral("xdotool"), QStringLiteral("dbus-monitor"),
                              ServerProgram};
const QString ServiceName = QStringLiteral("org.freedesktop.Notifications");
constexpr int WaitMs = 40000;

// Each kind's group: its category and the view its default action opens.
struct Kind
{
    QString eventType;
    QString category;
    QString view;
};
const QList<Kind> Kinds = {{Constants::MessagesEventType, QStringLiteral("im.received"), Constants::MessageType},
                           {Constants::FriendRequestEventType, QStringLiteral("x-quillnet.friendrequest"),
                            Constants::FriendRequestType},
                           {Constants::EventsEventType, QStringLiteral("x-quillnet.event"), Constants::EventType},
                           {Constants::NotificationsEventType, QStringLiteral("x-quillnet.notification"),
                            Constants::NotificationType}};

// One message as dbus-monitor prints it; containers as lists, a dict entry as a list of two.
struct Message
{
    QString type;
    QString sender;
    QString member;
    qlonglong serial = 0;
    qlonglong replySerial = 0;
    QVariantList args;
};

// The value at pos in dbus-monitor's text, pos moved past it; invalid when the text ends first.
QVariant parseValue(const QString &text, qsizetype &pos)
{
    static const QRegularExpression token(QStringLiteral("\\s*(?:(string) \"|(array) \\[|dict entry\\(|(variant)\\s+"
                                                         "|boolean (\\w+)|\\w+ (\\S+))"));
    const QRegularExpressionMatch match
            = token.match(text, pos, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
    if (!match.hasMatch())
        return {};
    pos = match.capturedEnd();
    if (match.hasCaptured(1)) {
        // Printed without escapes: the quote that ends a line ends the string.
        const qsizetype end = text.indexOf(QStringLiteral("\"\n"), pos);
        const QString value = text.mid(pos, end - pos);
        pos = end + 1;
        return end < 0 ? QVariant() : QVariant(value);
    }
    if (match.hasCaptured(3))
        return parseValue(text, pos);
    if (match.hasCaptured(4))
        return match.captured(4) == QLatin1String("true");
    if (match.hasCaptured(5))
        return match.captured(5).toLongLong();
    const QChar close = match.hasCaptured(2) ? QLatin1Char(']') : QLatin1Char(')');
    QVariantList items;
    while (true) {
        while (pos < text.size() && text.at(pos).isSpace())
            ++pos;
        if (pos >= text.size())
            return {};
        if (text.at(pos) == close) {
            ++pos;
            return items;
        }
        const QVariant item = parseValue(text, pos);
        if (!item.isValid())
            return {};
        items << item;
    }
}

// The complete messages of dbus-monitor's text.
QList<Message> parseMonitor(const QString &text)
{
    static const QRegularExpression header(
            QStringLiteral("^(method call|method return|signal|error) time=\\S+ sender=(\\S+) -> ([^\\n]*)\\n"),
            QRegularExpression::MultilineOption);
    static const QRegularExpression field(QStringLiteral("\\b(serial|reply_serial|member)=(\\w+)"));
    QList<Message> messages;
    QRegularExpressionMatchIterator headers = header.globalMatch(text);
    QRegularExpressionMatch next = headers.hasNext() ? headers.next() : QRegularExpressionMatch();
    while (next.hasMatch()) {
        const QRegularExpressionMatch current = next;
        next = headers.hasNext() ? headers.next() : QRegularExpressionMatch();
        Message message;
        message.type = current.captured(1);
        message.sender = current.captured(2);
        for (QRegularExpressionMatchIterator it = field.globalMatch(current.captured(3)); it.hasNext();) {
            const QRegularExpressionMatch f = it.next();
            if (f.captured(1) == QLatin1String("member"))
                message.member = f.captured(2);
            else
                (f.captured(1) == QLatin1String("serial") ? message.serial : message.replySerial) = f.captured(2).toLongLong();
        }
        const QString body = text.mid(current.capturedEnd(), next.hasMatch() ? next.capturedStart() - current.capturedEnd() : -1);
        qsizetype pos = 0;
        while (!body.mid(pos).trimmed().isEmpty()) {
            const QVariant value = parseValue(body, pos);
            if (!value.isValid())
                return messages;
            message.args << value;
        }
        messages << message;
    }
    return messages;
}

QVariantMap hintsOf(const QVariantList &notify)
{
    QVariantMap hints;
    for (const QVariant &entry : notify.value(6).toList())
        hints.insert(entry.toList().value(0).toString(), entry.toList().value(1));
    return hints;
}

} // namespace

class TestDesktopNotifications : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void groupsShownAndOpened();

private:
    QProcess *start(const QString &program, const QStringList &arguments)
    {
        mProcesses.push_back(std::make_unique<QProcess>());
        QProcess *process = mProcesses.back().get();
        process->setProcessEnvironment(mEnvironment);
        process->start(program, arguments);
        return process;
    }
    // Runs xdotool on the display, the event loop running meanwhile: its output, or nothing.
    QByteArray xdotool(const QStringList &arguments)
    {
        QProcess *process = start(QStringLiteral("xdotool"), arguments);
        const bool ended = QTest::qWaitFor([process] { return process->state() == QProcess::NotRunning; }, WaitMs);
        const QByteArray output = ended && process->exitCode() == 0 ? process->readAllStandardOutput() : QByteArray();
        mProcesses.pop_back();
        return output;
    }
    QList<Message> monitored()
    {
        mMonitored += QString::fromUtf8(mMonitor->readAllStandardOutput());
        return parseMonitor(mMonitored);
    }
    // Each notification the server gave an id, as the last Notify with that id carried it; false
    // while a Notify waits for its answer. The server's error answers go to mRefused.
    bool answered(QMap<uint, QVariantList> &shown)
    {
        shown.clear();
        mRefused.clear();
        QHash<qlonglong, QVariantList> calls;
        const QList<Message> messages = monitored();
        for (const Message &message : messages) {
            if (message.type == QLatin1String("method call") && message.member == QLatin1String("Notify"))
                calls.insert(message.serial, message.args);
            else if (message.type == QLatin1String("error") && calls.remove(message.replySerial))
                mRefused << message.args.value(0).toString();
            else if (message.type == QLatin1String("method return") && calls.contains(message.replySerial))
                shown.insert(message.args.value(0).toUInt(), calls.take(message.replySerial));
        }
        return calls.isEmpty();
    }
    QList<uint> signalled(const QString &member)
    {
        QList<uint> ids;
        const QList<Message> messages = monitored();
        for (const Message &message : messages) {
            if (message.type == QLatin1String("signal") && message.member == member && message.sender == mServer)
                ids << message.args.value(0).toUInt();
        }
        return ids;
    }

    QProcessEnvironment mEnvironment = QProcessEnvironment::systemEnvironment();
    std::vector<std::unique_ptr<QProcess>> mProcesses;
    QProcess *mMonitor = nullptr;
    QString mMonitored;
    QStringList mRefused;
    // The server's unique name.
    QString mServer;
};

void TestDesktopNotifications::initTestCase()
{
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QVERIFY2(bus && !bus->isServiceRegistered(ServiceName), "Not the test's own bus: another notification server");
    // The display's number comes on standard output once the server listens.
    QProcess *xvfb = start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                    QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    QVERIFY(QTest::qWaitFor([xvfb] { return xvfb->canReadLine() || xvfb->state() == QProcess::NotRunning; }, WaitMs));
    QVERIFY2(xvfb->canReadLine(), xvfb->readAllStandardError().constData());
    mEnvironment.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(xvfb->readLine().trimmed()));
    // Without the accessibility bus, which GTK would have the bus start.
    mEnvironment.insert(QStringLiteral("NO_AT_BRIDGE"), QStringLiteral("1"));
    start(ServerProgram, {});
    QVERIFY(QTest::qWaitFor([bus] { return bus->isServiceRegistered(ServiceName).value(); }, WaitMs));
    mServer = bus->serviceOwner(ServiceName);
    mMonitor = start(QStringLiteral("dbus-monitor"),
                     {QStringLiteral("type='method_call',member='Notify'"), QStringLiteral("sender='%1'").arg(mServer)});
    // The bus tells a monitor that it lost its unique name: it watches from then on.
    QVERIFY(QTest::qWaitFor(
            [this] { return (mMonitored += QString::fromUtf8(mMonitor->readAllStandardOutput())).contains(QLatin1String("member=NameLost")); },
            WaitMs));
}

void TestDesktopNotifications::cleanupTestCase()
{
    while (!mProcesses.empty()) {
        mProcesses.back()->terminate();
        mProcesses.back()->waitForFinished(10000);
        mProcesses.pop_back();
    }
}

void TestDesktopNotifications::groupsShownAndOpened()
{
    HomeScreen::QuillnetApp app;
    QVERIFY2(app.registerOnBus(), qPrintable(app.errorString()));
    QStringList opened;
    connect(&app, &HomeScreen::QuillnetApp::changeReported, this, [&opened](const QString &line) { opened << line; });
    QuillnetSim::SimConfig config;
    config.posts = 8;
    config.friends = 12;
    config.threads = 3;
    config.notifications = 6;
    QuillnetSim::Simulator simulator(config);
    QVERIFY(simulator.listen(0));
    DaemonRun daemon;
    QVERIFY(daemon.writeAccount(simulator.baseUrl(), simulator.refreshToken(),
                                "qn-news_main=false\nqn-notif_main=true\nqn-notif-msg=true\nqn-notif-friendreq=true\n"
                                "qn-notif-general=true\nqn-notif-events=true\n"));
    QVERIFY(daemon.start());

    // A group of each kind, carrying what desktops file, label and sort it by.
    QMap<uint, QVariantList> shown;
    QMap<QString, uint> groups;
    QVERIFY2(QTest::qWaitFor(
                     [&] {
                         groups.clear();
                         const bool all = answered(shown);
                         for (auto it = shown.cbegin(); it != shown.cend(); ++it) {
                             if (!hintsOf(*it).contains(QStringLiteral("transient")))
                                 groups.insert(hintsOf(*it).value(QStringLiteral("x-tarvo-event-type")).toString(), it.key());
                         }
                         return all && groups.size() == Kinds.size();
                     },
                     WaitMs),
             daemon.log.right(3000).constData());
    QVERIFY2(mRefused.isEmpty(), qPrintable(mRefused.join(QLatin1Char('\n'))));
    for (const Kind &kind : Kinds) {
        const QVariantList notify = shown.value(groups.value(kind.eventType));
        const QVariantMap hints = hintsOf(notify);
        QCOMPARE(QStringList({notify.value(0).toString(), notify.value(2).toString(),
                              notify.value(5).toStringList().join(QLatin1Char(',')),
                              hints.value(QStringLiteral("desktop-entry")).toString(),
                              hints.value(QStringLiteral("category")).toString(), notify.value(7).toString()}),
                 QStringList({QStringLiteral("quillnet-daemon"), QStringLiteral("quillnet-daemon"),
                              QStringLiteral("default,Open"), QStringLiteral("quillnet-daemon"), kind.category,
                              QStringLiteral("0")}));
    }

    // The server shows one bubble at a time: each is clicked until every group's default action
    // was invoked; each invocation opens the view of its kind in the app.
    QList<uint> invoked;
    const auto allInvoked = [&] {
        return std::all_of(groups.cbegin(), groups.cend(), [&invoked](uint id) { return invoked.contains(id); });
    };
    for (int click = 0; click <= shown.size() && !allInvoked(); ++click) {
        const qsizetype closed = signalled(QStringLiteral("NotificationClosed")).size();
        const QByteArray window = xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                           QStringLiteral("--name"), QStringLiteral("^Notification$")})
                                          .split('\n')
                                          .value(0);
        QVERIFY2(!window.isEmpty(), "No bubble on the display");
        xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), QString::fromLatin1(window), QStringLiteral("20"),
                 QStringLiteral("20"), QStringLiteral("click"), QStringLiteral("1")});
        // Clicked, or gone by itself meanwhile.
        QVERIFY(QTest::qWaitFor([&] { return signalled(QStringLiteral("NotificationClosed")).size() > closed; }, WaitMs));
        invoked = signalled(QStringLiteral("ActionInvoked"));
    }
    QStringList expected;
    for (const uint id : std::as_const(invoked)) {
        QVERIFY(shown.contains(id));
        const QString eventType = hintsOf(shown.value(id)).value(QStringLiteral("x-tarvo-event-type")).toString();
        const auto kind = std::find_if(Kinds.cbegin(), Kinds.cend(), [&](const Kind &k) { return k.eventType == eventType; });
        QVERIFY(kind != Kinds.cend());
        expected << QStringLiteral("kind=") + HomeScreen::quoted(kind->view);
    }
    QVERIFY2(allInvoked(), "A group's default action was not invoked");
    QVERIFY2(QTest::qWaitFor([&] { return opened.size() >= expected.size(); }, WaitMs), "The app opened too few views");
    QStringList views;
    for (const QString &line : std::as_const(opened))
        views << line.section(QLatin1Char(' '), 1, 1);
    views.sort();
    expected.sort();
    QCOMPARE(views, expected);
}

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
