// One logging category per subsystem, so that QT_LOGGING_RULES can turn one on alone
// ("quillnet.friends.debug=true") and a disabled debug line is never formatted.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcDaemon)
Q_DECLARE_LOGGING_CATEGORY(lcEventFeed)
Q_DECLARE_LOGGING_CATEGORY(lcNotifications)
Q_DECLARE_LOGGING_CATEGORY(lcFriends)
Q_DECLARE_LOGGING_CATEGORY(lcProvider)
Q_DECLARE_LOGGING_CATEGORY(lcDatabase)
Q_DECLARE_LOGGING_CATEGORY(lcClient)
