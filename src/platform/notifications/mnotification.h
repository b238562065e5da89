// A system notification of this application, shown by the session's freedesktop notification
// server (org.freedesktop.Notifications), and the lookup of those this application published.
//
// Main thread only. Nothing waits for the server: publish() queues the call and the server's answer
// comes later as published(). The summary and body are plain text: for a server that interprets
// markup in the body, the body is escaped when it is sent. The count is not drawn by standard
// servers: it travels as the hint "x-tarvo-count" (uint32, left out when 0); a caller that wants it
// seen puts it into the texts. The event type travels as the hint "x-tarvo-event-type", so that a
// home screen can group by kind. What desktops file and label notifications by (the desktop file,
// the icon, a category per event type, the default action's label) is the application's
// Presentation, set once.
//
// What was published is kept in a small user-only registry file (setRegistryPath()), each id with
// the server that gave it, so that notifications() and MNotificationGroup::notificationGroups()
// answer after a restart with objects that update the same server notifications in place. When
// another server takes the name, the notifications published to the one before are forgotten and
// the groups are no longer published (isPublished()): publishing one shows it anew. A notification
// that the server reports closed leaves the registry; a click on one whose server offers actions
// makes its remote action's call.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include "platform/notifications/notificationregistry_p.h"

class MNotificationGroup;
class MRemoteAction;

class MNotification : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MNotification)

public:
    explicit MNotification(const QString &eventType, const QString &summary = QString(),
                           const QString &body = QString());
    // Leaves the published notification as it is: only remove() withdraws it.
    ~MNotification() override;

    // The registry file. The daemon sets it once at start, before any other use of the framework,
    // to a file in its cache directory; unset, it is "notifications.registry" in the
    // application's QStandardPaths::CacheLocation. Missing directories are made for the user
    // alone. Once an application object exists, setting it also starts listening to the server,
    // so that clicks on notifications published before a restart reach their actions.
    static void setRegistryPath(const QString &path);
    static QString registryPath();

    // Sent with every notification of this application from then on; what is empty is left out.
    struct Presentation
    {
        QString desktopEntry; // hint "desktop-entry": the desktop file's name without ".desktop"
        QString icon; // app_icon: a theme icon name or a file URI
        QString defaultActionLabel; // the label a server shows for the default action
        QHash<QString, QString> categories; // hint "category", by event type
    };
    static void setPresentation(const Presentation &presentation);

    // This application's published notifications that are not groups, from the registry, the
    // least recently published first. New objects: the caller owns them.
    static QList<MNotification *> notifications();
    // True while calls to the server are queued or unanswered: what they publish is recorded only
    // when their answers come.
    static bool hasPendingCalls();

    QString eventType() const;
    void setSummary(const QString &summary);
    void setBody(const QString &body);
    void setCount(uint count);
    // The call that a click on the notification makes; sent as the notification's default action
    // when the server has the "actions" capability. An invalid action clears it.
    void setAction(const MRemoteAction &action);
    // Shows the notification as news inside the group: transient (the server does not keep it once
    // shown), and a click makes the group's action unless this notification has its own.
    void setGroup(const MNotificationGroup &group);

    // Queues the creation of the notification, or its update in place once published (to the
    // server that owns the name now; otherwise it is created anew). False, with nothing sent, when
    // no server owns the name and none can be started; otherwise published() tells the outcome,
    // never before this returns.
    virtual bool publish();
    // Withdraws the notification: the server is asked to close it when it gave its id, a
    // publishing still on its way is dropped or closed on arrival, and the registry forgets it; the
    // object may then publish a new one. False when there was nothing to withdraw.
    virtual bool remove();
    // Whether the notification is shown by the server that owns the name now, as far as this
    // process knows.
    bool isPublished() const;

signals:
    // The server took the notification (it is recorded) or did not: none answered within a few
    // seconds, it refused, or it left the name meanwhile. Not emitted for a publishing that
    // remove() withdrew.
    void published(bool ok);

protected:
    enum class Kind { Notification, Group };
    MNotification(Kind kind, const QString &eventType, const QString &summary, const QString &body);

private:
    friend class MNotificationGroup;
    friend class NotificationServer;

    NotificationRecord record() const;
    void restore(const NotificationRecord &record);
    void onPublished(bool ok, const NotificationRecord &record);

    Kind mKind;
    quint32 mId = 0;
    NotificationIssuer mIssuer;
    bool mInGroup = false;
    QString mEventType;
    QString mSummary;
    QString mBody;
    uint mCount = 0;
    QString mAction;
    QString mGroupAction;
};
