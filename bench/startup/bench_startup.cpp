// bench_startup: how long quillnet-daemon takes from its start to its name on the session bus, against
// a bare Qt program that only takes one bus name (bench_bare_busname), on a private bus of this run,
// in turns. Also the shared objects each maps when its name appears, and the daemon's resident
// memory once its start-up has settled.
//
// The daemon gets a valid, enabled account whose service address answers nothing, so that it starts
// completely (databases, client cache) and then waits for its login to be retried. "warm" starts
// keep the cache directory of the previous start; "first" starts get a fresh home each time.
//
// Prints one JSON object per line: name, value, unit, floor, ratio (value / floor) where there is a
// floor. Usage: bench_startup [--repetitions N]
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

const QString DaemonName = QStringLiteral("com.tarvo.quillnetveldo");
const QString BareName = QStringLiteral("com.tarvo.benchbare");
constexpr int StartLimitMs = 20000;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

void print(const QString &name, double value, const QString &unit, double floor = -1)
{
    QJsonObject object {{"name", name}, {"value", value}, {"unit", unit}};
    if (floor > 0) {
        object.insert("floor", floor);
        object.insert("ratio", value / floor);
    }
    QTextStream(stdout) << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
}

// Distinct shared objects mapped by the process.
int sharedObjects(qint64 pid)
{
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    if (!maps.open(QIODevice::ReadOnly))
        return -1;
    QSet<QByteArray> objects;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const int slash = line.indexOf('/');
        if (slash >= 0 && line.contains(".so"))
            objects.insert(line.mid(slash));
    }
    return objects.size();
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

class Bench
{
public:
    Bench(const QString &busAddress, const QString &daemon, const QString &bare)
        : mBus(QDBusConnection::connectToBus(busAddress, QStringLiteral("bench")))
        , mBusAddress(busAddress)
        , mDaemon(daemon)
        , mBare(bare)
    {}

    bool connected() const { return mBus.isConnected(); }

    // Milliseconds from the start of the program to its name on the bus; -1 on failure. The process
    // stays running in *process.
    double start(const QString &program, const QString &name, const QString &home, std::unique_ptr<QProcess> *process)
    {
        QDBusServiceWatcher watcher(name, mBus, QDBusServiceWatcher::WatchForRegistration);
        QEventLoop loop;
        QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
        QTimer::singleShot(StartLimitMs, &loop, &QEventLoop::quit);

        process->reset(new QProcess);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), mBusAddress);
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
        env.remove(QStringLiteral("XDG_CACHE_HOME"));
        (*process)->setProcessEnvironment(env);
        // Its log (a login that cannot reach the service) is not the benchmark's output.
        (*process)->setStandardOutputFile(QProcess::nullDevice());
        (*process)->setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        (*process)->start(program, {});
        loop.exec();
        const double elapsed = clock.nsecsElapsed() / 1e6;
        return mBus.interface()->isServiceRegistered(name) ? elapsed : -1;
    }

    void stop(std::unique_ptr<QProcess> &process, const QString &name)
    {
        process->terminate();
        process->waitForFinished(5000);
        // The next start must not find the name still taken.
        while (mBus.interface()->isServiceRegistered(name))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        process.reset();
    }

    QString daemon() const { return mDaemon; }
    QString bare() const { return mBare; }

private:
    QDBusConnection mBus;
    QString mBusAddress;
    QString mDaemon;
    QString mBare;
};

bool writeAccount(const QString &home)
{
    if (!QDir().mkpath(home + QStringLiteral("/config/quillnet")))
        return false;
    QFile file(home + QStringLiteral("/config/quillnet/account.conf"));
    return file.open(QIODevice::WriteOnly)
            && file.write("[account]\nname=bench@example.org\nenabled=true\nservice_url=http://127.0.0.1:1\n"
                          "access_token=bench-token\n[services]\nIM=true\n[settings]\nqn-notif_main=true\n"
                          "qn-news_main=true\n")
            > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption repetitionsOption(QStringLiteral("repetitions"), QStringLiteral("Starts of each program."),
                                         QStringLiteral("n"), QStringLiteral("15"));
    parser.addOption(repetitionsOption);
    parser.process(app);
    const int repetitions = qMax(1, parser.value(repetitionsOption).toInt());

    QProcess bus;
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!bus.waitForStarted() || !bus.waitForReadyRead(10000)) {
        qCritical("bench_startup: no dbus-daemon");
        return 1;
    }
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    Bench bench(address, QStringLiteral(DAEMON_BINARY), QStringLiteral(BARE_BINARY));
    if (!bench.connected()) {
        qCritical("bench_startup: cannot reach the private bus");
        return 1;
    }

    QTemporaryDir scratch;
    const QString warmHome = scratch.filePath(QStringLiteral("warm"));
    if (!writeAccount(warmHome))
        return 1;

    QList<double> bare, warm, first;
    int bareObjects = 0, daemonObjects = 0;
    qint64 daemonResident = 0;
    std::unique_ptr<QProcess> process;
    // One start of each that is not counted: it fills the page cache.
    for (int round = -1; round < repetitions; ++round) {
        const double bareMs = bench.start(bench.bare(), BareName, warmHome, &process);
        bareObjects = sharedObjects(process->processId());
        bench.stop(process, BareName);

        const double warmMs = bench.start(bench.daemon(), DaemonName, warmHome, &process);
        daemonObjects = sharedObjects(process->processId());
        // Settled: the rest of the start-up (databases, client cache, login request) is done.
        QEventLoop settle;
        QTimer::singleShot(500, &settle, &QEventLoop::quit);
        settle.exec();
        daemonResident = residentKiB(process->processId());
        bench.stop(process, DaemonName);

        const QString home = scratch.filePath(QStringLiteral("first-%1").arg(round + 1));
        double firstMs = -1;
        if (writeAccount(home)) {
            firstMs = bench.start(bench.daemon(), DaemonName, home, &process);
            bench.stop(process, DaemonName);
        }
        if (bareMs < 0 || warmMs < 0 || firstMs < 0) {
            qCritical("bench_startup: a program did not take its bus name");
            return 1;
        }
        if (round >= 0) {
            bare << bareMs;
            warm << warmMs;
            first << firstMs;
        }
    }
    bus.terminate();
    bus.waitForFinished();

    print(QStringLiteral("start to bus name"), median(warm), QStringLiteral("ms"), median(bare));
    print(QStringLiteral("first start to bus name"), median(first), QStringLiteral("ms"), median(bare));
    print(QStringLiteral("shared objects mapped"), daemonObjects, QStringLiteral("count"), bareObjects);
    print(QStringLiteral("resident memory after start"), daemonResident / 1024.0, QStringLiteral("MiB"));
    return 0;
}
