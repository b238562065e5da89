// bench_peers: how fast the daemon answers while its peers hang. The daemon runs on a private bus
// against the simulator; its notification server and its Event Feed take every call and never answer
// one. Once each holds a call of the daemon's, the control interface's sync and itemSeen and the
// contacts provider's metaData are called in turn, --repetitions times each (every sync starts more
// calls to the hung peers), and each round trip is timed. The floor is a round trip to the bus daemon
// itself, measured in the same run.
//
// The daemon has imported its 5000 friends (and their statuses) before. Then another process floods
// the contacts provider with 300 requests for all persons at once (as a contacts service would,
// listening to the answers), --floods times; meanwhile sync is called back to back until the flood
// is answered, and each round trip is timed.
//
// Prints one JSON object per call: the median round trip, with its maximum and the target.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVirtualObject>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <memory>

#include "benchsupport.h"

namespace {

constexpr int StartLimitMs = 60000;

// A peer that takes every call and answers none, as a hung program does.
class HungPeer : public QDBusVirtualObject
{
public:
    HungPeer(const QString &service, const QString &path)
        : mConnection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("hung ") + service))
    {
        mRegistered = mConnection.registerVirtualObject(path, this, QDBusConnection::SingleNode)
                && mConnection.registerService(service);
    }
    ~HungPeer() override { QDBusConnection::disconnectFromBus(mConnection.name()); }
    bool isRegistered() const { return mRegistered; }
    int calls() const { return int(mHeld.size()); }

    QString introspect(const QString &) const override { return QString(); }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        message.setDelayedReply(true);
        mHeld << message;
        return true;
    }

private:
    QDBusConnection mConnection;
    QList<QDBusMessage> mHeld;
    bool mRegistered = false;
};

// Round trip of one call in milliseconds; -1 when it was not answered within 5 s.
double roundTrip(const QDBusMessage &call)
{
    QElapsedTimer clock;
    clock.start();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage ? clock.nsecsElapsed() / 1e6 : -1;
}

constexpr int Friends = 5000;
constexpr int FloodRequests = 300;
const QString Provider = QStringLiteral("com.tarvo.socialprovider.quillnet");
const QString Runner = QStringLiteral("com.tarvo.socialprovider.runner");

// Counts the provider's answers by request id: complete when the whole answer or its last part came.
class AnswerCounter : public QObject
{
    Q_OBJECT

public:
    explicit AnswerCounter(QDBusConnection bus)
        : mBus(bus)
    {
        mBus.connect(Provider, QStringLiteral("/quillnet"), Runner, QStringLiteral("requestFinished"), this,
                     SLOT(onRequestFinished(int, QString, QByteArray, QByteArray)));
        mBus.connect(Provider, QStringLiteral("/quillnet"), Runner, QStringLiteral("personsUpdate"), this,
                     SLOT(onPersonsUpdate()));
        lastUpdate.start();
    }
    ~AnswerCounter() override
    {
        mBus.disconnect(Provider, QStringLiteral("/quillnet"), Runner, QStringLiteral("requestFinished"), this,
                        SLOT(onRequestFinished(int, QString, QByteArray, QByteArray)));
        mBus.disconnect(Provider, QStringLiteral("/quillnet"), Runner, QStringLiteral("personsUpdate"), this,
                        SLOT(onPersonsUpdate()));
    }
    int completed = 0;
    qint64 bytes = 0;
    // Records of the last complete answer (to a request without a filter), as the record counts say.
    int lastRecords = 0;
    // Since the last announcement of friends.
    QElapsedTimer lastUpdate;

private slots:
    void onPersonsUpdate() { lastUpdate.restart(); }
    void onRequestFinished(int, const QString &, const QByteArray &answer, const QByteArray &)
    {
        bytes += answer.size();
        // The whole answer: version 1, no filter entries, the count; a part: version 2, its number
        // and its flag before them.
        const bool whole = answer.startsWith(QByteArray::fromHex("00000001"));
        const int countAt = whole ? 8 : 13;
        if (answer.size() >= countAt + 4)
            mRecords += int(qFromBigEndian<quint32>(answer.constData() + countAt));
        if (whole || (answer.size() > 8 && answer.at(8) == 1)) {
            ++completed;
            lastRecords = mRecords;
            mRecords = 0;
        }
    }

private:
    QDBusConnection mBus;
    int mRecords = 0;
};

QDBusMessage allPersons(const QString &id)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Provider, QStringLiteral("/quillnet"), Runner,
                                                       QStringLiteral("performRequest"));
    // Version 1, no filter: every person.
    call << 5 << id << QByteArray::fromHex("0000000100000000");
    return call;
}

// The flooding contacts service, in a process of its own: sends the requests, says so on a line of
// its own, and ends when every request is answered (or after 120 s).
int flood()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    AnswerCounter answers(bus);
    for (int i = 0; i < FloodRequests; ++i)
        bus.send(allPersons(QStringLiteral("flood-%1").arg(i)));
    fputs("sent\n", stdout);
    fflush(stdout);
    QElapsedTimer clock;
    clock.start();
    const bool done = Bench::waitFor([&] { return answers.completed >= FloodRequests; }, 120000);
    Bench::printPart({{"completed", answers.completed},
                      {"bytes", double(answers.bytes)},
                      {"seconds", clock.elapsed() / 1000.0},
                      {"done", done}});
    return done ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"repetitions", "Calls of each kind.", "n", "50"});
    parser.addOption({"floods", "Floods of the contacts provider.", "n", "3"});
    parser.addOption({"flood-part", "Internal: be the flooding contacts service."});
    parser.process(app);
    if (parser.isSet("flood-part"))
        return flood();
    const int repetitions = qMax(1, parser.value("repetitions").toInt());
    const int floods = qMax(1, parser.value("floods").toInt());

    Bench::PrivateBus bus;
    Bench::SimProcess sim(
            {"--friends", QString::number(Friends), "--posts", "30", "--notifications", "20", "--threads", "5"});
    if (!bus.isRunning() || !sim.isRunning()) {
        qCritical("bench_peers: the bus or the simulator did not start");
        return 1;
    }
    HungPeer feed(QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"));
    HungPeer server(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"));
    if (!feed.isRegistered() || !server.isRegistered()) {
        qCritical("bench_peers: the hung peers could not take their names");
        return 1;
    }

    QTemporaryDir scratch;
    const QString config = scratch.filePath(QStringLiteral("config"));
    if (!sim.writeAccount(config))
        return 1;

    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), scratch.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("XDG_CACHE_HOME"), scratch.filePath(QStringLiteral("cache")));
    daemon.setProcessEnvironment(env);
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(scratch.filePath(QStringLiteral("daemon.log")));
    daemon.start(QStringLiteral(DAEMON_BINARY), {});
    if (!daemon.waitForStarted())
        return 1;
    // The first wake-up publishes: both peers then hold a call of the daemon's.
    if (!Bench::waitFor([&] { return feed.calls() > 0 && server.calls() > 0; }, StartLimitMs)) {
        qCritical("bench_peers: the daemon did not call its peers");
        return 1;
    }

    const QString control = QStringLiteral("com.tarvo.quillnetveldo");
    const QString runner = QStringLiteral("com.tarvo.socialprovider.runner");
    QDBusMessage itemSeen = QDBusMessage::createMethodCall(control, QStringLiteral("/quillnetveldo"), control,
                                                           QStringLiteral("itemSeen"));
    itemSeen << QStringLiteral("bench-1") << QStringLiteral("notif");
    const QList<QPair<QString, QDBusMessage>> calls = {
            {QStringLiteral("sync"),
             QDBusMessage::createMethodCall(control, QStringLiteral("/quillnetveldo"), control,
                                            QStringLiteral("sync"))},
            {QStringLiteral("itemSeen"), itemSeen},
            {QStringLiteral("metaData"),
             QDBusMessage::createMethodCall(QStringLiteral("com.tarvo.socialprovider.quillnet"),
                                            QStringLiteral("/quillnet"), runner, QStringLiteral("metaData"))},
    };
    const QDBusMessage busRoundTrip = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));

    // Measured once the provider answers with all friends, the import over; this process does not
    // listen meanwhile.
    auto own = std::make_unique<AnswerCounter>(QDBusConnection::sessionBus());
    const bool imported = Bench::waitFor(
            [&] {
                QDBusConnection::sessionBus().send(allPersons(QStringLiteral("count")));
                const int before = own->completed;
                Bench::waitFor([&] { return own->completed > before; }, 5000);
                return own->lastRecords >= Friends;
            },
            StartLimitMs);
    // The statuses of the import follow the friend list: quiet once the plug-in's pool has announced
    // nothing for longer than its 5 s.
    Bench::waitFor([&] { return own->lastUpdate.elapsed() > 6000; }, StartLimitMs);
    own.reset();

    QMap<QString, QList<double>> times;
    QList<double> floor;
    for (int i = 0; i < repetitions; ++i) {
        floor << roundTrip(busRoundTrip);
        for (const auto &call : calls)
            times[call.first] << roundTrip(call.second);
        // Let the daemon's work of this round (imports, calls to the peers) start between rounds.
        Bench::waitFor([] { return false; }, 20);
    }
    const int feedCalls = feed.calls();
    const int serverCalls = server.calls();

    QList<double> underFlood;
    int unansweredUnderFlood = 0;
    QJsonObject floodFigures;
    for (int i = 0; imported && i < floods; ++i) {
        QProcess flooder;
        flooder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--flood-part")});
        if (!flooder.waitForStarted() || !Bench::waitFor([&] { return flooder.canReadLine(); }, 10000))
            break;
        // Back to back until every request of the flood is answered.
        while (flooder.state() == QProcess::Running) {
            const double ms = roundTrip(calls.first().second);
            if (ms < 0)
                ++unansweredUnderFlood;
            else
                underFlood << ms;
            flooder.waitForFinished(0);
        }
        const QList<QByteArray> lines = flooder.readAllStandardOutput().trimmed().split('\n');
        floodFigures = QJsonDocument::fromJson(lines.last()).object();
    }
    daemon.terminate();
    daemon.waitForFinished();

    const double floorMs = Bench::median(floor);
    for (const auto &call : calls) {
        const QList<double> &values = times.value(call.first);
        const bool unanswered = values.contains(-1);
        Bench::print(
                QStringLiteral("%1 round trip while the Event Feed and the notification server hang").arg(call.first),
                Bench::median(values), QStringLiteral("ms"), floorMs,
                {{"max_ms", unanswered ? -1 : *std::max_element(values.cbegin(), values.cend())},
                 {"calls", int(values.size())},
                 {"unanswered", int(values.count(-1))},
                 {"held_by_feed", feedCalls},
                 {"held_by_server", serverCalls},
                 {"target", "< 100 ms"}});
    }
    if (underFlood.isEmpty()) {
        qCritical("bench_peers: the flood of the contacts provider did not run (friends imported: %s)",
                  imported ? "yes" : "no");
        return 1;
    }
    Bench::print(QStringLiteral("sync round trip while %1 requests for all of %2 friends flood the contacts provider")
                         .arg(FloodRequests)
                         .arg(Friends),
                 Bench::median(underFlood), QStringLiteral("ms"), floorMs,
                 {{"max_ms", *std::max_element(underFlood.cbegin(), underFlood.cend())},
                  {"calls", int(underFlood.size())},
                  {"unanswered", unansweredUnderFlood},
                  {"floods", floods},
                  {"last_flood_answered", floodFigures.value("completed")},
                  {"last_flood_mib", floodFigures.value("bytes").toDouble() / 1048576},
                  {"last_flood_seconds", floodFigures.value("seconds")},
                  {"target", "< 100 ms"}});
    return 0;
}

#include "bench_peers.moc"
