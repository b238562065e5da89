#include "daemon/daemonstatus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDebug>

#include <systemd/sd-daemon.h>

#include "common/constants.h"
#include "database/daemondatabase.h"
#include "eventfeed/eventfeedhandler.h"
#include "friends/friendimporter.h"
#include "notifications/notificationhandler.h"
#include "platform/accounts/accountintegration.h"
#include "platform/notifications/mnotificationgroup.h"
#include "platform/quillnet/qndatafilter.h"
#include "platform/quillnet/quillnet.h"
#include "platform/support/logtext.h"
#include "statusadaptor.h"
#include "platform/support/logging.h"

namespace {

const QString EventFeedService = QStringLiteral("com.tarvo.home.EventFeed");
const QString ServerService = QStringLiteral("org.freedesktop.Notifications");
const QString ServerPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr int CapabilitiesTimeoutMs = 5000;
// A server's capabilities are a handful of short names.
constexpr int MaxCapabilities = 64;
constexpr int MaxCapabilityLength = 64;

const char *const ImportProperties[] = {"NewsFeedImport", "NotificationImport", "FriendImport"};

// Key of an item that changes with every update, as the shown and seen tables hold it.
QString updatedKey(const QString &id, const QDateTime &updated)
{
    return QStringLiteral("%1.%2").arg(id, QString::number(updated.toMSecsSinceEpoch()));
}

QString hhmm(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("HH:mm"));
}

} // namespace

QVariantMap DaemonStatus::Import::toMap() const
{
    if (result.isEmpty())
        return {};
    return {{QStringLiteral("started"), iso(started)},
            {QStringLiteral("ended"), iso(ended)},
            {QStringLiteral("result"), result}};
}

DaemonStatus::DaemonStatus(QObject *parent)
    : QObject(parent)
    , mRunningSince(QDateTime::currentDateTimeUtc())
{
    new StatusAdaptor(this);
    mFlushTimer.setSingleShot(true);
    mFlushTimer.setInterval(CoalesceMs);
    connect(&mFlushTimer, &QTimer::timeout, this, &DaemonStatus::flush);
    changed("Summary");
}

DaemonStatus::~DaemonStatus() = default;

QString DaemonStatus::iso(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

bool DaemonStatus::registerOn(QDBusConnection &bus)
{
    watchPeers(bus);
    mRegistered = bus.registerObject(QLatin1String(Constants::StatusObjectPath), this, QDBusConnection::ExportAdaptors);
    if (!mRegistered)
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Cannot export the status object:" << bus.lastError().message();
    return mRegistered;
}

void DaemonStatus::setAccount(AccountIntegration *account)
{
    mAccount = account;
    mAccountName = account->accountName();
    changed("AccountName");
    connect(account, &AccountIntegration::loginResponse, this, [this](const QString &, bool ok) {
        setLoggedIn(ok,
                    ok                                                          ? QString()
                            : mAccount && !mAccount->lastLoginError().isEmpty() ? mAccount->lastLoginError()
                                                                                : QStringLiteral("the login failed"));
    });
}

void DaemonStatus::setDatabase(DaemonDatabase *database)
{
    mDatabase = database;
    countItems();
    countGroups();
}

void DaemonStatus::setClient(Qn::Quillnet *client)
{
    if (mClient)
        mClient->disconnect(this);
    mClient = client;
    if (!client)
        return;
    connect(client, &Qn::Quillnet::allNotificationsRetrieved, this,
            [this](const Qn::QnUsers &requests, const Qn::QnEvents &events, const Qn::QnNotificationList &list,
                   quint32) { onAllNotifications(requests, events, list); });
    connect(client, &Qn::Quillnet::threadsRetrieved, this, &DaemonStatus::onThreads);
    connect(client, &Qn::Quillnet::requestFailed, this, [this](Qn::RequestKind kind) { onRequestFailed(kind); });
    connect(client, &Qn::Quillnet::error, this, &DaemonStatus::onClientError);
    countFriends();
}

void DaemonStatus::setHandlers(EventfeedHandler *eventfeed, NotificationHandler *notifications, FriendImporter *friends)
{
    connect(eventfeed, &EventfeedHandler::importStarted, this, [this] { started(NewsFeed); });
    connect(eventfeed, &EventfeedHandler::eventsfeedImported, this, [this] { ended(NewsFeed, QStringLiteral("ok")); });

    connect(notifications, &NotificationHandler::importStarted, this, [this] { started(Notifications); });
    connect(notifications, &NotificationHandler::notificationsImported, this,
            [this] { ended(Notifications, QStringLiteral("ok")); });
    connect(notifications, &NotificationHandler::importFailed, this,
            [this](const QString &reason) { ended(Notifications, QStringLiteral("failed: ") + reason); });
    connect(notifications, &NotificationHandler::newsRecorded, this,
            [this](const QString &type, const QStringList &keys, bool onScreen) {
                const QString what = onScreen ? QStringLiteral("shown")
                                              : QStringLiteral("suppressed: the app showed its %1 view").arg(type);
                for (const QString &key : keys)
                    record(type, key, what);
            });
    connect(notifications, &NotificationHandler::itemMarkedSeen, this,
            [this](const QString &id, const QString &type) { record(type, id, QStringLiteral("seen")); });
    connect(notifications, &NotificationHandler::appViewChanged, this, [this](bool connected, const QString &view) {
        if (connected != mAppConnected)
            changed("AppConnected");
        if (view != mAppView)
            changed("AppView");
        mAppConnected = connected;
        mAppView = view;
    });

    connect(friends, &FriendImporter::importStarted, this, [this] { started(FriendList); });
    connect(friends, &FriendImporter::friendImportReady, this, [this](bool ok) {
        ended(FriendList, ok ? QStringLiteral("ok") : QStringLiteral("incomplete: not every status message came"));
    });
}

void DaemonStatus::setSwitches(const QMap<QString, bool> &switches)
{
    mSwitches = switches;
}

void DaemonStatus::changed(const char *property)
{
    mChanged.insert(QLatin1String(property));
    if (!mFlushTimer.isActive())
        mFlushTimer.start();
}

void DaemonStatus::flush()
{
    const QString line = summary();
    if (line != mNotifiedSummary) {
        mNotifiedSummary = line;
        mChanged.insert(QStringLiteral("Summary"));
        // Without a service manager listening, there is nobody to tell.
        if (qEnvironmentVariableIsSet("NOTIFY_SOCKET")) {
            const QByteArray status = "STATUS=" + line.toUtf8();
            if (sd_notify(0, status.constData()) < 0)
                qCDebug(lcDaemon) << Q_FUNC_INFO << "sd_notify failed";
        }
    }
    if (!mRegistered || mChanged.isEmpty()) {
        mChanged.clear();
        return;
    }
    QVariantMap values;
    for (const QString &name : std::as_const(mChanged))
        values.insert(name, property(name.toLatin1().constData()));
    mChanged.clear();
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(Constants::StatusObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QLatin1String(Constants::StatusInterface) << values << QStringList();
    mWatcher->connection().send(signal);
}

QString DaemonStatus::summary() const
{
    if (mAccountName.isEmpty() && !mLoggedIn && mLoginError.isEmpty())
        return QStringLiteral("Starting");
    QString line = mLoggedIn        ? QStringLiteral("Logged in as %1").arg(mAccountName)
            : mLoginError.isEmpty() ? QStringLiteral("Logging in as %1").arg(mAccountName)
                                    : QStringLiteral("Not logged in as %1: %2").arg(mAccountName, mLoginError);
    const Import &feed = mImports[NewsFeed];
    const Import &notifications = mImports[Notifications];
    const auto state = [](const char *name, const Import &import) {
        if (import.result.isEmpty())
            return QString();
        if (import.result == QLatin1String("running"))
            return QStringLiteral("; %1 syncing").arg(QLatin1String(name));
        return QStringLiteral("; %1 %2 at %3").arg(QLatin1String(name), import.result, hhmm(import.ended));
    };
    line += state("feed", feed) + state("notifications", notifications);
    line += QStringLiteral("; %1 items, %2 groups, %3 friends").arg(mItems).arg(mGroups).arg(mFriends);
    if (!mEventFeedPresent)
        line += QStringLiteral("; no Event Feed");
    if (mServerOwner.isEmpty())
        line += QStringLiteral("; no notification server");
    return line;
}

void DaemonStatus::started(Subsystem subsystem)
{
    Import &import = mImports[subsystem];
    import.started = QDateTime::currentDateTimeUtc();
    import.ended = QDateTime();
    import.result = QStringLiteral("running");
    import.failure.clear();
    changed(ImportProperties[subsystem]);
}

void DaemonStatus::failed(Subsystem subsystem, const QString &result)
{
    Import &import = mImports[subsystem];
    if (import.result == QLatin1String("running"))
        import.failure = result;
}

void DaemonStatus::ended(Subsystem subsystem, const QString &result)
{
    Import &import = mImports[subsystem];
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // An end without a start: the handler had nothing to do (every kind switched off).
    if (import.result != QLatin1String("running"))
        import.started = now;
    import.ended = now;
    import.result = import.failure.isEmpty() ? result : QStringLiteral("failed: ") + import.failure;
    import.failure.clear();
    changed(ImportProperties[subsystem]);
    if (subsystem == NewsFeed)
        countItems();
    else if (subsystem == Notifications)
        countGroups();
    else
        countFriends();
}

void DaemonStatus::setLoggedIn(bool loggedIn, const QString &error)
{
    if (loggedIn != mLoggedIn)
        changed("LoggedIn");
    if (error != mLoginError)
        changed("LoginError");
    mLoggedIn = loggedIn;
    mLoginError = error;
}

void DaemonStatus::countItems()
{
    const int count = mDatabase ? std::max(mDatabase->itemCount(), 0) : 0;
    if (count != mItems)
        changed("Items");
    mItems = count;
}

void DaemonStatus::countGroups()
{
    // What this program published and the notification server has not closed.
    const QList<MNotificationGroup *> groups = MNotificationGroup::notificationGroups();
    const int count = int(groups.size());
    qDeleteAll(groups);
    if (count != mGroups)
        changed("Groups");
    mGroups = count;
}

void DaemonStatus::countFriends()
{
    Qn::QnUsers users;
    if (mClient)
        mClient->retrieveFriends(&users, Qn::QnDataFilter(), Qn::RetrieveFromCache);
    const int count = int(users.size());
    if (count != mFriends)
        changed("Friends");
    mFriends = count;
}

void DaemonStatus::onAllNotifications(const Qn::QnUsers &requests, const Qn::QnEvents &events,
                                      const Qn::QnNotificationList &notifications)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto keep = [this, &now](const QString &type, auto &&items, auto &&reported) {
        QHash<QString, Reported> &list = mReported[type];
        list.clear();
        for (const auto &item : items) {
            if (list.size() >= MaxReported)
                break;
            list.insert(item.id(), reported(item));
        }
        mReportedAt[type] = now;
    };
    keep(Constants::FriendRequestType, requests, [](const Qn::QnUser &user) { return Reported {user.id(), true}; });
    keep(Constants::EventType, events, [](const Qn::QnEvent &event) { return Reported {event.id(), true}; });
    keep(Constants::NotificationType, notifications, [](const Qn::QnNotification &notification) {
        return Reported {updatedKey(notification.id(), notification.updatedTime()), notification.unread()};
    });
}

void DaemonStatus::onThreads(Qn::MessageBoxType folder, const Qn::QnThreads &threads)
{
    if (folder != Qn::Inbox)
        return;
    QHash<QString, Reported> &list = mReported[Constants::MessageType];
    list.clear();
    for (const Qn::QnThread &thread : threads) {
        if (list.size() >= MaxReported)
            break;
        list.insert(thread.id(), Reported {updatedKey(thread.id(), thread.updatedTime()), thread.unread() > 0});
    }
    mReportedAt[Constants::MessageType] = QDateTime::currentDateTimeUtc();
}

void DaemonStatus::onRequestFailed(Qn::RequestKind kind)
{
    if (kind == Qn::NewsFeedRequest)
        failed(NewsFeed, QStringLiteral("the service did not answer the feed request"));
    else if (kind == Qn::FriendsRequest)
        failed(FriendList, QStringLiteral("the service did not answer the friends request"));
}

void DaemonStatus::onClientError(const Qn::QnError &error)
{
    if (error.errorType() == Qn::QnError::AuthenticationError)
        setLoggedIn(false, QStringLiteral("the service refused the access token; logging in again"));
}

void DaemonStatus::record(const QString &type, const QString &key, const QString &what)
{
    const QString name = type + QLatin1Char(' ') + key;
    if (!mRecords.contains(name)) {
        if (mRecordOrder.size() >= MaxRecords)
            mRecords.remove(mRecordOrder.dequeue());
        mRecordOrder.enqueue(name);
    }
    mRecords.insert(name, qMakePair(QDateTime::currentDateTimeUtc(), what));
}

void DaemonStatus::watchPeers(QDBusConnection &bus)
{
    mWatcher = new QDBusServiceWatcher(this);
    mWatcher->setConnection(bus);
    mWatcher->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    mWatcher->setWatchedServices({EventFeedService, ServerService});
    connect(mWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &service, const QString &, const QString &owner) {
                if (service == EventFeedService)
                    onEventFeedOwner(owner);
                else
                    onServerOwner(owner);
            });
    // Who owns the names now, asked without waiting.
    for (const QString &service : {EventFeedService, ServerService}) {
        auto *call = new QDBusPendingCallWatcher(bus.interface()->asyncCall(QStringLiteral("GetNameOwner"), service),
                                                 this);
        connect(call, &QDBusPendingCallWatcher::finished, this, [this, service](QDBusPendingCallWatcher *call) {
            call->deleteLater();
            const QDBusPendingReply<QString> reply = *call;
            // A change seen meanwhile is newer than this answer.
            const QString owner = reply.isError() ? QString() : reply.value();
            if (service == EventFeedService && !mEventFeedPresent)
                onEventFeedOwner(owner);
            else if (service == ServerService && mServerOwner.isEmpty())
                onServerOwner(owner);
        });
    }
}

void DaemonStatus::onEventFeedOwner(const QString &owner)
{
    if (owner.isEmpty() == mEventFeedPresent)
        changed("EventFeedPresent");
    mEventFeedPresent = !owner.isEmpty();
}

void DaemonStatus::onServerOwner(const QString &owner)
{
    if (owner == mServerOwner)
        return;
    changed("NotificationServerPresent");
    changed("NotificationServerCapabilities");
    mServerOwner = owner;
    mCapabilities.clear();
    if (owner.isEmpty())
        return;
    // Asked of that server alone, never starting one.
    QDBusMessage message
            = QDBusMessage::createMethodCall(owner, ServerPath, ServerService, QStringLiteral("GetCapabilities"));
    message.setAutoStartService(false);
    auto *call = new QDBusPendingCallWatcher(mWatcher->connection().asyncCall(message, CapabilitiesTimeoutMs), this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, owner](QDBusPendingCallWatcher *call) { onCapabilities(call, owner); });
}

void DaemonStatus::onCapabilities(QDBusPendingCallWatcher *call, const QString &askedWhom)
{
    call->deleteLater();
    const QDBusPendingReply<QStringList> reply = *call;
    if (askedWhom != mServerOwner)
        return;
    if (reply.isError()) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "No capabilities:" << Support::logText(reply.error().message());
        return;
    }
    QStringList capabilities;
    for (const QString &capability : reply.value()) {
        if (capabilities.size() >= MaxCapabilities)
            break;
        capabilities << Support::logText(capability.left(MaxCapabilityLength));
    }
    mCapabilities = capabilities;
    changed("NotificationServerCapabilities");
}

QVariantMap DaemonStatus::Why(const QString &kind, const QString &id)
{
    QVariantMap answer {{QStringLiteral("kind"), kind}, {QStringLiteral("id"), id}};
    const Constants::NotificationKind *known = Constants::findKind(&Constants::NotificationKind::typeKey, kind);
    if (!known || id.isEmpty() || id.size() > 256) {
        QStringList kinds;
        for (const Constants::NotificationKind &each : Constants::NotificationKinds)
            kinds << each.typeKey;
        answer.insert(QStringLiteral("verdict"),
                      QStringLiteral("unknown kind or id: the kinds are %1 and %2")
                              .arg(kinds.mid(0, kinds.size() - 1).join(QLatin1String(", ")), kinds.last()));
        answer.insert(QStringLiteral("error"), true);
        return answer;
    }

    const QStringList shownKeys = mDatabase ? mDatabase->shownKeysOf(id, kind) : QStringList();
    const QStringList seenKeys = mDatabase ? mDatabase->seenKeysOf(id, kind) : QStringList();
    QDateTime shownAt;
    QDateTime seenAt;
    QString suppressed;
    for (const QString &key : shownKeys + seenKeys) {
        const auto record = mRecords.constFind(kind + QLatin1Char(' ') + key);
        if (record == mRecords.constEnd())
            continue;
        const QString &what = record->second;
        if (what == QLatin1String("seen"))
            seenAt = std::max(seenAt, record->first);
        else if (what == QLatin1String("shown"))
            shownAt = std::max(shownAt, record->first);
        else
            suppressed = QStringLiteral("%1 at %2").arg(what, iso(record->first));
    }
    const bool master = mSwitches.value(Constants::NotificationsMainSetting, false);
    const bool kindOn = mSwitches.value(known->setting, true);
    const auto reported = mReported.constFind(kind);
    QString unread = QStringLiteral("unknown");
    if (reported != mReported.constEnd()) {
        const auto item = reported->constFind(id);
        unread = item == reported->constEnd() ? QStringLiteral("no")
                : item->unread                ? QStringLiteral("yes")
                                              : QStringLiteral("no");
    }

    answer.insert(QStringLiteral("shown"), !shownKeys.isEmpty());
    answer.insert(QStringLiteral("shownAt"), iso(shownAt));
    answer.insert(QStringLiteral("seen"), !seenKeys.isEmpty());
    answer.insert(QStringLiteral("seenAt"), iso(seenAt));
    answer.insert(QStringLiteral("keys"), shownKeys);
    answer.insert(QStringLiteral("suppressed"), suppressed);
    answer.insert(QStringLiteral("switch"), known->setting);
    answer.insert(QStringLiteral("switchOn"), kindOn);
    answer.insert(QStringLiteral("notificationsOn"), master);
    answer.insert(QStringLiteral("appConnected"), mAppConnected);
    answer.insert(QStringLiteral("appView"), mAppView);
    answer.insert(QStringLiteral("serverPresent"), !mServerOwner.isEmpty());
    answer.insert(QStringLiteral("serverCapabilities"), mCapabilities);
    answer.insert(QStringLiteral("unread"), unread);
    answer.insert(QStringLiteral("unreadAsOf"), iso(mReportedAt.value(kind)));

    const auto when = [](const QDateTime &time) {
        return time.isValid() ? QStringLiteral(" at %1").arg(iso(time)) : QStringLiteral(" before this start");
    };
    QString verdict;
    if (!seenKeys.isEmpty())
        verdict = QStringLiteral("seen%1: not notified again").arg(when(seenAt));
    else if (!suppressed.isEmpty())
        verdict = QStringLiteral("not notified: %1; recorded as shown").arg(suppressed);
    else if (!shownKeys.isEmpty())
        verdict = QStringLiteral("notified%1").arg(when(shownAt));
    else if (!master)
        verdict = QStringLiteral("not notified: notifications are switched off (%1)")
                          .arg(Constants::NotificationsMainSetting);
    else if (!kindOn)
        verdict = QStringLiteral("not notified: its kind is switched off (%1)").arg(known->setting);
    else if (unread == QLatin1String("no"))
        verdict = QStringLiteral("not notified: the service's last answer does not report it as unread");
    else if (mServerOwner.isEmpty())
        verdict = QStringLiteral("not notified: there is no notification server");
    else
        verdict = QStringLiteral("not notified yet: the next import will tell it");
    answer.insert(QStringLiteral("verdict"), verdict);
    return answer;
}
