// Turns what the service reports as new (friend requests, event invitations, general notifications,
// unread message threads) into system notifications, one group per kind.
#pragma once

#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/qnuser.h"

class DaemonDatabase;

namespace Qn {
class Quillnet;
} // namespace Qn

class NotificationHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(NotificationHandler)

public:
    explicit NotificationHandler(QObject *parent = nullptr);
    ~NotificationHandler() override;

    // Binds the client and the database and connects the client's answers; false, with nothing
    // changed, when either is missing.
    bool init(Qn::Quillnet *quillnet, DaemonDatabase *database);

    // Switches one kind ("message", "event", "friendreq", "notif") on or off; other texts change
    // nothing.
    void setEnabled(const QString &type, bool enabled);
    bool isEnabled(const QString &type) const;

    // Starts one import cycle: all notifications in one request, then the details they need.
    void startNotificationImport();

    // Removes published notifications of one event type, or of all types for an empty one.
    void clear(const QString &eventType, bool refresh);

signals:
    void notificationsImported();

public slots:
    void itemSeen(QString id, QString type);

private slots:
    void onAllNotificationsRetrieved(Qn::QnUsers friendRequests, Qn::QnEvents eventInvitations,
                                     Qn::QnNotificationList notifications, quint32 numberOfUnreadThreads);
    void onEventDetailsRetrieved(Qn::QnEvent event);
    void onThreadsRetrieved(Qn::MessageBoxType folder, Qn::QnThreads threads);
    void onProfileRetrieved(QString profileId);
    void onMessagesUpdated(QString threadId, Qn::QnMessages messages);
    void onSafetyTimer();

private:
    QPointer<Qn::Quillnet> m_quillnet;
    DaemonDatabase *m_db = nullptr;
    bool m_busy = false;
    bool m_eventsDone = false;
    bool m_messagesDone = false;
    Qn::QnUsers m_friendRequests;
    Qn::QnEvents m_events;
    Qn::QnThreads m_threads;
    Qn::QnNotificationList m_notifs;
    int m_pendingEventDetails = 0;
    int m_pendingProfiles = 0;
    QMap<QString, QString> m_profileNames;
    QTimer m_safetyTimer;
    bool m_messagesEnabled = true;
    bool m_eventsEnabled = true;
    bool m_friendReqEnabled = true;
    bool m_notifEnabled = true;
    int m_pendingMessages = 0;
    QHash<QString, QString> m_latestContent;
    QHash<QString, QString> m_shownContent;
};
