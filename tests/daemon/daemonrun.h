// The real daemon binary for end-to-end tests: a home of its own, the account file, the log of a
// --debug run in the engineering English, and the control interface called as other programs would;
// with the log markers, the switch presets and the expected world that the process tests share.
#pragma once

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

#include "common/constants.h"
#include "quillnet-sim/simulator.h"
#include "testfiles.h"

// Log lines that mark the daemon's steps: its login, a publishing pass, a notification cycle and a
// friend import, and the faults it reports.
namespace DaemonLog {
// The login request, the constructor's last step.
inline const QByteArray LoginRequested = "loginToQuillnet";
inline const QByteArray LoginFailed = "Quillnet login failed";
inline const QByteArray Initialized = "void QuillnetDaemon::onQnInitialized()";
inline const QByteArray PassEnd = "void QuillnetDaemon::onEventsFeedUpdated()";
// Any publishing pass, also one from the cache.
inline const QByteArray AnyPassEnd = "void EventfeedHandler::finishPass()";
inline const QByteArray CachePassStart = "bool EventfeedHandler::importNewsfeedFromCache() false";
inline const QByteArray CycleEnd = "void QuillnetDaemon::onNotificationsImported()";
inline const QByteArray FriendsEnd = "void QuillnetDaemon::onFriendsImported(bool)";
inline const QByteArray ClientError = "void QuillnetDaemon::onError(Qn::QnError)";
inline const QByteArray FeedUnanswered = "Event Feed did not answer";
inline const QByteArray ServerUnanswered = "No notification server answers";
} // namespace DaemonLog

// The account's switches after "[settings]".
namespace Switches {
inline const QByteArray Kinds
        = "qn-notif-msg=true\nqn-notif-friendreq=true\nqn-notif-general=true\nqn-notif-events=true\n";
inline const QByteArray NewsOnly = "qn-notif_main=false\nqn-news_main=true\n";
inline const QByteArray NotificationsOnly = "qn-news_main=false\nqn-notif_main=true\n" + Kinds;
inline const QByteArray Everything = "qn-news_main=true\nqn-notif_main=true\n" + Kinds;
// Both off: only the friend import runs (with the IM service).
inline const QByteArray Nothing = "qn-news_main=false\nqn-notif_main=false\n";
} // namespace Switches

// What the daemon should have published of the simulated service's world.
namespace Expected {
// The posts of the feed that the Event Feed shows, sorted.
inline QStringList feedPosts(const QuillnetSim::Simulator &service)
{
    QStringList ids;
    for (const Qn::QnPost &post : service.posts()) {
        if (post.application() != QuillnetSim::Simulator::excludedApplicationId())
            ids << post.id();
    }
    ids.sort();
    return ids;
}
// Unread messages of the threads that have senders.
inline int unreadMessages(const QuillnetSim::Simulator &service)
{
    int unread = 0;
    for (const Qn::QnThread &thread : service.threads())
        unread += thread.senders().isEmpty() ? 0 : thread.unread();
    return unread;
}
// The count of each kind's group, by event type: what is left to see; the messages as given.
inline QMap<QString, int> groupCounts(const QuillnetSim::Simulator &service, const QString &seenRequest, int messages)
{
    int requests = 0;
    for (const Qn::QnUser &user : service.friendRequests())
        requests += user.id() == seenRequest ? 0 : 1;
    static const QStringList handled = {QStringLiteral("stream"), QStringLiteral("photo"), QStringLiteral("album"),
                                        QStringLiteral("friend"), QStringLiteral("event")};
    int general = 0;
    for (const Qn::QnNotification &notification : service.notifications())
        general += notification.unread() && handled.contains(notification.objectType()) ? 1 : 0;
    return {{Constants::FriendRequestEventType, requests},
            {Constants::EventsEventType, int(service.eventInvitations().size())},
            {Constants::MessagesEventType, messages},
            {Constants::NotificationsEventType, general}};
}
} // namespace Expected

class DaemonRun
{
    Q_DISABLE_COPY(DaemonRun)

public:
    // With a home of its own, or in home (a second daemon beside the first).
    explicit DaemonRun(const QString &home = QString())
        : mHome(home.isEmpty() ? mOwnHome.path() : home)
    {}
    ~DaemonRun() { stop(); }

    QString home() const { return mHome; }
    QString accountPath() const { return mHome + QStringLiteral("/config/quillnet/account.conf"); }
    // The environment the daemon and quillnetctl run with: its home, configuration and locale.
    QProcessEnvironment processEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), mHome);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), mHome + QStringLiteral("/config"));
        env.remove(QStringLiteral("XDG_CACHE_HOME"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        for (const auto &variable : std::as_const(environment))
            env.insert(variable.first, variable.second);
        return env;
    }
    bool writeAccountFile(const QByteArray &content)
    {
        return QDir().mkpath(QFileInfo(accountPath()).path()) && writeFile(accountPath(), content);
    }
    // An enabled account of the service at url, with its switches after "[settings]" and its
    // services after "[services]".
    bool writeAccount(const QUrl &url, const QString &refreshToken, const QByteArray &settings,
                      const QByteArray &services = "IM=false\n")
    {
        return writeAccountFile("[account]\nname=e2e@quillnet.example\nenabled=true\nservice_url=" + url.toEncoded()
                                + "\nrefresh_token=" + refreshToken.toUtf8() + "\n[services]\n" + services
                                + "[settings]\n" + settings);
    }
    bool writeAccount(const QuillnetSim::Simulator &service, const QByteArray &settings,
                      const QByteArray &services = "IM=false\n")
    {
        return writeAccount(service.baseUrl(), service.refreshToken(), settings, services);
    }
    bool start(const QStringList &arguments = {QStringLiteral("--debug")})
    {
        mDaemon = std::make_unique<QProcess>();
        mDaemon->setProcessEnvironment(processEnvironment());
        QProcess *daemon = mDaemon.get();
        QObject::connect(daemon, &QProcess::readyReadStandardError, daemon,
                         [this, daemon] { log += daemon->readAllStandardError(); });
        mDaemon->start(QStringLiteral(DAEMON_BINARY), arguments);
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
        if (!QTest::qWaitFor([this] { return !isRunning(); }, timeoutMs) || !mDaemon
            || mDaemon->exitStatus() != QProcess::NormalExit)
            return -1;
        log += mDaemon->readAllStandardError();
        return mDaemon->exitCode();
    }
    // Waits for one more line holding marker than the log has now.
    bool waitForNext(const QByteArray &marker, int timeoutMs)
    {
        const qsizetype seen = log.count(marker);
        return QTest::qWaitFor([&] { return log.count(marker) > seen; }, timeoutMs);
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
    // Waits for the end of a pass from the cache that started after from. One that started before (it
    // waited for an add of an instance that is gone) may end first, with nothing for the new one.
    bool waitForCachePass(qsizetype from, int timeoutMs)
    {
        return QTest::qWaitFor(
                [&] {
                    const qsizetype start = log.lastIndexOf(DaemonLog::CachePassStart);
                    return start >= from && log.indexOf(DaemonLog::AnyPassEnd, start) >= 0;
                },
                timeoutMs);
    }
    // Calls sync and waits for the end of each step in ends.
    bool syncAndWait(const QList<QByteArray> &ends, int timeoutMs = 30000)
    {
        const qsizetype from = log.size();
        return callControl("sync") && waitForAll(ends, from, timeoutMs);
    }
    enum Trigger { FirstWakeUp, Sync };
    // Starts the daemon and waits for the end of each step in ends: those of the first wake-up
    // (within 10 s of the login), or those of a sync called once it is logged in.
    bool startAndWait(const QList<QByteArray> &ends, Trigger trigger = Sync, int timeoutMs = 40000)
    {
        const qsizetype from = log.size();
        return start()
                && (trigger == FirstWakeUp
                    || (waitForAll({DaemonLog::Initialized}, from, timeoutMs) && callControl("sync")))
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
    static bool controlOnBus()
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                QStringLiteral("com.tarvo.quillnetveldo"));
    }

    QByteArray log;
    // Set for the daemon besides its home.
    QList<QPair<QString, QString>> environment;

private:
    QTemporaryDir mOwnHome;
    QString mHome;
    std::unique_ptr<QProcess> mDaemon;
};
