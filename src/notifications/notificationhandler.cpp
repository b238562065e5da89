#include "notifications/notificationhandler.h"

#include <QDebug>

#include "common/constants.h"
#include "database/daemondatabase.h"
#include "platform/quillnet/quillnet.h"

NotificationHandler::NotificationHandler(QObject *parent)
    : QObject(parent)
    , m_safetyTimer(nullptr)
{}

NotificationHandler::~NotificationHandler() = default;

bool NotificationHandler::init(Qn::Quillnet *quillnet, DaemonDatabase *database)
{
    if (!quillnet || !database)
        return false;
    m_quillnet = quillnet;
    m_db = database;

    connect(quillnet, &Qn::Quillnet::allNotificationsRetrieved, this,
            &NotificationHandler::onAllNotificationsRetrieved);
    connect(quillnet, &Qn::Quillnet::threadsRetrieved, this, &NotificationHandler::onThreadsRetrieved);
    connect(quillnet, &Qn::Quillnet::profileUpdated, this, &NotificationHandler::onProfileRetrieved);
    connect(quillnet, &Qn::Quillnet::messagesUpdated, this, &NotificationHandler::onMessagesUpdated);
    connect(&m_safetyTimer, &QTimer::timeout, this, &NotificationHandler::onSafetyTimer);
    m_safetyTimer.setInterval(30000);
    m_safetyTimer.setSingleShot(true);
    return true;
}

void NotificationHandler::setEnabled(const QString &type, bool enabled)
{
    if (type == Constants::MessageType)
        m_messagesEnabled = enabled;
    else if (type == Constants::EventType)
        m_eventsEnabled = enabled;
    else if (type == Constants::FriendRequestType)
        m_friendReqEnabled = enabled;
    else if (type == Constants::NotificationType)
        m_notifEnabled = enabled;
}

bool NotificationHandler::isEnabled(const QString &type) const
{
    if (type == Constants::MessageType)
        return m_messagesEnabled;
    if (type == Constants::EventType)
        return m_eventsEnabled;
    if (type == Constants::FriendRequestType)
        return m_friendReqEnabled;
    if (type == Constants::NotificationType)
        return m_notifEnabled;
    return false;
}

// Publishing, clearing, seen marks and the import cycle come with the notification work; until
// then these only trace.

void NotificationHandler::clear(const QString &eventType, bool refresh)
{
    qDebug() << Q_FUNC_INFO << eventType << refresh;
}

// The import cycle behind this entry point comes with the notification publishing; until then a
// start request only traces.
void NotificationHandler::startNotificationImport()
{
    qDebug() << Q_FUNC_INFO << (m_quillnet ? "" : "without a client");
}

void NotificationHandler::itemSeen(QString id, QString type)
{
    qDebug() << Q_FUNC_INFO << id << type;
}

void NotificationHandler::onAllNotificationsRetrieved(Qn::QnUsers friendRequests, Qn::QnEvents eventInvitations,
                                                      Qn::QnNotificationList notifications,
                                                      quint32 numberOfUnreadThreads)
{
    qDebug() << Q_FUNC_INFO << friendRequests.count() << eventInvitations.count() << notifications.count()
             << numberOfUnreadThreads;
}

void NotificationHandler::onEventDetailsRetrieved(Qn::QnEvent event)
{
    qDebug() << Q_FUNC_INFO << event.id();
}

void NotificationHandler::onThreadsRetrieved(Qn::MessageBoxType folder, Qn::QnThreads threads)
{
    qDebug() << Q_FUNC_INFO << int(folder) << threads.count();
}

void NotificationHandler::onProfileRetrieved(QString profileId)
{
    qDebug() << Q_FUNC_INFO << profileId;
}

void NotificationHandler::onMessagesUpdated(QString threadId, Qn::QnMessages messages)
{
    qDebug() << Q_FUNC_INFO << threadId << messages.count();
}

void NotificationHandler::onSafetyTimer()
{
    qDebug() << Q_FUNC_INFO;
    m_busy = false;
}
