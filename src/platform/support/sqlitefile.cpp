#include "platform/support/sqlitefile.h"

#include "platform/support/files.h"
#include "platform/support/logging.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace Support {

namespace {

constexpr int SqliteBusy = 5;
constexpr int SqliteLocked = 6;
constexpr int SqliteCorrupt = 11;
constexpr int SqliteNotADatabase = 26;

const QFile::Permissions UserOnly = QFile::ReadOwner | QFile::WriteOwner;

// The primary result code: the low byte, also when extended codes are reported. -1 without one.
int primaryCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

} // namespace

bool prepareDatabaseFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink()) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << path << "is a link; moving it aside";
        if (moveAside(path).isEmpty())
            return false;
    } else if (info.exists() && !info.isFile()) {
        // A directory or a device is nobody's database; opening it would fail or block.
        qCWarning(lcDaemon) << Q_FUNC_INFO << path << "is not a regular file";
        return false;
    } else if (info.exists()) {
        if (!QFile::setPermissions(path, UserOnly))
            qCWarning(lcDaemon) << Q_FUNC_INFO << "Unable to restrict the permissions of" << path;
        return true;
    }
    if (!createUserOnlyFile(path)) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Unable to create" << path;
        return false;
    }
    return true;
}

bool isDamage(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == SqliteCorrupt || code == SqliteNotADatabase;
}

bool isBusy(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == SqliteBusy || code == SqliteLocked;
}

QString bindableText(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

void limitPageCache(const QSqlDatabase &db)
{
    QSqlQuery pragma(db);
    // A negative size counts KiB rather than pages.
    if (!pragma.exec(QStringLiteral("PRAGMA cache_size = -%1").arg(PageCacheKiB)))
        qCDebug(lcDaemon) << "Support::limitPageCache" << pragma.lastError().text();
}

void releaseMemory(const QSqlDatabase &db)
{
    QSqlQuery pragma(db);
    if (!pragma.exec(QStringLiteral("PRAGMA shrink_memory")))
        qCDebug(lcDaemon) << "Support::releaseMemory" << pragma.lastError().text();
}

} // namespace Support
