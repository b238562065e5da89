// A system notification of this application, shown by the session's freedesktop notification
// server (org.freedesktop.Notifications), and the lookup of those this application published.
//
// Main thread only. publish() waits for the server's answer, at most a few seconds. The summary
// and body go to the server as they are: a server that interprets markup in the body
// (serverHasBodyMarkup()) interprets it in what the caller gives, so the caller escapes texts
// that are not markup. The count is not drawn by standard servers: it travels as the hint
// "x-tarvo-count" (uint32, left out when 0); a caller that wants it seen puts it into the texts. The
// event type travels as the hint "x-tarvo-event-type", so that a home screen can group by kind.
//
// What was published is kept in a small user-only registry file (setRegistryPath()), so that
// notifications() and MNotificationGroup::notificationGroups() answer after a restart with objects
// that update the same server notifications in place. A notification that the server reports
// closed leaves the registry; a click on one whose server offers actions makes its remote action's
// call.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

class MNotificationGroup;
class MRemoteAction;
struct NotificationRecord;

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

    // This application's published notifications that are not groups, from the registry, the
    // least recently published first. New objects: the caller owns them.
    static QList<MNotification *> notifications();

    // True when the server says it interprets markup in the body ("body-markup"); false when it
    // does not or no server answers. Asked once per server, like every capability.
    static bool serverHasBodyMarkup();

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

    // Creates the notification, or updates it in place once published. False when no server
    // answers within a few seconds or it refuses the notification.
    virtual bool publish();
    // Asks the server to close the notification and forgets it; the object may then publish a new
    // one. False when it was not published.
    virtual bool remove();

protected:
    enum class Kind { Notification, Group };
    MNotification(Kind kind, const QString &eventType, const QString &summary, const QString &body);

private:
    friend class MNotificationGroup;

    NotificationRecord record() const;
    void restore(const NotificationRecord &record);

    Kind mKind;
    quint32 mId = 0;
    bool mInGroup = false;
    QString mEventType;
    QString mSummary;
    QString mBody;
    uint mCount = 0;
    QString mAction;
    QString mGroupAction;
};
