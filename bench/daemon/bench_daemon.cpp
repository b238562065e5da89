// bench_daemon: the daemon program as a whole, on a private bus with the reference home screen, each
// time against a simulator program of its own:
// - in the demo's world (the simulator's defaults: 40 friends, 40 posts, 12 notifications), its
//   resident memory once the login and the first heartbeat's sync are over;
// - in a world of 5000 friends, 300 posts, 500 notifications, 100 threads (50 unread) and 200
//   friend requests, its resident memory (and peak) right after the first heartbeat's full sync
//   (news feed, notifications, friends), how often it wakes up while idle after it, and its resident
//   memory --after seconds after the sync (the friends' records are kept for 300 s).
// A sync counts as done when the simulator has answered every status batch of the friend import and
// the daemon has then not been scheduled for a few seconds (longer than its announcement delay).
//
// Prints one JSON object per figure.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

#include "benchsupport.h"

namespace {

constexpr int Friends = 5000;
// The simulator's default world, which the demo runs.
constexpr int DemoFriends = 40;
constexpr int StatusBatch = 20;
constexpr int SyncLimitMs = 180000;
constexpr int QuietMs = 6000;

// Paths of the requests the simulator recorded.
QStringList requestPaths(const QUrl &simulator)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(simulator.resolved(QUrl(QStringLiteral("/admin/requests")))));
    Bench::waitFor([reply] { return reply->isFinished(); }, 30000);
    QStringList paths;
    for (const QJsonValue &request : QJsonDocument::fromJson(reply->readAll()).object().value("data").toArray())
        paths << request.toObject().value("path").toString();
    delete reply;
    return paths;
}

QMap<QString, qint64> threadSwitches(qint64 pid)
{
    QMap<QString, qint64> switches;
    const QString base = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(base + '/' + task + QStringLiteral("/comm"));
        QFile status(base + '/' + task + QStringLiteral("/status"));
        if (!comm.open(QIODevice::ReadOnly) || !status.open(QIODevice::ReadOnly))
            continue;
        qint64 count = 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                count += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        switches[QString::fromUtf8(comm.readAll().trimmed()) + '/' + task] = count;
    }
    return switches;
}

// The daemon on an account of one simulator, in a home of its own, on the run's bus.
class DaemonRun
{
public:
    DaemonRun(const Bench::SimProcess &sim, const QString &wrapper)
        : mSim(sim)
    {
        const QString config = mScratch.filePath(QStringLiteral("config"));
        if (!sim.writeAccount(config))
            return;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), mScratch.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
        env.insert(QStringLiteral("XDG_CACHE_HOME"), mScratch.filePath(QStringLiteral("cache")));
        mDaemon.setProcessEnvironment(env);
        mDaemon.setStandardOutputFile(QProcess::nullDevice());
        mDaemon.setStandardErrorFile(mScratch.filePath(QStringLiteral("daemon.log")));
        mClock.start();
        QStringList command = QProcess::splitCommand(wrapper);
        command << QStringLiteral(DAEMON_BINARY);
        mDaemon.start(command.takeFirst(), command);
        mDaemon.waitForStarted();
    }

    ~DaemonRun()
    {
        mDaemon.terminate();
        mDaemon.waitForFinished();
    }

    qint64 pid() const { return mDaemon.processId(); }
    bool isRunning() const { return mDaemon.state() == QProcess::Running; }

    // Waits for the first heartbeat's sync of friends friends and the quiet after it; false when it
    // did not come. syncSeconds is the time from the start to the sync's end.
    bool waitForSync(int friends)
    {
        const int batches = (friends + StatusBatch - 1) / StatusBatch;
        bool synced = false;
        while (!synced && mClock.elapsed() < SyncLimitMs && isRunning()) {
            Bench::waitFor([] { return false; }, 500);
            paths = requestPaths(mSim.url());
            synced = paths.count(QStringLiteral("/statuses/latest")) >= batches
                    && paths.contains(QStringLiteral("/notifications"))
                    && std::any_of(paths.cbegin(), paths.cend(),
                                   [](const QString &path) { return path.endsWith(QLatin1String("/feed")); });
        }
        if (!synced || !isRunning())
            return false;
        // Quiet: not scheduled at all for QuietMs.
        qint64 last = Bench::contextSwitches(pid());
        QElapsedTimer quiet;
        quiet.start();
        while (quiet.elapsed() < QuietMs && mClock.elapsed() < SyncLimitMs) {
            Bench::waitFor([] { return false; }, 500);
            const qint64 now = Bench::contextSwitches(pid());
            if (now != last)
                quiet.restart();
            last = now;
        }
        syncSeconds = (mClock.elapsed() - quiet.elapsed()) / 1000.0;
        return isRunning();
    }

    QStringList paths;
    double syncSeconds = -1;

private:
    const Bench::SimProcess &mSim;
    QTemporaryDir mScratch;
    QProcess mDaemon;
    QElapsedTimer mClock;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"idle", "Seconds of idleness over which wake-ups are counted.", "s", "60"});
    parser.addOption({"after", "Seconds after the full sync at which its memory is measured again.", "s", "600"});
    parser.addOption({"wrapper",
                      "A profiler to start the daemon of the full sync under, as \"heaptrack -o file\"; the "
                      "figures are then the wrapper's.",
                      "command"});
    parser.process(app);
    const int idleSeconds = qMax(1, parser.value("idle").toInt());
    const int afterSeconds = qMax(idleSeconds, parser.value("after").toInt());

    Bench::PrivateBus bus;
    Bench::HomeScreen home;
    if (!bus.isRunning() || !home.isRunning()) {
        qCritical("bench_daemon: the bus or the home screen did not start");
        return 1;
    }
    const auto mib = [](qint64 kib) { return kib / 1024.0; };

    {
        Bench::SimProcess sim({});
        DaemonRun run(sim, QString());
        if (!sim.isRunning() || !run.waitForSync(DemoFriends)) {
            qCritical("bench_daemon: the daemon did not complete its first sync in the demo's world");
            return 1;
        }
        const qint64 pid = run.pid();
        Bench::print(QStringLiteral("idle resident memory after login and the first heartbeat (the demo's world)"),
                     Bench::residentKiB(pid) * 1024 / 1e6, QStringLiteral("MB"), -1,
                     {{"anonymous_mib", mib(Bench::residentAnonymousKiB(pid))},
                      {"mapped_files_mib", mib(Bench::residentFileKiB(pid))},
                      {"sync_s", run.syncSeconds},
                      {"target", "<= 18 MB"}});
    }

    Bench::SimProcess sim({"--friends", QString::number(Friends), "--posts", "300", "--notifications", "500",
                           "--threads", "100", "--friend-requests", "200"});
    DaemonRun run(sim, parser.value("wrapper"));
    if (!sim.isRunning() || !run.waitForSync(Friends)) {
        qCritical("bench_daemon: the daemon did not complete a full sync");
        return 1;
    }
    const qint64 pid = run.pid();
    QElapsedTimer sinceSync;
    sinceSync.start();
    Bench::print(QStringLiteral("resident memory after a full sync"), mib(Bench::residentKiB(pid)),
                 QStringLiteral("MiB"), -1,
                 {{"peak_mib", mib(Bench::peakResidentKiB(pid))},
                  {"anonymous_mib", mib(Bench::residentAnonymousKiB(pid))},
                  {"mapped_files_mib", mib(Bench::residentFileKiB(pid))},
                  {"sync_s", run.syncSeconds},
                  {"status_requests", int(run.paths.count(QStringLiteral("/statuses/latest")))}});

    const QMap<QString, qint64> before = threadSwitches(pid);
    Bench::waitFor([] { return false; }, idleSeconds * 1000);
    const QMap<QString, qint64> after = threadSwitches(pid);
    qint64 wakeUps = 0;
    QJsonObject busy;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const qint64 delta = it.value() - before.value(it.key(), 0);
        wakeUps += delta;
        if (delta > 0)
            busy.insert(it.key(), delta);
    }
    Bench::print(QStringLiteral("wake-ups of the idle daemon after a full sync (context switches, all threads)"),
                 double(wakeUps), QStringLiteral("count"), -1,
                 {{"seconds", idleSeconds}, {"threads", int(after.size())}, {"threads_woken", busy}, {"target", "0"}});

    Bench::waitFor([&run] { return !run.isRunning(); },
                   int(qMax<qint64>(0, afterSeconds * 1000 - sinceSync.elapsed())));
    if (!run.isRunning()) {
        qCritical("bench_daemon: the daemon ended after the full sync");
        return 1;
    }
    const QJsonObject split {{"anonymous_mib", mib(Bench::residentAnonymousKiB(pid))},
                             {"mapped_files_mib", mib(Bench::residentFileKiB(pid))},
                             {"seconds", afterSeconds}};
    QJsonObject total = split, own = split;
    total.insert("target", "<= 32 MiB");
    own.insert("target", "<= 12 MiB");
    Bench::print(QStringLiteral("resident memory %1 s after a full sync").arg(afterSeconds),
                 mib(Bench::residentKiB(pid)), QStringLiteral("MiB"), -1, total);
    Bench::print(QStringLiteral("private resident memory %1 s after a full sync").arg(afterSeconds),
                 mib(Bench::residentAnonymousKiB(pid)), QStringLiteral("MiB"), -1, own);
    return 0;
}
