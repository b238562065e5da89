#include "platform/notifications/mnotificationgroup.h"

#include "platform/notifications/notificationregistry_p.h"
#include "platform/notifications/notificationserver_p.h"

MNotificationGroup::MNotificationGroup(const QString &eventType, const QString &summary, const QString &body)
    : MNotification(Kind::Group, eventType, summary, body)
{}

MNotificationGroup::~MNotificationGroup() = default;

QList<MNotificationGroup *> MNotificationGroup::notificationGroups()
{
    // Listening from now on: a click on one of these reaches its action.
    NotificationServer::instance();
    QList<MNotificationGroup *> groups;
    const QList<NotificationRecord> records = NotificationRegistry().load();
    for (const NotificationRecord &record : records) {
        if (record.kind != NotificationRecord::Group)
            continue;
        auto *group = new MNotificationGroup(record.eventType);
        group->restore(record);
        groups << group;
    }
    return groups;
}
