// The daemon: builds and owns every component, holds the login state and the user's switches, and
// turns account, heartbeat, Event Feed and control-bus events into work for the components.
#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QTime>
#include <QTimer>

#include <functional>
#include <memory>

#include "platform/quillnet/qnerror.h"

class AccountIntegration;
class ComTarvoHomeEventFeedInterface;
class DaemonStatus;
class DaemonDatabase;
class EventfeedHandler;
class FriendImporter;
class Helper;
class QNetworkAccessManager;
class NetworkMonitor;
class NotificationHandler;

namespace Qn {
class QnCache;
class Quillnet;
} // namespace Qn

namespace Veldo {
class QmHeartbeat;
} // namespace Veldo

class QuillnetDaemon : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.quillnetveldo")
    Q_DISABLE_COPY(QuillnetDaemon)
    // The in-process tests look at the handlers and timers it owns.
    friend class TestDaemonLogin;

public:
    // Ends the process (exit 0 without an enabled account, exit 1 when a component cannot be built)
    // instead of returning when start-up fails.
    explicit QuillnetDaemon(QObject *parent = nullptr);
    ~QuillnetDaemon() override;

    // The control bus surface: these three slots are exported, the others must stay private.
public slots:
    void refreshEventFeed();
    void itemSeen(QString id, QString type);
    void sync();

signals:
    void syncDone(QString err);
    void cacheCleared();

private slots:
    void onFullSyncRequested();
    void onNewsFeedUpdateRequested();
    void onNewsFeedUpdateFromCacheRequested();
    void onAccountDisabled();
    void onAccountRemoved();
    void onSyncHeartbeat(QTime time);
    void onOnlineStateChanged(bool isOnline);
    void retryLogin();
    void onLoginResponse(const QString &accessToken, bool loginOk);
    void onQnInitialized();
    void onError(Qn::QnError error);
    void onSettingsChanged(const QString &name, const bool &value);
    void onServiceEnabled(QString name);
    void onServiceDisabled(QString name);
    void onEventsFeedUpdated();
    void onFriendsImported(bool ok);
    void onNotificationsImported();
    void onDbReseted();
    void onSessionBusLost();

private:
    // A pass ended: what it left in the page caches and the allocator's free pages go back to the
    // system until the next one.
    void releaseMemory();
    void loginToQuillnet();
    // The gate of every trigger: logged in, online when asked for, client initialised. Starts a
    // login or the client's init when that is what is missing.
    bool checkBackend(bool requireOnline);
    // The daily clean-up of the client cache.
    void removeOldPosts();
    // A switch of mSettings; false when missing.
    bool isOn(const QString &key) const;
    // Arms the retry timer with the growing delay, or gives up after the last retry.
    void scheduleRetry();
    static void storeCanceledLogins(Qn::QnCache *cache, int count);
    void connectAccount();
    // Withdraws the account's feed items and notifications and drops the client.
    void withdrawAndLogOut();
    // Ends the event loop with code once the Event Feed and the notification server have answered
    // the calls already sent (their answers are recorded), at most after SettleMs, then runs
    // cleanUp; nothing new starts meanwhile.
    void exitWhenSettled(int code, const std::function<void()> &cleanUp = nullptr);

    // What the daemon owns, destroyed in the reverse order of these lines, which is the order it
    // must come apart in: the status object (it reads all the others) first, the handlers of a login
    // before the client, the database and the feed interface they use, the client before the cache it
    // holds, the account and every client before the network access manager they share, and the
    // cache directory's lock last, once nothing writes there any more.
    struct CacheLock
    {
        // The descriptor holding the lock; the kernel lets go of it with the process too.
        int fd = -1;
        ~CacheLock();
    } mCacheLock;
    std::unique_ptr<QNetworkAccessManager> mNetwork;
    std::unique_ptr<DaemonDatabase> mDatabase;
    std::unique_ptr<ComTarvoHomeEventFeedInterface> mEventFeedInterface;
    std::unique_ptr<AccountIntegration> mAccount;
    std::unique_ptr<Qn::QnCache> mQnCache;
    std::unique_ptr<Qn::Quillnet> mQuillnet;
    // The handlers of one login, made together once the service accepts a client.
    std::unique_ptr<FriendImporter> mFriendImporter;
    std::unique_ptr<EventfeedHandler> mEventfeedHandler;
    std::unique_ptr<NotificationHandler> mNotificationHandler;
    std::unique_ptr<Veldo::QmHeartbeat> mHeartbeat;
    std::unique_ptr<Helper> mHelper;
    // What the daemon is doing, read-only on the bus beside the control interface.
    std::unique_ptr<DaemonStatus> mStatus;

    NetworkMonitor *mNetworkManager = nullptr;
    bool mLoginOk = false;
    bool mLoginInProgress = false;
    int mRetryCount = 0;
    QString mAccountName;
    QMap<QString, bool> mSettings;
    QString mCacheDir;
    QString mQnCacheDir;
    int mHeartbeatCount = 0;
    bool mBackendInitializing = false;
    bool mDbReseted = false;
    int mCanceledLogins = 0;
    QTimer mNewsFeedTimer;
    QTimer mRetryTimer;
    bool mFirstHeartbeat = true;
    // A forced login (after the service refused a token) whose token has not been accepted yet.
    bool mForcedLoginUnproven = false;
    // The daemon is on its way out: its triggers start nothing.
    bool mExiting = false;
    QList<std::function<void()>> mExitCleanUps;
};
