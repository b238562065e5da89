#include "daemon/quillnetdaemon.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDBusError>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QSettings>

#include <cstdlib>
#include <new>

#include <unistd.h>

#include "common/constants.h"
#include "common/utils.h"
#include "daemon/daemonstatus.h"
#include "database/daemondatabase.h"
#include "eventfeed/eventfeedhandler.h"
#include "eventfeedinterface.h"
#include "friends/friendimporter.h"
#include "notifications/notificationhandler.h"
#include "platform/accounts/accountintegration.h"
#include "platform/accounts/qnfactoryveldo.h"
#include "platform/notifications/mnotification.h"
#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qncacheconfiguration.h"
#include "platform/quillnet/quillnet.h"
#include "platform/system/helper.h"
#include "platform/system/networkmonitor.h"
#include "platform/system/qmheartbeat.h"
#include "platform/support/files.h"
#include "platform/support/logtext.h"
#include "quillnetveldoadaptor.h"
#include "platform/support/logging.h"

namespace {

// Online state for the whole process: made once, never deleted. Held here, so that it stays
// reachable rather than leaked, and every daemon object of the process shares it.
NetworkMonitor *processNetworkMonitor()
{
    static NetworkMonitor *const monitor = new (std::nothrow) NetworkMonitor(nullptr);
    return monitor;
}

const int RetryLimit = 3;
const int RetryDelayMs = 60000;
const int CanceledLoginLimit = 2;
const QString ForceExitKey = QStringLiteral("lastForceExit");

const QString LockFileName = QStringLiteral("qndaemon.lock");

// How long an exit waits for the answers of the calls already sent to the peers: longer than the
// notification server's call limit; how often it looks.
constexpr int SettleMs = 3500;
constexpr int SettleCheckMs = 20;

// Start-up cannot go on without this component: the process ends here, as the entry function
// would only run an event loop for a daemon that cannot work.
[[noreturn]] void criticalExit(const char *text)
{
    qCCritical(lcDaemon) << text;
    ::exit(1);
}

// The cache home: $XDG_CACHE_HOME when it is an absolute path (a relative value is ignored, as
// the XDG base directory rules ask), otherwise none.
QString cacheHome()
{
    const QString value = qEnvironmentVariable("XDG_CACHE_HOME");
    return QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : QString();
}

} // namespace

QuillnetDaemon::QuillnetDaemon(QObject *parent)
    : QObject(parent)
{
    QnVeldo::QnFactoryVeldo *factory = QnVeldo::QnFactoryVeldo::getInstance();
    if (!factory)
        criticalExit("Could not initialize platform factory");

    // Without a usable, enabled account there is nothing to do, and nothing may be left behind.
    if (!factory->account()->isValidAccount())
        ::exit(0);
    if (!factory->account()->isAccountEnabled())
        ::exit(0);

    mNetworkManager = processNetworkMonitor();
    if (!mNetworkManager)
        criticalExit("Could not initialize QNetworkConfigurationManager");
    // A daemon that started offline logs in once the machine comes online.
    connect(mNetworkManager, &NetworkMonitor::onlineStateChanged, this, &QuillnetDaemon::onOnlineStateChanged);

    mHelper.reset(new (std::nothrow) Helper(nullptr));
    if (!mHelper)
        criticalExit("Could not initialize Helper");
    mHelper->setLocale(QStringLiteral("quillnet"));

    new QuillnetveldoAdaptor(this);

    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString serviceName = QString::fromLatin1(Constants::ServiceName);
    const QString objectPath = QString::fromLatin1(Constants::ObjectPath);
    qCDebug(lcDaemon) << Q_FUNC_INFO << "registerService:" << serviceName;
    if (!bus.registerService(serviceName)) {
        qCCritical(lcDaemon) << Q_FUNC_INFO << "Failed to register service";
        ::exit(1);
    }
    qCDebug(lcDaemon) << Q_FUNC_INFO << "registerObject:" << objectPath;
    if (!bus.registerObject(objectPath, this, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)) {
        qCCritical(lcDaemon) << Q_FUNC_INFO << "Unable to register:" << bus.lastError().name()
                             << bus.lastError().message();
        ::exit(1);
    }
    mStatus = std::make_unique<DaemonStatus>();
    mStatus->registerOn(bus);

    mHeartbeat.reset(new (std::nothrow) Veldo::QmHeartbeat());
    if (!mHeartbeat)
        criticalExit("Could not initialize periodic sync");
    mHeartbeat->open(Veldo::QmHeartbeat::SignalNeeded);
    connect(mHeartbeat.get(), &Veldo::QmHeartbeat::wakeUp, this, &QuillnetDaemon::onSyncHeartbeat);

    const QString separator = QDir::separator();
    const QString xdgCacheHome = cacheHome();
    if (!xdgCacheHome.isEmpty()) {
        // The cache home may not exist yet on a new system; it is created, for the user alone.
        mCacheDir = xdgCacheHome + separator + Constants::CacheDirName;
    } else {
        mCacheDir = QDir::homePath() + separator + QStringLiteral(".quillnet");
    }
    Support::makeUserOnlyPath(mCacheDir);

    // One daemon per cache: a second one of the same user (on another session bus) would share
    // the databases.
    qint64 holder = 0;
    mCacheLock.fd = Support::lockExclusively(mCacheDir + separator + LockFileName, &holder);
    if (mCacheLock.fd < 0) {
        if (holder > 0)
            qCCritical(lcDaemon) << Q_FUNC_INFO << "Another instance (process" << holder
                                 << ") is using the cache directory" << mCacheDir;
        else
            qCCritical(lcDaemon) << Q_FUNC_INFO << "Could not lock the cache directory" << mCacheDir;
        ::exit(1);
    }

    // The record of the notifications this daemon published, so that a restart updates them.
    MNotification::setRegistryPath(mCacheDir + separator + Constants::NotificationRegistryFileName);

    mDatabase.reset(new (std::nothrow) DaemonDatabase(mCacheDir + separator + Constants::DatabaseFileName));
    if (!mDatabase) {
        qCWarning(lcDaemon) << "Could not initialize internal database";
        ::exit(1);
    }
    // Connected before init(): a reset while opening must be seen.
    connect(mDatabase.get(), &DaemonDatabase::dbReseted, this, &QuillnetDaemon::onDbReseted);
    if (!mDatabase->init())
        criticalExit("Could not init internal database!");
    mStatus->setDatabase(mDatabase.get());

    Support::makeUserOnlyPath(mCacheDir + separator + Constants::QnCacheDirName);
    // The client cache database stays below the home directory whatever XDG_CACHE_HOME says; the
    // client library creates that directory itself.
    mQnCacheDir = QDir::homePath() + separator + QStringLiteral(".quillnet") + separator + QStringLiteral("private")
            + separator;
    Qn::QnCacheConfiguration cacheConfiguration;
    cacheConfiguration.setDatabaseName(mQnCacheDir + Constants::QnCacheDbName);
    cacheConfiguration.setPath(mCacheDir + separator + Constants::QnCacheDirName);
    mQnCache.reset(new (std::nothrow) Qn::QnCache(cacheConfiguration, nullptr));
    if (!mQnCache)
        criticalExit("Could not initialize Qn cache");

    mEventFeedInterface.reset(new (std::nothrow) ComTarvoHomeEventFeedInterface(
            QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"), bus));
    if (!mEventFeedInterface)
        criticalExit("Could not initialize events feed interface");
    connect(mEventFeedInterface.get(), &ComTarvoHomeEventFeedInterface::refreshRequested, this,
            &QuillnetDaemon::onNewsFeedUpdateRequested);

    mRetryTimer.setSingleShot(true);
    connect(&mRetryTimer, &QTimer::timeout, this, &QuillnetDaemon::retryLogin);

    mNewsFeedTimer.setInterval(2000);
    mNewsFeedTimer.setSingleShot(true);
    connect(&mNewsFeedTimer, &QTimer::timeout, this, &QuillnetDaemon::onNewsFeedUpdateFromCacheRequested);

    // The daemon belongs to the session: when its bus goes away (the user logged out), so does it.
    // The bus delivers this signal locally; it is found by name.
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"), QStringLiteral("org.freedesktop.DBus.Local"),
                QStringLiteral("Disconnected"), this, SLOT(onSessionBusLost()));

    connectAccount();

    qCDebug(lcDaemon) << Q_FUNC_INFO << "loginToQuillnet";
    loginToQuillnet();
}

// The members come apart in the order their declaration gives.
QuillnetDaemon::~QuillnetDaemon() = default;

void QuillnetDaemon::connectAccount()
{
    if (!mAccount)
        mAccount.reset(QnVeldo::QnFactoryVeldo::getInstance()->account());
    // One network access manager for the account's token requests and every client: one HTTP
    // thread and one idle wake-up instead of one each.
    mNetwork = std::make_unique<QNetworkAccessManager>();
    mAccount->setNetworkAccessManager(mNetwork.get());
    mStatus->setAccount(mAccount.get());

    connect(mAccount.get(), &AccountIntegration::loginResponse, this, &QuillnetDaemon::onLoginResponse);
    connect(mAccount.get(), &AccountIntegration::accountDisabled, this, &QuillnetDaemon::onAccountDisabled);
    connect(mAccount.get(), &AccountIntegration::accountRemoved, this, &QuillnetDaemon::onAccountRemoved);
    connect(mAccount.get(), &AccountIntegration::serviceEnabled, this, &QuillnetDaemon::onServiceEnabled);
    connect(mAccount.get(), &AccountIntegration::serviceDisabled, this, &QuillnetDaemon::onServiceDisabled);

    QStringList keys = {Constants::NotificationsMainSetting};
    for (const Constants::NotificationKind &kind : Constants::NotificationKinds)
        keys << kind.setting;
    keys << Constants::NewsFeedSetting;
    mSettings = mAccount->settings(keys);
    onSettingsChanged(Constants::NotificationsMainSetting, mSettings.value(Constants::NotificationsMainSetting, false));
    onSettingsChanged(Constants::NewsFeedSetting, mSettings.value(Constants::NewsFeedSetting, false));

    mAccount->watchSettings(keys);
    connect(mAccount.get(), &AccountIntegration::settingsChanged, this, &QuillnetDaemon::onSettingsChanged);

    mAccountName = mAccount->accountName();
}

void QuillnetDaemon::loginToQuillnet()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << "mLoginOk:" << mLoginOk << "loginInProgress:" << mLoginInProgress
                      << "validAccount:" << mAccount->isValidAccount();
    if (!mLoginOk && !mLoginInProgress && mAccount->isValidAccount()) {
        mLoginInProgress = true;
        mAccount->login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, false, true);
    }
}

bool QuillnetDaemon::isOn(const QString &key) const
{
    return mSettings.value(key, false);
}

bool QuillnetDaemon::checkBackend(bool requireOnline)
{
    if (mExiting)
        return false;
    if (!mLoginOk) {
        loginToQuillnet();
        return false;
    }
    if (requireOnline && !mNetworkManager->isOnline())
        return false;
    if (mQuillnet && !mQuillnet->isInitialized()) {
        mQuillnet->init();
        return false;
    }
    return true;
}

void QuillnetDaemon::removeOldPosts()
{
    Qn::QnCache *cache = mQuillnet ? mQuillnet->cache() : nullptr;
    if (!cache || !mDatabase->isClearNeeded())
        return;
    if (!cache->removePosts(QDateTime::currentDateTime().addDays(-1)))
        qCWarning(lcDaemon) << "Failed to remove old posts from cache";
    cache->clearDiskCache();
    // Advanced even after a failed removal: the clean-up is tried again tomorrow, not on every wake-up.
    mDatabase->updateClearDate(true);
}

void QuillnetDaemon::refreshEventFeed()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    // Calls within 2 s of each other lead to one refresh, 2 s after the last one.
    if (isOn(Constants::NewsFeedSetting) && checkBackend(false))
        mNewsFeedTimer.start();
}

void QuillnetDaemon::itemSeen(QString id, QString type)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << Support::logText(id) << Support::logText(type);
    if (isOn(Constants::NotificationsMainSetting) && mNotificationHandler)
        mNotificationHandler->itemSeen(id, type);
}

void QuillnetDaemon::sync()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    // The caller is answered first; the work runs in a later pass of the event loop.
    if (checkBackend(true))
        QTimer::singleShot(1, this, &QuillnetDaemon::onFullSyncRequested);
}

void QuillnetDaemon::onFullSyncRequested()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    if (mExiting)
        return;
    removeOldPosts();
    if (mSettings.isEmpty())
        return;
    if (isOn(Constants::NewsFeedSetting) && mEventfeedHandler)
        mEventfeedHandler->startNewsfeedImport(false);
    if (isOn(Constants::NotificationsMainSetting) && mNotificationHandler)
        mNotificationHandler->startNotificationImport();
}

void QuillnetDaemon::onNewsFeedUpdateRequested()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << mNetworkManager->isOnline();
    if (!checkBackend(false) || !mEventfeedHandler || !mNotificationHandler)
        return;
    if (isOn(Constants::NewsFeedSetting))
        mEventfeedHandler->startNewsfeedImport(false);
    if (isOn(Constants::NotificationsMainSetting))
        mNotificationHandler->startNotificationImport();
}

void QuillnetDaemon::onNewsFeedUpdateFromCacheRequested()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    if (mEventfeedHandler && isOn(Constants::NewsFeedSetting))
        mEventfeedHandler->startNewsfeedImport(true);
}

void QuillnetDaemon::onAccountDisabled()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    if (mFriendImporter)
        mFriendImporter->accountDisabled();
    withdrawAndLogOut();
    // The client cache database outlives a disabled account; without XDG_CACHE_HOME its directory
    // lies inside the one cleared here.
    exitWhenSettled(0, [this] { Utils::clearDirectory(mCacheDir, QDir::cleanPath(mQnCacheDir)); });
}

void QuillnetDaemon::onAccountRemoved()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    if (mFriendImporter)
        mFriendImporter->accountRemoved();
    // Withdrawn before the cache directory goes: the record of what was published lives there.
    withdrawAndLogOut();
    exitWhenSettled(0, [this] {
        Utils::clearDirectory(mCacheDir);
        Utils::clearDirectory(mQnCacheDir);
    });
}

void QuillnetDaemon::exitWhenSettled(int code, const std::function<void()> &cleanUp)
{
    if (cleanUp)
        mExitCleanUps << cleanUp;
    if (mExiting)
        return;
    mExiting = true;
    // A banner the server showed, or an item the Event Feed added, is recorded when the answer comes;
    // leaving before it would tell or add it again at the next start.
    auto *settle = new QTimer(this);
    settle->setInterval(SettleCheckMs);
    const QDeadlineTimer deadline(SettleMs);
    const auto check = [this, code, deadline, settle] {
        if (!deadline.hasExpired()
            && (MNotification::hasPendingCalls() || (mEventfeedHandler && mEventfeedHandler->isAdding())))
            return;
        settle->stop();
        qCDebug(lcDaemon) << "Exiting with status" << code;
        for (const std::function<void()> &cleanUp : std::as_const(mExitCleanUps))
            cleanUp();
        QCoreApplication::exit(code);
    };
    connect(settle, &QTimer::timeout, this, check);
    settle->start();
    check();
}

void QuillnetDaemon::withdrawAndLogOut()
{
    if (mEventfeedHandler)
        mEventfeedHandler->clear();
    if (mNotificationHandler)
        mNotificationHandler->clear(QString(), true);
    mQuillnet.reset();
    mAccountName.clear();
    mLoginOk = false;
}

void QuillnetDaemon::onSyncHeartbeat(QTime time)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << time;
    mHeartbeat->wait(Veldo::QmHeartbeat::WAKEUP_SLOT_2_HOURS, Veldo::QmHeartbeat::WAKEUP_SLOT_2_HOURS, 0);
    removeOldPosts();
    if (checkBackend(true)) {
        // The feed and the notifications are imported by the first wake-up only; later ones come
        // from the Event Feed, the control interface and the account's switches.
        if (mFirstHeartbeat) {
            if (isOn(Constants::NewsFeedSetting) && mEventfeedHandler)
                mEventfeedHandler->startNewsfeedImport(false);
            if (isOn(Constants::NotificationsMainSetting) && mNotificationHandler)
                mNotificationHandler->startNotificationImport();
        }
        // Friends on every second wake-up.
        if (mHeartbeatCount == 0 && isOn(Constants::ImStateSetting) && mFriendImporter)
            mFriendImporter->startFriendImport(false);
    }
    ++mHeartbeatCount;
    mFirstHeartbeat = false;
    if (mHeartbeatCount > 1)
        mHeartbeatCount = 0;
}

void QuillnetDaemon::onOnlineStateChanged(bool isOnline)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << isOnline;
    if (!isOnline)
        return;
    if (!mLoginOk) {
        loginToQuillnet();
    } else if (mQuillnet && !mQuillnet->isInitialized()) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "Initializing qn backend.";
        mQuillnet->init();
    }
}

void QuillnetDaemon::retryLogin()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    loginToQuillnet();
}

void QuillnetDaemon::onLoginResponse(const QString &accessToken, bool loginOk)
{
    mLoginOk = loginOk;
    mLoginInProgress = false;

    if (loginOk) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "Quillnet login ok";
        mRetryTimer.stop();
        // While the service keeps refusing new tokens, a login that hands one out is no success yet.
        if (!mForcedLoginUnproven)
            mRetryCount = 0;

        Qn::QuillnetConfiguration configuration(accessToken, 0);
        configuration.setCache(mQnCache.get());
        configuration.setLocale(QLocale().name());
        configuration.setServiceUrl(mAccount->serviceUrl());
        configuration.setNetworkAccessManager(mNetwork.get());
        // Lowered by tests of a trickling service; unset or not a number: the default.
        configuration.setRequestDeadline(qEnvironmentVariableIntValue("QUILLNET_REQUEST_DEADLINE_MS"));

        // The old client goes before the new one opens the cache they share.
        mQuillnet.reset();
        mQuillnet = std::make_unique<Qn::Quillnet>(configuration);
        connect(mQuillnet.get(), &Qn::Quillnet::initialized, this, &QuillnetDaemon::onQnInitialized);
        connect(mQuillnet.get(), &Qn::Quillnet::error, this, &QuillnetDaemon::onError);
        mStatus->setClient(mQuillnet.get());
        mBackendInitializing = true;
        mQuillnet->init();

        mCanceledLogins = 0;
        storeCanceledLogins(mQuillnet->cache(), 0);
        return;
    }

    if (!mAccount->wasLoginCanceled()) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "Quillnet login failed";
        scheduleRetry();
        return;
    }

    // Canceled by the user: ask again at once, but only twice in a row. The count survives a
    // restart through the client cache, when there is one.
    Qn::QnCache *cache = mQuillnet ? mQuillnet->cache() : nullptr;
    int count = mCanceledLogins;
    if (cache) {
        bool isNumber = false;
        count = cache->getUserData(Constants::CanceledLoginsKey).toInt(&isNumber);
        if (!isNumber)
            count = 0;
        mCanceledLogins = count;
    }
    if (count < CanceledLoginLimit) {
        mCanceledLogins = count + 1;
        storeCanceledLogins(cache, mCanceledLogins);
        qCDebug(lcDaemon) << Q_FUNC_INFO << "Quillnet login failed due to cancel";
        mAccount->login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, false, false);
    } else {
        storeCanceledLogins(cache, 0);
        mAccount->loginCanceledTooOften();
    }
}

void QuillnetDaemon::scheduleRetry()
{
    if (mRetryCount < RetryLimit) {
        ++mRetryCount;
        qCDebug(lcDaemon) << Q_FUNC_INFO << "Retry in" << mRetryCount * 60 << "seconds.";
        mRetryTimer.setInterval(mRetryCount * RetryDelayMs);
        mRetryTimer.setSingleShot(true);
        mRetryTimer.start();
    } else {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Giving up on retries...";
    }
}

void QuillnetDaemon::storeCanceledLogins(Qn::QnCache *cache, int count)
{
    if (!cache)
        return;
    const QString value = QString::number(count);
    // Every login stores the count: written only when it changes, it costs no disk sync.
    if (cache->getUserData(Constants::CanceledLoginsKey) != value)
        cache->updateUserData(Constants::CanceledLoginsKey, value);
}

void QuillnetDaemon::onQnInitialized()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    mBackendInitializing = false;
    // The service accepted the token: a later refusal deserves an immediate new login again.
    mForcedLoginUnproven = false;
    mRetryCount = 0;

    // The handlers of a login are replaced together: none of the last one's outlives the others.
    mNotificationHandler.reset();
    mEventfeedHandler.reset();
    mFriendImporter.reset();
    mFriendImporter = std::make_unique<FriendImporter>();
    if (!mFriendImporter->init(mQuillnet.get(), mAccountName))
        criticalExit("Failed to init FriendImporter!");
    connect(mFriendImporter.get(), &FriendImporter::friendImportReady, this, &QuillnetDaemon::onFriendsImported);

    mEventfeedHandler = std::make_unique<EventfeedHandler>();
    if (!mEventfeedHandler->init(mQuillnet.get(), mEventFeedInterface.get(), mDatabase.get()))
        criticalExit("Failed to init EventfeedHandler!");
    connect(mEventfeedHandler.get(), &EventfeedHandler::eventsfeedImported, this, &QuillnetDaemon::onEventsFeedUpdated);
    mEventfeedHandler->setEnabled(isOn(Constants::NewsFeedSetting));

    mNotificationHandler = std::make_unique<NotificationHandler>();
    if (!mNotificationHandler->init(mQuillnet.get(), mDatabase.get()))
        criticalExit("Failed to init NotificationHandler!");
    // Switches the user never set count as on here; event invitations follow their own switch, as the
    // other kinds do.
    for (const Constants::NotificationKind &kind : Constants::NotificationKinds)
        mNotificationHandler->setEnabled(kind.typeKey, mSettings.value(kind.setting, true));
    connect(mNotificationHandler.get(), &NotificationHandler::notificationsImported, this,
            &QuillnetDaemon::onNotificationsImported);

    mStatus->setHandlers(mEventfeedHandler.get(), mNotificationHandler.get(), mFriendImporter.get());

    if (mDbReseted) {
        // The database lost the list of published items before this handler existed.
        mDbReseted = false;
        mEventfeedHandler->clear();
    }

    qCDebug(lcDaemon) << Q_FUNC_INFO << "Checking online status";
    mSettings[Constants::ImStateSetting] = mAccount->isServiceEnabled(QStringLiteral("IM"));
    mHeartbeat->wait(0, 10, 0);
}

void QuillnetDaemon::onError(Qn::QnError error)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << Support::logText(error.replyErrorString()) << "type:" << error.errorType();
    qCDebug(lcDaemon) << Q_FUNC_INFO << Support::logText(error.quillnetErrorString());

    if (mBackendInitializing)
        qCWarning(lcDaemon) << "Network error during backend initialization.";

    if (error.errorType() == Qn::QnError::AuthenticationError && !mLoginInProgress) {
        mLoginOk = false;
        if (mForcedLoginUnproven) {
            // The token of the last forced login was refused too: logging in again at once would
            // loop as fast as the service answers. Such logins wait like failed ones.
            qCDebug(lcDaemon) << Q_FUNC_INFO << "The new token was refused as well";
            if (!mRetryTimer.isActive())
                scheduleRetry();
            return;
        }
        mLoginInProgress = true;
        mForcedLoginUnproven = true;
        mAccount->login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, true, false);
    } else if (error.errorType() == Qn::QnError::CacheError
               && (error.cacheErrorString().contains(QLatin1String("database disk image is malformed"))
                   || error.cacheErrorString().contains(QLatin1String("disk I/O error")))) {
        // A corrupt cache ends the daemon so that a restart can rebuild it, but at most once a day
        // and never when the day cannot be recorded: otherwise it would restart in a loop.
        QSettings settings(Constants::CacheDirName, QStringLiteral("Tarvo"));
        const QVariant stored = settings.value(ForceExitKey);
        const QDate previous = stored.canConvert<QDate>() ? stored.toDate() : QDate();
        const QDate today = QDate::currentDate();
        settings.setValue(ForceExitKey, today);
        settings.sync();
        if (settings.status() == QSettings::NoError && (!previous.isValid() || previous < today)) {
            qCWarning(lcDaemon) << "Exit due to cache problem, previous" << previous;
            exitWhenSettled(1);
        }
    }
}

void QuillnetDaemon::onSettingsChanged(const QString &name, const bool &value)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << Support::logText(name) << value;
    mSettings[name] = value;
    mStatus->setSwitches(mSettings);
    // Before the backend set-up the switch is only stored; the set-up or the next trigger applies it.
    if (!mNotificationHandler || !mEventfeedHandler)
        return;

    // Every switch-off re-reads what is published before withdrawing it: lists read at the start of
    // the last cycle would miss what that cycle published.
    if (name == Constants::NotificationsMainSetting && !value) {
        qCDebug(lcDaemon) << "Disabling notifications";
        mNotificationHandler->clear(QString(), true);
    } else if (name == Constants::NewsFeedSetting && !value) {
        qCDebug(lcDaemon) << "Disabling events feed";
        mEventfeedHandler->clear();
    }
    if (name == Constants::NewsFeedSetting)
        mEventfeedHandler->setEnabled(value);

    if (const Constants::NotificationKind *kind = Constants::findKind(&Constants::NotificationKind::setting, name)) {
        mNotificationHandler->setEnabled(kind->typeKey, value);
        if (!value)
            mNotificationHandler->clear(kind->eventType, true);
    }
}

void QuillnetDaemon::onServiceEnabled(QString name)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << Support::logText(name);
    if (name != QLatin1String("IM"))
        return;
    mSettings[Constants::ImStateSetting] = true;
    if (mFriendImporter)
        mFriendImporter->startFriendImport(false);
}

void QuillnetDaemon::onServiceDisabled(QString name)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << Support::logText(name);
    // Imported friends stay; later heartbeats import no more.
    if (name == QLatin1String("IM"))
        mSettings[Constants::ImStateSetting] = false;
}

void QuillnetDaemon::onEventsFeedUpdated()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    releaseMemory();
}

void QuillnetDaemon::onFriendsImported(bool ok)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << ok;
}

void QuillnetDaemon::onNotificationsImported()
{
    qCDebug(lcDaemon) << Q_FUNC_INFO;
    releaseMemory();
}

void QuillnetDaemon::releaseMemory()
{
    if (mDatabase)
        mDatabase->releaseMemory();
    if (mQnCache)
        mQnCache->releaseMemory();
    Utils::releaseFreeMemory();
}

void QuillnetDaemon::onSessionBusLost()
{
    qCWarning(lcDaemon) << Q_FUNC_INFO << "The session bus is gone; the session has ended";
    QCoreApplication::exit(0);
}

void QuillnetDaemon::onDbReseted()
{
    qCDebug(lcDaemon) << "Db reseted";
    // A handler reacts to the database's signal itself; without one, the Event Feed items listed in
    // the lost tables are withdrawn once it exists.
    if (!mEventfeedHandler)
        mDbReseted = true;
}

QuillnetDaemon::CacheLock::~CacheLock()
{
    if (fd >= 0)
        ::close(fd);
}
