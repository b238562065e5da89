#include "platform/notifications/mnotification.h"

#include <QDebug>

#include "platform/notifications/mnotificationgroup.h"
#include "platform/notifications/mremoteaction.h"
#include "platform/notifications/notificationregistry_p.h"
#include "platform/notifications/notificationserver_p.h"
#include "platform/support/logging.h"

MNotification::MNotification(const QString &eventType, const QString &summary, const QString &body)
    : MNotification(Kind::Notification, eventType, summary, body)
{}

MNotification::MNotification(Kind kind, const QString &eventType, const QString &summary, const QString &body)
    : mKind(kind)
    , mEventType(eventType)
    , mSummary(summary)
    , mBody(body)
{}

MNotification::~MNotification() = default;

void MNotification::setRegistryPath(const QString &path)
{
    NotificationRegistry::setPath(path);
    NotificationServer::instance();
}

void MNotification::setPresentation(const Presentation &presentation)
{
    NotificationServer::setPresentation(presentation);
}

QString MNotification::registryPath()
{
    return NotificationRegistry::path();
}

QList<MNotification *> MNotification::notifications()
{
    // Listening from now on: a click on one of these reaches its action.
    NotificationServer::instance();
    QList<MNotification *> notifications;
    const QList<NotificationRecord> records = NotificationRegistry().load();
    for (const NotificationRecord &record : records) {
        if (record.kind == NotificationRecord::Group)
            continue;
        auto *notification = new MNotification(record.eventType);
        notification->restore(record);
        notifications << notification;
    }
    return notifications;
}

bool MNotification::hasPendingCalls()
{
    const NotificationServer *server = NotificationServer::instance();
    return server && !server->isIdle();
}

QString MNotification::eventType() const
{
    return mEventType;
}

void MNotification::setSummary(const QString &summary)
{
    mSummary = summary;
}

void MNotification::setBody(const QString &body)
{
    mBody = body;
}

void MNotification::setCount(uint count)
{
    mCount = count;
}

void MNotification::setAction(const MRemoteAction &action)
{
    mAction = action.toString();
}

void MNotification::setGroup(const MNotificationGroup &group)
{
    mInGroup = true;
    mGroupAction = group.record().action;
}

bool MNotification::publish()
{
    NotificationServer *server = NotificationServer::instance();
    if (!server) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "No application object: nothing published";
        return false;
    }
    return server->publish(this);
}

bool MNotification::remove()
{
    NotificationServer *server = NotificationServer::instance();
    if (!server)
        return false;
    const quint32 closed = mId;
    if (mId != 0)
        server->close(mIssuer, mId);
    mId = 0;
    mIssuer = NotificationIssuer();
    return server->cancel(this, closed) || closed != 0;
}

bool MNotification::isPublished() const
{
    NotificationServer *server = NotificationServer::instance();
    return mId != 0 && server && server->isCurrent(mIssuer);
}

void MNotification::onPublished(bool ok, const NotificationRecord &record)
{
    if (ok) {
        mId = record.id;
        mIssuer = record.issuer;
    }
    emit published(ok);
}

NotificationRecord MNotification::record() const
{
    NotificationRecord record;
    record.id = mId;
    if (mKind == Kind::Group)
        record.kind = NotificationRecord::Group;
    else
        record.kind = mInGroup ? NotificationRecord::InGroup : NotificationRecord::Plain;
    record.eventType = mEventType;
    record.summary = mSummary;
    record.body = mBody;
    record.count = mCount;
    record.action = mAction.isEmpty() ? mGroupAction : mAction;
    record.issuer = mIssuer;
    return record;
}

void MNotification::restore(const NotificationRecord &record)
{
    mId = record.id;
    mIssuer = record.issuer;
    mInGroup = record.kind == NotificationRecord::InGroup;
    mSummary = record.summary;
    mBody = record.body;
    mCount = record.count;
    mAction = record.action;
}
