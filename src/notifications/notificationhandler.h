// Turns what the service reports as new (friend requests, event invitations, general notifications,
// unread message threads) into system notifications, one group per kind, and acts on what the
// service's own phone application reports through the local socket (AppSocket).
#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

#include "notifications/notificationcycle.h"
#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/qnuser.h"

class DaemonDatabase;
class MLocale;
class MNotification;
class MNotificationGroup;
class AppSocket;

namespace Qn {
class Quillnet;
} // namespace Qn

class NotificationHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(NotificationHandler)

public:
    // How long a cycle waits without progress.
    static constexpr int SafetyTimeoutMs = 30000;
    // Event details asked for in one cycle at most.
    static constexpr int MaxEventDetails = 100;
    // Shown keys of one kind kept in memory while the database cannot take them.
    static constexpr int MaxUnrecordedShown = 1000;

    explicit NotificationHandler(QObject *parent = nullptr);
    // Releases the notification objects held (the notifications stay) and the socket server.
    ~NotificationHandler() override;

    // Binds the client and the database and connects the client's answers; false, with nothing
    // changed, when either is missing.
    bool init(Qn::Quillnet *quillnet, DaemonDatabase *database);

    // Switches one kind ("message", "event", "friendreq", "notif") on or off; other texts change
    // nothing.
    void setEnabled(const QString &type, bool enabled);
    bool isEnabled(const QString &type) const;

    // Starts one import cycle: all notifications in one request, then the details they need;
    // notificationsImported() when it is complete, its calls to the notification server answered
    // or failed. A running cycle is not restarted.
    void startNotificationImport();
    // Ends the cycle when no part of it waits any more; otherwise gives it another full wait.
    void endCheck();

    // Withdraws the published notifications and groups of one event type, or of all types for an
    // empty one, with their publishing still on its way; with refresh, what is published is read
    // again first. A cycle running meanwhile publishes and records nothing more of that type.
    void clear(const QString &eventType, bool refresh);

signals:
    void notificationsImported();
    // A cycle started, or ended without notificationsImported(): its request failed, or it made no
    // progress for the safety wait.
    void importStarted();
    void importFailed(QString reason);
    // Keys of one kind recorded as shown: a server showed their news (onScreen), or the service's
    // application showed the kind, so they were not notified.
    void newsRecorded(QString type, QStringList keys, bool onScreen);
    void itemMarkedSeen(QString id, QString type);
    // The service's application connected, reported its view, or went away.
    void appViewChanged(bool connected, QString view);

public slots:
    // The user has seen the item: it no longer counts ("friendreq", "event" and "notif" only).
    void itemSeen(QString id, QString type);

private slots:
    void onAllNotificationsRetrieved(Qn::QnUsers friendRequests, Qn::QnEvents eventInvitations,
                                     Qn::QnNotificationList notifications, quint32 numberOfUnreadThreads);
    void onEventDetailsRetrieved(Qn::QnEvent event);
    void onThreadsRetrieved(Qn::MessageBoxType folder, Qn::QnThreads threads);
    void onProfileRetrieved(QString profileId);
    void onMessagesUpdated(QString threadId, Qn::QnMessages messages);
    // A request of the cycle that got no answer ends its wait.
    void onRequestFailed(Qn::RequestKind kind, QString subject);
    void onSafetyTimer();

private:
    friend class TestNotificationHandler;

    // What one kind publishes: its group, the news inside it, and the keys it marks shown.
    struct Publication
    {
        QString eventType;
        QString typeKey;
        // Whether the service's application showing the kind keeps it from being published.
        bool followsView = true;
        // Whether a failed publish() of the group is logged.
        bool logFailure = false;
        qint64 count = 0;
        bool hasSummary = false;
        QString summary;
        QString body;
        QString actionId;
        QString notificationBody;
        QStringList newKeys;
        // Message threads: the latest text of each new thread, remembered once it was shown.
        QHash<QString, QString> shownContent;
    };
    // One kind's group and news on their way to the server.
    struct InFlight;
    // The items of one kind the user has not seen, in their order, and among them those not shown yet.
    template<typename Item>
    struct Sorted
    {
        QList<Item> unseen;
        QList<Item> fresh;
    };

    // Asks for the inbox's threads: the message kind's part of the cycle.
    void startThreads();
    void releaseNotifications();
    void rereadNotifications();
    MNotificationGroup *findGroup(const QString &eventType) const;
    // The kind's group out of m_groups, now the caller's; null when there is none.
    std::unique_ptr<MNotificationGroup> takeGroup(const QString &eventType);
    void publish(const Publication &publication);
    // The kind's group as it was, without news, when the server it was published to is gone.
    void republishStaleGroup(const QString &eventType);
    void send(std::unique_ptr<InFlight> flight);
    void answered(InFlight *flight);
    // Withdraws what is on its way of one event type, or of all for an empty one.
    void cancelFlights(const QString &eventType);
    bool isWithdrawn(const QString &eventType) const;
    // Sorts out one kind's items by the key keyOf gives each against the seen and shown tables.
    template<typename Item, typename KeyOf>
    Sorted<Item> sortOut(const QList<Item> &items, const QString &type, KeyOf keyOf);
    // The keys among keys that were shown: those of the shown table and those it could not take yet.
    QStringList shownItems(const QStringList &keys, const QString &type);
    // Records the keys as shown in one transaction; the keys the shown table still does not hold.
    QStringList recordShown(const QStringList &keys, const QString &type);
    // Records the keys of one notification as shown; keys the database cannot take (full, damaged)
    // are kept in memory so that they are not notified again, and written by a later cycle.
    void markShown(const QStringList &keys, const QString &type);
    void recordUnrecordedShown();
    QString clientView() const;
    void requestEventDetails(const Qn::QnEvents &invitations);
    // Processes the threads once nothing of them is awaited.
    void processThreadsWhenComplete();
    void processFriendRequests(Qn::QnUsers users);
    void processEventInvs(Qn::QnEvents events);
    void processNotifications(const Qn::QnNotificationList &notifications);
    void processMessageThreads(Qn::QnThreads threads);

    QPointer<Qn::Quillnet> m_quillnet;
    DaemonDatabase *m_db = nullptr;
    QList<MNotification *> m_notifications;
    QList<MNotificationGroup *> m_groups;
    // The running cycle; none between cycles.
    std::unique_ptr<NotificationCycle> m_cycle;
    QMap<QString, QString> m_profileNames;
    QTimer m_safetyTimer;
    // The kinds' switches by type key; a kind never switched is on.
    QHash<QString, bool> m_enabled;
    // Thread id to the latest-message text as of the last time the thread was shown.
    QHash<QString, QString> m_shownContent;
    // Shown keys the database did not take yet, by type key.
    QHash<QString, QSet<QString>> m_unrecordedShown;
    // Publications not answered yet.
    std::vector<std::unique_ptr<InFlight>> m_inFlight;
    // The service's phone application; a child.
    AppSocket *m_socket = nullptr;
    MLocale *m_locale = nullptr;
};
