#include "platform/support/logging.h"

Q_LOGGING_CATEGORY(lcDaemon, "quillnet.daemon")
Q_LOGGING_CATEGORY(lcEventFeed, "quillnet.eventfeed")
Q_LOGGING_CATEGORY(lcNotifications, "quillnet.notifications")
Q_LOGGING_CATEGORY(lcFriends, "quillnet.friends")
Q_LOGGING_CATEGORY(lcProvider, "quillnet.provider")
Q_LOGGING_CATEGORY(lcDatabase, "quillnet.database")
Q_LOGGING_CATEGORY(lcClient, "quillnet.client")
