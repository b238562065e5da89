// The real daemon binary for end-to-end tests: a home of its own, the account file, the log of a
// --debug run in the engineering English, and the control interface called as other programs would.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

// Log lines that end the daemon's steps: its login, a publishing pass, a notification cycle and a
// friend import.
namespace DaemonLog {
inline const QByteArray Initialized = "void QuillnetDaemon::onQnInitialized()";
inline const QByteArray PassEnd = "void QuillnetDaemon::onEventsFeedUpdated()";
inline const QByteArray CycleEnd = "void QuillnetDaemon::onNotificationsImported()";
inline const QByteArray FriendsEnd = "void QuillnetDaemon::onFriendsImported(bool)";
} // namespace DaemonLog

class DaemonRun
{
    Q_DISABLE_COPY(DaemonRun)

public:
    DaemonRun() = default;
    ~DaemonRun() { stop(); }

    QString home() const { return mHome.path(); }
    // An enabled account of the service at url, with its switches after "[settings]" and its
    // services after "[services]".
    bool writeAccount(const QUrl &url, const QString &refreshToken, const QByteArray &settings,
                      const QByteArray &services = "IM=false\n")
    {
        const QString dir = home() + QStringLiteral("/config/quillnet");
        QFile file(dir + QStringLiteral("/account.conf"));
        return QDir().mkpath(dir) && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.write("[account]\nname=e2e@quillnet.example\nenabled=true\nservice_url=" + url.toEncoded()
                              + "\nrefresh_token=" + refreshToken.toUtf8() + "\n[services]\n" + services
                              + "[settings]\n" + settings)
                > 0;
    }
    bool start()
    {
        mDaemon = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/config"));
        env.remove(QStringLiteral("XDG_CACHE_HOME"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        for (const auto &variable : std::as_const(environment))
            env.insert(variable.first, variable.second);
        mDaemon->setProcessEnvironment(env);
        QProcess *daemon = mDaemon.get();
        QObject::connect(daemon, &QProcess::readyReadStandardError, daemon,
                         [this, daemon] { log += daemon->readAllStandardError(); });
        mDaemon->start(QStringLiteral(DAEMON_BINARY), {QStringLiteral("--debug")});
        return mDaemon->waitForStarted();
    }
    void stop()
    {
        if (!mDaemon)
            return;
        mDaemon->terminate();
        mDaemon->waitForFinished(10000);
        mDaemon.reset();
    }
    // Ends the daemon as the kernel or a power cut would (SIGKILL), unless it has ended already,
    // and keeps the last of its log; false when it did not end.
    bool kill()
    {
        if (!mDaemon)
            return false;
        mDaemon->kill();
        // False also when it had ended already.
        mDaemon->waitForFinished(10000);
        const bool ended = mDaemon->state() == QProcess::NotRunning;
        log += mDaemon->readAllStandardError();
        mDaemon.reset();
        return ended;
    }
    // 0 when not running.
    qint64 pid() const { return isRunning() ? mDaemon->processId() : 0; }
    bool isRunning() const { return mDaemon && mDaemon->state() != QProcess::NotRunning; }
    // Waits, with the event loop running, for the daemon to end by itself: its exit status, or -1
    // when it still runs after timeoutMs or did not exit normally.
    int waitForExit(int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (isRunning() && clock.elapsed() < timeoutMs)
            QTest::qWait(50);
        if (!mDaemon || isRunning() || mDaemon->exitStatus() != QProcess::NormalExit)
            return -1;
        return mDaemon->exitCode();
    }
    // Waits for one more line holding marker than the log has now.
    bool waitForNext(const QByteArray &marker, int timeoutMs)
    {
        const qsizetype seen = log.count(marker);
        QElapsedTimer clock;
        clock.start();
        while (log.count(marker) == seen && clock.elapsed() < timeoutMs)
            QTest::qWait(50);
        return log.count(marker) > seen;
    }
    // Waits for a line holding each marker after the first `from` bytes of the log.
    bool waitForAll(const QList<QByteArray> &markers, qsizetype from, int timeoutMs)
    {
        for (const QByteArray &marker : markers) {
            if (!QTest::qWaitFor([&] { return log.indexOf(marker, from) >= 0; }, timeoutMs))
                return false;
        }
        return true;
    }
    // Calls sync and waits for the end of each step in ends.
    bool syncAndWait(const QList<QByteArray> &ends, int timeoutMs)
    {
        const qsizetype from = log.size();
        return callControl("sync") && waitForAll(ends, from, timeoutMs);
    }
    // Starts the daemon and waits for the end of each step in ends: those of the first wake-up
    // (within 10 s of the login), or with sync those of a sync called once it is logged in.
    bool startAndWait(const QList<QByteArray> &ends, bool sync, int timeoutMs)
    {
        const qsizetype from = log.size();
        return start() && (!sync || (waitForAll({DaemonLog::Initialized}, from, timeoutMs) && callControl("sync")))
                && waitForAll(ends, from, timeoutMs);
    }
    // The end of the log, for failure messages.
    QByteArray tail() const { return log.right(3000); }
    bool callControl(const char *method, const QVariantList &arguments = {})
    {
        const QString name = QStringLiteral("com.tarvo.quillnetveldo");
        QDBusMessage call
                = QDBusMessage::createMethodCall(name, QStringLiteral("/quillnetveldo"), name, QLatin1String(method));
        call.setArguments(arguments);
        return QDBusConnection::sessionBus().call(call).type() == QDBusMessage::ReplyMessage;
    }

    QByteArray log;
    // Set for the daemon besides its home.
    QList<QPair<QString, QString>> environment;

private:
    QTemporaryDir mHome;
    std::unique_ptr<QProcess> mDaemon;
};
