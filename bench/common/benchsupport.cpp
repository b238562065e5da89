#include "benchsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "common/constants.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define BENCH_HAVE_CALLGRIND 1
#endif

namespace Bench {

namespace {

Qn::QnCacheConfiguration cacheIn(const QString &dir)
{
    Qn::QnCacheConfiguration configuration;
    configuration.setDatabaseName(QDir(dir).filePath(QStringLiteral("qncache.db")));
    configuration.setPath(QDir(dir).filePath(QStringLiteral("qncache")));
    return configuration;
}

Qn::QuillnetConfiguration clientOf(const QString &token, const QUrl &url, Qn::QnCache *cache)
{
    Qn::QuillnetConfiguration configuration(token);
    configuration.setCache(cache);
    configuration.setServiceUrl(url);
    return configuration;
}

} // namespace

SignedInClient::SignedInClient(const QString &dir, const QString &token, const QUrl &url)
    : mCache(cacheIn(dir))
    , mClient(clientOf(token, url, &mCache))
{}

bool SignedInClient::signIn()
{
    bool initialized = false;
    QObject::connect(&mClient, &Qn::Quillnet::initialized, [&initialized] { initialized = true; });
    mClient.init();
    return waitFor([&] { return initialized; }, 30000);
}

namespace {

constexpr int StartLimitMs = 30000;

qint64 statusField(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QByteArray request(const QUrl &url, const QByteArray &method, const QByteArray &body = QByteArray())
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    QNetworkReply *reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(StartLimitMs, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray answer
            = reply->isFinished() && reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->deleteLater();
    return answer;
}

} // namespace

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

void print(const QString &name, double value, const QString &unit, double floor, const QJsonObject &extra)
{
    QJsonObject object {{"name", name}, {"value", value}, {"unit", unit}};
    if (floor > 0) {
        object.insert("floor", floor);
        object.insert("ratio", value / floor);
    }
    for (auto it = extra.begin(); it != extra.end(); ++it)
        object.insert(it.key(), it.value());
    QTextStream(stdout) << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
}

qint64 residentKiB(qint64 pid)
{
    return statusField(pid, "VmRSS:");
}

qint64 peakResidentKiB(qint64 pid)
{
    return statusField(pid, "VmHWM:");
}

qint64 residentAnonymousKiB(qint64 pid)
{
    return statusField(pid, "RssAnon:");
}

qint64 residentFileKiB(qint64 pid)
{
    return statusField(pid, "RssFile:");
}

double cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // The command name may hold blanks; the fields after it are counted from its closing parenthesis.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

qint64 contextSwitches(qint64 pid)
{
    const QStringList tasks
            = QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (tasks.isEmpty())
        return -1;
    qint64 total = 0;
    for (const QString &task : tasks) {
        QFile status(QStringLiteral("/proc/%1/task/%2/status").arg(pid).arg(task));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                total += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return total;
}

double selfCpuMs()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() >= ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

void measured(const std::function<void()> &work)
{
#ifdef BENCH_HAVE_CALLGRIND
    CALLGRIND_START_INSTRUMENTATION;
    CALLGRIND_ZERO_STATS;
#endif
    work();
#ifdef BENCH_HAVE_CALLGRIND
    CALLGRIND_STOP_INSTRUMENTATION;
#endif
}

PrivateBus::PrivateBus()
{
    mProcess.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!mProcess.waitForStarted() || !mProcess.waitForReadyRead(StartLimitMs))
        return;
    mAddress = QString::fromUtf8(mProcess.readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", mAddress.toUtf8());
}

PrivateBus::~PrivateBus()
{
    mProcess.terminate();
    mProcess.waitForFinished();
}

SimProcess::SimProcess(const QStringList &options)
{
    mProcess.setStandardErrorFile(QProcess::nullDevice());
    mProcess.start(QStringLiteral(SIM_BINARY), QStringList {QStringLiteral("--port"), QStringLiteral("0")} + options);
    if (!mProcess.waitForStarted())
        return;
    QElapsedTimer clock;
    clock.start();
    quint16 port = 0;
    while (clock.elapsed() < StartLimitMs && mRefreshToken.isEmpty()) {
        if (!mProcess.canReadLine() && !mProcess.waitForReadyRead(1000))
            continue;
        while (mProcess.canReadLine()) {
            const QList<QByteArray> words = mProcess.readLine().trimmed().split(' ');
            if (words.value(0) == "port")
                port = quint16(words.value(1).toUInt());
            else if (words.value(0) == "refresh_token")
                mRefreshToken = QString::fromUtf8(words.value(1));
        }
    }
    if (!mRefreshToken.isEmpty())
        mPort = port;
}

SimProcess::~SimProcess()
{
    mProcess.terminate();
    mProcess.waitForFinished();
}

QUrl SimProcess::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(mPort));
}

bool SimProcess::writeAccount(const QString &configHome) const
{
    QDir().mkpath(configHome + QStringLiteral("/quillnet"));
    QFile account(configHome + QStringLiteral("/quillnet/account.conf"));
    return account.open(QIODevice::WriteOnly)
            && account.write(QStringLiteral("[account]\nname=bench@example.org\nenabled=true\nservice_url=%1\n"
                                            "refresh_token=%2\n[services]\nIM=true\n[settings]\nqn-notif_main=true\n"
                                            "qn-notif-msg=true\nqn-notif-friendreq=true\nqn-notif-general=true\n"
                                            "qn-notif-events=true\nqn-news_main=true\n")
                                     .arg(url().toString(), mRefreshToken)
                                     .toUtf8())
            >= 0;
}

QString SimProcess::grantAccessToken()
{
    QUrlQuery form;
    form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    form.addQueryItem(QStringLiteral("refresh_token"), mRefreshToken);
    form.addQueryItem(QStringLiteral("client_id"), Constants::ApplicationId);
    form.addQueryItem(QStringLiteral("client_secret"), Constants::ApplicationSecret);
    const QByteArray answer = request(url().resolved(QUrl(QStringLiteral("/oauth/token"))), "POST",
                                      form.query(QUrl::FullyEncoded).toUtf8());
    return QJsonDocument::fromJson(answer).object().value(QStringLiteral("access_token")).toString();
}

int recordedRequests(const QUrl &simulator)
{
    const QByteArray answer = request(simulator.resolved(QUrl(QStringLiteral("/admin/requests"))), "GET");
    const QJsonValue data = QJsonDocument::fromJson(answer).object().value(QStringLiteral("data"));
    return data.isArray() ? int(data.toArray().size()) : -1;
}

HomeScreen::HomeScreen()
{
    // Into a file: a pipe that nobody reads while a part runs would stop it at its next line.
    const QString output = mOutputDir.filePath(QStringLiteral("homescreen.out"));
    mProcess.setStandardOutputFile(output);
    mProcess.start(QStringLiteral(HOMESCREEN_BINARY), {});
    if (!mProcess.waitForStarted())
        return;
    QFile file(output);
    mRunning = waitFor(
            [&file] {
                if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
                    return false;
                file.seek(0);
                const QList<QByteArray> lines = file.readAll().split('\n');
                return std::count_if(lines.cbegin(), lines.cend(),
                                     [](const QByteArray &line) { return line.startsWith("owns "); })
                        >= 3;
            },
            StartLimitMs);
}

HomeScreen::~HomeScreen()
{
    mProcess.terminate();
    mProcess.waitForFinished();
}

QJsonObject runPart(const QStringList &arguments, bool callgrind)
{
    QProcess process;
    // Its warnings say why a part failed.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QTemporaryDir scratch;
    // BENCH_CALLGRIND_DIR keeps each part's profile for callgrind_annotate.
    const QString keep = qEnvironmentVariable("BENCH_CALLGRIND_DIR");
    const QString out = keep.isEmpty() ? scratch.filePath(QStringLiteral("callgrind.out"))
                                       : QDir(keep).filePath(QStringLiteral("callgrind.out.%1.%2")
                                                                     .arg(QCoreApplication::applicationName())
                                                                     .arg(QDateTime::currentMSecsSinceEpoch()));
    if (callgrind) {
        process.start(QStringLiteral("valgrind"),
                      QStringList {QStringLiteral("--tool=callgrind"), QStringLiteral("--instr-atstart=no"),
                                   QStringLiteral("--callgrind-out-file=") + out,
                                   QCoreApplication::applicationFilePath()}
                              + arguments);
    } else {
        process.start(QCoreApplication::applicationFilePath(), arguments);
    }
    // Parts under callgrind run many times slower.
    if (!process.waitForFinished(callgrind ? 1800000 : 600000) || process.exitCode() != 0)
        return {};
    const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
    QJsonObject result = QJsonDocument::fromJson(lines.value(lines.size() - 1)).object();
    if (callgrind) {
        QFile file(out);
        qint64 instructions = -1;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                if (line.startsWith("summary:") || line.startsWith("totals:"))
                    instructions = line.mid(line.indexOf(':') + 1).trimmed().split(' ').value(0).toLongLong();
            }
        }
        result.insert(QStringLiteral("instructions"), double(instructions));
    }
    return result;
}

void printPart(const QJsonObject &object)
{
    QTextStream(stdout) << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
}

} // namespace Bench
