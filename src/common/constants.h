// Names and values shared by every part of the daemon: item type keys, notification event types,
// setting keys, file names and the service's application credentials. One definition each.
#pragma once

#include <QString>

namespace Constants {

// Item type keys of the shown and seen tables and of the notification switches.
inline const QString FriendRequestType = QStringLiteral("friendreq");
inline const QString EventType = QStringLiteral("event");
inline const QString MessageType = QStringLiteral("message");
inline const QString NotificationType = QStringLiteral("notif");

// Event types of the system notifications, one group per kind.
inline const QString FriendRequestEventType = QStringLiteral("friendrequests.service.quillnet");
inline const QString EventsEventType = QStringLiteral("events.service.quillnet");
inline const QString MessagesEventType = QStringLiteral("messages.service.quillnet");
inline const QString NotificationsEventType = QStringLiteral("notifications.service.quillnet");

// The control interface on the session bus.
inline constexpr char ServiceName[] = "com.tarvo.quillnetveldo";
inline constexpr char ObjectPath[] = "/quillnetveldo";
// The daemon's read-only status object beside it.
inline constexpr char StatusInterface[] = "com.tarvo.quillnetveldo.Status";
inline constexpr char StatusObjectPath[] = "/quillnetveldo/status";

// Account setting keys.
inline const QString NotificationsMainSetting = QStringLiteral("qn-notif_main");
inline const QString FriendRequestSetting = QStringLiteral("qn-notif-friendreq");
inline const QString MessageSetting = QStringLiteral("qn-notif-msg");
inline const QString EventsSetting = QStringLiteral("qn-notif-events");
inline const QString GeneralSetting = QStringLiteral("qn-notif-general");
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
