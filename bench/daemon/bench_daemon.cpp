// bench_daemon: the daemon program as a whole after a full sync: its resident memory, and how often
// it wakes up while idle. The daemon runs on a private bus with the reference home screen, against a
// simulator program of 5000 friends, 300 posts, 500 notifications, 100 threads (50 unread) and 200
// friend requests. Its first heartbeat imports the news feed, the notifications and the friends;
// the sync counts as done when the simulator has answered every status batch of the friend import
// and the daemon has then not been scheduled for a few seconds (longer than its announcement delay).
//
// Prints one JSON object per figure: resident memory (and peak) after the sync, and the context
// switches of all its threads over --idle seconds, with the threads that had any.
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"idle", "Seconds of idleness over which wake-ups are counted.", "s", "60"});
    parser.addOption({"wrapper",
                      "A profiler to start the daemon under, as \"heaptrack -o file\"; the figures are then the "
                      "wrapper's.",
                      "command"});
    parser.process(app);
    const int idleSeconds = qMax(1, parser.value("idle").toInt());

    Bench::PrivateBus bus;
    Bench::HomeScreen home;
    Bench::SimProcess sim({"--friends", QString::number(Friends), "--posts", "300", "--notifications", "500",
                           "--threads", "100", "--friend-requests", "200"});
    if (!bus.isRunning() || !home.isRunning() || !sim.isRunning()) {
        qCritical("bench_daemon: the bus, the home screen or the simulator did not start");
        return 1;
    }
    QTemporaryDir scratch;
    const QString config = scratch.filePath(QStringLiteral("config"));
    QDir().mkpath(config + QStringLiteral("/quillnet"));
    QFile account(config + QStringLiteral("/quillnet/account.conf"));
    if (!account.open(QIODevice::WriteOnly)
        || account.write(QStringLiteral("[account]\nname=bench@example.org\nenabled=true\nservice_url=%1\n"
                                        "refresh_token=%2\n[services]\nIM=true\n[settings]\nqn-notif_main=true\n"
                                        "qn-notif-msg=true\nqn-notif-friendreq=true\nqn-notif-general=true\n"
                                        "qn-notif-events=true\nqn-news_main=true\n")
                                 .arg(sim.url().toString(), sim.refreshToken())
                                 .toUtf8())
                < 0) {
        return 1;
    }
    account.close();

    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), scratch.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("XDG_CACHE_HOME"), scratch.filePath(QStringLiteral("cache")));
    daemon.setProcessEnvironment(env);
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(scratch.filePath(QStringLiteral("daemon.log")));
    QElapsedTimer clock;
    clock.start();
    QStringList command = QProcess::splitCommand(parser.value("wrapper"));
    command << QStringLiteral(DAEMON_BINARY);
    daemon.start(command.takeFirst(), command);
    if (!daemon.waitForStarted())
        return 1;
    const qint64 pid = daemon.processId();

    // Every status batch answered, the notifications and the feed asked for.
    const int batches = (Friends + StatusBatch - 1) / StatusBatch;
    QStringList paths;
    bool synced = false;
    while (!synced && clock.elapsed() < SyncLimitMs && daemon.state() == QProcess::Running) {
        Bench::waitFor([] { return false; }, 500);
        paths = requestPaths(sim.url());
        synced = paths.count(QStringLiteral("/statuses/latest")) >= batches
                && paths.contains(QStringLiteral("/notifications"))
                && std::any_of(paths.cbegin(), paths.cend(),
                               [](const QString &path) { return path.endsWith(QLatin1String("/feed")); });
    }
    if (!synced || daemon.state() != QProcess::Running) {
        qCritical("bench_daemon: the daemon did not complete a full sync");
        return 1;
    }
    // Quiet: not scheduled at all for QuietMs.
    qint64 last = Bench::contextSwitches(pid);
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < QuietMs && clock.elapsed() < SyncLimitMs) {
        Bench::waitFor([] { return false; }, 500);
        const qint64 now = Bench::contextSwitches(pid);
        if (now != last)
            quiet.restart();
        last = now;
    }
    const double syncSeconds = (clock.elapsed() - quiet.elapsed()) / 1000.0;
    const qint64 resident = Bench::residentKiB(pid);
    const qint64 peak = Bench::peakResidentKiB(pid);
    const qint64 anonymous = Bench::residentAnonymousKiB(pid);
    const qint64 files = Bench::residentFileKiB(pid);

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
    daemon.terminate();
    daemon.waitForFinished();

    Bench::print(QStringLiteral("resident memory after a full sync"), resident / 1024.0, QStringLiteral("MiB"), -1,
                 {{"peak_mib", peak / 1024.0},
                  {"anonymous_mib", anonymous / 1024.0},
                  {"mapped_files_mib", files / 1024.0},
                  {"sync_s", syncSeconds},
                  {"threads", int(after.size())},
                  {"status_requests", int(paths.count(QStringLiteral("/statuses/latest")))},
                  {"target", "<= 25 MiB"}});
    Bench::print(QStringLiteral("wake-ups of the idle daemon after a full sync (context switches, all threads)"),
                 double(wakeUps), QStringLiteral("count"), -1,
                 {{"seconds", idleSeconds}, {"threads_woken", busy}, {"target", "0"}});
    return 0;
}
