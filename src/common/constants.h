// Names and values shared by every part of the daemon: the notification kinds with their names,
// setting keys, file names and the service's application credentials. One definition each.
#pragma once

#include <QString>

namespace Constants {

// A notification kind under each of its names: the item type key of the shown and seen tables and of
// the switches, the event type of its system notifications (one group per kind), the account
// setting that switches it, the command by which the service's phone application reports that it
// shows the kind (none for event invitations), and the desktop category of its notifications.
struct NotificationKind
{
    QString typeKey;
    QString eventType;
    QString setting;
    QString socketCommand;
    QString category;
};

// Every kind, one row each, in the order the account settings are read.
inline const NotificationKind NotificationKinds[] = {
        {QStringLiteral("message"), QStringLiteral("messages.service.quillnet"), QStringLiteral("qn-notif-msg"),
         QStringLiteral("messages"), QStringLiteral("im.received")},
        {QStringLiteral("friendreq"), QStringLiteral("friendrequests.service.quillnet"),
         QStringLiteral("qn-notif-friendreq"), QStringLiteral("friendreq"), QStringLiteral("x-quillnet.friendrequest")},
        {QStringLiteral("notif"), QStringLiteral("notifications.service.quillnet"), QStringLiteral("qn-notif-general"),
         QStringLiteral("notif"), QStringLiteral("x-quillnet.notification")},
        {QStringLiteral("event"), QStringLiteral("events.service.quillnet"), QStringLiteral("qn-notif-events"),
         QString(), QStringLiteral("x-quillnet.event")},
};

// The kind whose name of that sort (for example &NotificationKind::setting) is value; none for an
// empty value.
inline const NotificationKind *findKind(QString NotificationKind::*name, const QString &value)
{
    if (value.isEmpty())
        return nullptr;
    for (const NotificationKind &kind : NotificationKinds) {
        if (kind.*name == value)
            return &kind;
    }
    return nullptr;
}

// The kinds by name, for the code that handles one of them in particular.
inline const NotificationKind &MessageKind = NotificationKinds[0];
inline const NotificationKind &FriendRequestKind = NotificationKinds[1];
inline const NotificationKind &GeneralKind = NotificationKinds[2];
inline const NotificationKind &EventKind = NotificationKinds[3];

inline const QString &FriendRequestType = FriendRequestKind.typeKey;
inline const QString &EventType = EventKind.typeKey;
inline const QString &MessageType = MessageKind.typeKey;
inline const QString &NotificationType = GeneralKind.typeKey;

inline const QString &FriendRequestEventType = FriendRequestKind.eventType;
inline const QString &EventsEventType = EventKind.eventType;
inline const QString &MessagesEventType = MessageKind.eventType;
inline const QString &NotificationsEventType = GeneralKind.eventType;

// The control interface on the session bus.
inline constexpr char ServiceName[] = "com.tarvo.quillnetveldo";
inline constexpr char ObjectPath[] = "/quillnetveldo";
// The daemon's read-only status object beside it.
inline constexpr char StatusInterface[] = "com.tarvo.quillnetveldo.Status";
inline constexpr char StatusObjectPath[] = "/quillnetveldo/status";

// Account setting keys.
inline const QString NotificationsMainSetting = QStringLiteral("qn-notif_main");
inline const QString &FriendRequestSetting = FriendRequestKind.setting;
inline const QString &MessageSetting = MessageKind.setting;
inline const QString &EventsSetting = EventKind.setting;
inline const QString &GeneralSetting = GeneralKind.setting;
inline const QString NewsFeedSetting = QStringLiteral("qn-news_main");
// Not an account setting: the daemon's record of whether the "IM" service is enabled.
inline const QString ImStateSetting = QStringLiteral("im_state");

// Files and directories.
inline const QString DatabaseFileName = QStringLiteral("qndaemon-cache.db");
inline const QString CacheDirName = QStringLiteral("quillnet");
inline const QString QnCacheDirName = QStringLiteral("qncache");
inline const QString QnCacheDbName = QStringLiteral("qncache.db");
// What the daemon published to the notification server, kept across restarts.
inline const QString NotificationRegistryFileName = QStringLiteral("notifications.registry");

// The service's application credentials, passed with every login.
inline const QString ApplicationId = QStringLiteral("418205739162840");
inline const QString ApplicationSecret = QStringLiteral("7c3e9a1f40b26d58e1a9c07f3b6d2e84");

// Posts published by this application are never put into the Event Feed.
inline const QString ExcludedApplicationId = QStringLiteral("35068914021773592");

// Client cache user-data key of the canceled-login count.
inline const QString CanceledLoginsKey = QStringLiteral("canceled_logins");

} // namespace Constants
