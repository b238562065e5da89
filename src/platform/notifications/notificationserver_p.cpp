#include "platform/notifications/notificationserver_p.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDebug>
#include <QPointer>
#include <QVariantMap>

#include "notificationsinterface.h"
#include "platform/notifications/mremoteaction.h"
#include "platform/notifications/notificationregistry_p.h"
#include "platform/support/logtext.h"

const QString NotificationServer::ServiceName = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationServer::ObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString NotificationServer::DefaultAction = QStringLiteral("default");
const QString NotificationServer::CountHint = QStringLiteral("x-tarvo-count");
const QString NotificationServer::EventTypeHint = QStringLiteral("x-tarvo-event-type");

NotificationServer *NotificationServer::instance()
{
    static QPointer<NotificationServer> server;
    if (!server && QCoreApplication::instance())
        server = new NotificationServer(QCoreApplication::instance());
    return server;
}

NotificationServer::NotificationServer(QObject *parent)
    : QObject(parent)
    , mServer(new OrgFreedesktopNotificationsInterface(ServiceName, ObjectPath, QDBusConnection::sessionBus(), this))
    , mWatcher(new QDBusServiceWatcher(ServiceName, QDBusConnection::sessionBus(),
                                       QDBusServiceWatcher::WatchForOwnerChange, this))
{
    mServer->setTimeout(CallTimeoutMs);
    // The proxy takes these signals only from the current owner of the name, and only with the
    // protocol's argument types.
    connect(mServer, &OrgFreedesktopNotificationsInterface::NotificationClosed, this,
            &NotificationServer::onNotificationClosed);
    connect(mServer, &OrgFreedesktopNotificationsInterface::ActionInvoked, this, &NotificationServer::onActionInvoked);
    connect(mWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &NotificationServer::onOwnerChanged);
}

std::optional<QStringList> NotificationServer::capabilities()
{
    if (mCapabilities)
        return mCapabilities;
    QDBusPendingReply<QStringList> reply = mServer->GetCapabilities();
    reply.waitForFinished();
    if (reply.isError()) {
        qWarning() << Q_FUNC_INFO << "No notification server answers:" << reply.error().name()
                   << Support::logText(reply.error().message());
        return std::nullopt;
    }
    mCapabilities = reply.value();
    mCapabilitiesOwner = reply.reply().service();
    qDebug() << Q_FUNC_INFO << mCapabilitiesOwner << Support::logText(mCapabilities->join(QLatin1Char(' ')));
    return mCapabilities;
}

bool NotificationServer::publish(NotificationRecord &record)
{
    const std::optional<QStringList> capabilities = this->capabilities();
    if (!capabilities)
        return false;

    QStringList actions;
    if (!record.action.isEmpty() && capabilities->contains(QStringLiteral("actions")))
        actions << DefaultAction << QString();
    QVariantMap hints;
    // Lets a home screen tell the kinds apart, as the platform's own server would by event type.
    hints.insert(EventTypeHint, record.eventType);
    if (record.kind == NotificationRecord::InGroup)
        hints.insert(QStringLiteral("transient"), true);
    if (record.count > 0)
        hints.insert(CountHint, record.count);
    // A group stays until it is closed; anything else goes when the server's default time is up.
    const int expireTimeout = record.kind == NotificationRecord::Group ? 0 : -1;

    QDBusPendingReply<uint> reply = mServer->Notify(QCoreApplication::applicationName(), record.id, QString(),
                                                    record.summary, record.body, actions, hints, expireTimeout);
    reply.waitForFinished();
    if (reply.isError()) {
        qWarning() << Q_FUNC_INFO << "The notification server did not take the notification:" << reply.error().name()
                   << Support::logText(reply.error().message());
        return false;
    }
    // Another server than the one asked before: its capabilities are asked next time.
    if (reply.reply().service() != mCapabilitiesOwner)
        mCapabilities.reset();
    const uint id = reply.value();
    if (id == 0) {
        qWarning() << Q_FUNC_INFO << "The notification server answered the invalid id 0";
        return false;
    }
    qDebug() << Q_FUNC_INFO << record.eventType << record.id << "->" << id;
    const quint32 previousId = record.id;
    record.id = id;
    NotificationRegistry().store(record, previousId);
    return true;
}

void NotificationServer::close(quint32 id)
{
    qDebug() << Q_FUNC_INFO << id;
    // The answer does not matter: the server may already have closed it.
    mServer->CloseNotification(id);
    NotificationRegistry().forget(id);
}

void NotificationServer::onNotificationClosed(uint id, uint reason)
{
    if (NotificationRegistry().forget(id))
        qDebug() << Q_FUNC_INFO << id << reason;
}

void NotificationServer::onActionInvoked(uint id, const QString &actionKey)
{
    if (actionKey != DefaultAction)
        return;
    const std::optional<NotificationRecord> record = NotificationRegistry().find(id);
    // Another application's notification: every client of the server hears of every action.
    if (!record || record->action.isEmpty())
        return;
    qDebug() << Q_FUNC_INFO << id << record->eventType;
    MRemoteAction(record->action).trigger();
}

void NotificationServer::onOwnerChanged(const QString &, const QString &, const QString &newOwner)
{
    if (newOwner != mCapabilitiesOwner)
        mCapabilities.reset();
}
