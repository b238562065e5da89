// The notification that stands for one kind of news of this application: it stays until it is
// closed (no expiry), is updated in place by every publish(), and carries the kind's action.
// Notifications published inside it (MNotification::setGroup) are transient news of their own.
#pragma once

#include <QList>
#include <QString>

#include "platform/notifications/mnotification.h"

class MNotificationGroup : public MNotification
{
    Q_OBJECT
    Q_DISABLE_COPY(MNotificationGroup)

public:
    explicit MNotificationGroup(const QString &eventType, const QString &summary = QString(),
                                const QString &body = QString());
    ~MNotificationGroup() override;

    // This application's published groups, from the registry (see MNotification), the least
    // recently published first. New objects: the caller owns them.
    static QList<MNotificationGroup *> notificationGroups();
};
