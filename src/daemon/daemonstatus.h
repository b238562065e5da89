// What the daemon is doing, for people and scripts: its login, its imports, what it published, which
// of its peers are there, and why an item was or was not notified. Read-only on the bus (interface
// com.tarvo.quillnetveldo.Status at /quillnetveldo/status, beside the control interface); a burst
// of changes goes out as one PropertiesChanged, and as a one-line STATUS= to systemd.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include "platform/quillnet/qnerror.h"
#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/qnuser.h"

class AccountIntegration;
class DaemonDatabase;
class EventfeedHandler;
class FriendImporter;
class NotificationHandler;
class QDBusConnection;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace Qn {
class Quillnet;
} // namespace Qn

class DaemonStatus : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DaemonStatus)
    Q_PROPERTY(QString RunningSince READ runningSince)
    Q_PROPERTY(QString AccountName READ accountName)
    Q_PROPERTY(bool LoggedIn READ loggedIn)
    Q_PROPERTY(QString LoginError READ loginError)
    Q_PROPERTY(QVariantMap NewsFeedImport READ newsFeedImport)
    Q_PROPERTY(QVariantMap NotificationImport READ notificationImport)
    Q_PROPERTY(QVariantMap FriendImport READ friendImport)
    Q_PROPERTY(int Items READ items)
    Q_PROPERTY(int Groups READ groups)
    Q_PROPERTY(int Friends READ friends)
    Q_PROPERTY(bool EventFeedPresent READ eventFeedPresent)
    Q_PROPERTY(bool NotificationServerPresent READ notificationServerPresent)
    Q_PROPERTY(QStringList NotificationServerCapabilities READ notificationServerCapabilities)
    Q_PROPERTY(bool AppConnected READ appConnected)
    Q_PROPERTY(QString AppView READ appView)
    Q_PROPERTY(QString Summary READ summary)

public:
    // Changes within this time go out in one signal.
    static constexpr int CoalesceMs = 50;
    // Items whose shown, suppressed or seen time is remembered (about 220 bytes each, held for the
    // whole session), and ids kept of a service answer.
    static constexpr int MaxRecords = 1024;
    static constexpr int MaxReported = 1000;

    explicit DaemonStatus(QObject *parent = nullptr);
    ~DaemonStatus() override;

    // Exports the object and starts watching the Event Feed and the notification server; false when
    // the object cannot be registered (the daemon goes on without it).
    bool registerOn(QDBusConnection &bus);

    // The sources, each reported to through its own signals; the daemon hands them over as it makes
    // them.
    void setAccount(AccountIntegration *account);
    void setDatabase(DaemonDatabase *database);
    void setClient(Qn::Quillnet *client);
    void setHandlers(EventfeedHandler *eventfeed, NotificationHandler *notifications, FriendImporter *friends);
    // The user's switches, as the daemon holds them.
    void setSwitches(const QMap<QString, bool> &switches);

    QString runningSince() const { return iso(mRunningSince); }
    QString accountName() const { return mAccountName; }
    bool loggedIn() const { return mLoggedIn; }
    QString loginError() const { return mLoginError; }
    QVariantMap newsFeedImport() const { return mImports[NewsFeed].toMap(); }
    QVariantMap notificationImport() const { return mImports[Notifications].toMap(); }
    QVariantMap friendImport() const { return mImports[FriendList].toMap(); }
    int items() const { return mItems; }
    int groups() const { return mGroups; }
    int friends() const { return mFriends; }
    bool eventFeedPresent() const { return mEventFeedPresent; }
    bool notificationServerPresent() const { return !mServerOwner.isEmpty(); }
    QStringList notificationServerCapabilities() const { return mCapabilities; }
    bool appConnected() const { return mAppConnected; }
    QString appView() const { return mAppView; }
    QString summary() const;

public slots:
    // The bus method (through the adaptor).
    QVariantMap Why(const QString &kind, const QString &id);

private:
    enum Subsystem { NewsFeed, Notifications, FriendList, SubsystemCount };
    struct Import
    {
        QDateTime started;
        QDateTime ended;
        // Empty before the first import.
        QString result;
        // What went wrong while it runs; its end reports it.
        QString failure;
        QVariantMap toMap() const;
    };
    // What the service's last answer said of one item.
    struct Reported
    {
        QString key;
        bool unread = true;
    };

    static QString iso(const QDateTime &time);
    void changed(const char *property);
    void flush();
    void started(Subsystem subsystem);
    void ended(Subsystem subsystem, const QString &result);
    // A failure of the running import; its end keeps it as the result.
    void failed(Subsystem subsystem, const QString &result);
    void setLoggedIn(bool loggedIn, const QString &error);
    void countItems();
    void countGroups();
    void countFriends();
    void onAllNotifications(const Qn::QnUsers &requests, const Qn::QnEvents &events,
                            const Qn::QnNotificationList &notifications);
    void onThreads(Qn::MessageBoxType folder, const Qn::QnThreads &threads);
    void onRequestFailed(Qn::RequestKind kind);
    void onClientError(const Qn::QnError &error);
    void record(const QString &type, const QString &key, const QString &what);
    void watchPeers(QDBusConnection &bus);
    void onEventFeedOwner(const QString &owner);
    void onServerOwner(const QString &owner);
    void onCapabilities(QDBusPendingCallWatcher *call, const QString &askedWhom);

    QDateTime mRunningSince;
    QString mAccountName;
    bool mLoggedIn = false;
    QString mLoginError;
    Import mImports[SubsystemCount];
    int mItems = 0;
    int mGroups = 0;
    int mFriends = 0;
    bool mEventFeedPresent = false;
    QString mServerOwner;
    QStringList mCapabilities;
    bool mAppConnected = false;
    QString mAppView;
    QMap<QString, bool> mSwitches;

    QPointer<AccountIntegration> mAccount;
    QPointer<DaemonDatabase> mDatabase;
    QPointer<Qn::Quillnet> mClient;
    // Per kind, the items of the service's last answer, by service id; and when it came.
    QHash<QString, QHash<QString, Reported>> mReported;
    QHash<QString, QDateTime> mReportedAt;
    // "<kind> <key>" to when and how it was recorded during this run, oldest first in mRecordOrder.
    QHash<QString, QPair<QDateTime, QString>> mRecords;
    QQueue<QString> mRecordOrder;

    QDBusServiceWatcher *mWatcher = nullptr;
    QString mBusPath;
    bool mRegistered = false;
    QSet<QString> mChanged;
    QTimer mFlushTimer;
    QString mNotifiedSummary;
};
