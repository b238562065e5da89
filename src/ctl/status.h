// quillnetctl's inspection commands: what the running daemon is doing (status), a sync waited for to
// its end (sync), and why an item was or was not notified (why). Each reads the daemon's status
// object on the session bus and returns the program's exit status.
#pragma once

#include <QStringList>
#include <QTextStream>
#include <QVariantMap>

#include <optional>

class QDBusConnection;

namespace Ctl {

// Exit statuses shared by the commands.
enum Exit {
    Ok = 0,
    // Running but not logged in; a sync or a question that failed.
    NotLoggedIn = 1,
    Usage = 2,
    NotRunning = 3,
};

// quillnetctl status [--json]: 0 running and logged in, 1 running but not logged in, 3 not running.
int status(const QStringList &arguments, QTextStream &out, QTextStream &err);
// quillnetctl sync: asks for a sync and waits for the imports it started to end; 0 when all ended
// well.
int sync(const QStringList &arguments, QTextStream &out, QTextStream &err);
// quillnetctl why <kind> <id> [--json]
int why(const QStringList &arguments, QTextStream &out, QTextStream &err);

// The status object's properties, with nested maps and lists as plain values; nothing when the
// daemon does not answer.
std::optional<QVariantMap> readStatus(const QDBusConnection &bus);

} // namespace Ctl
