#include "platform/support/files.h"
#include "platform/support/logging.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace Support {

namespace {

bool exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

bool removeContents(const QString &dir, const QStringList &keep)
{
    bool emptied = true;
    const QFileInfoList entries
            = QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::AllDirs | QDir::NoDotAndDotDot,
                                      QDir::Name | QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        const QString path = QDir::cleanPath(entry.absoluteFilePath());
        if (keep.contains(path)) {
            emptied = false;
            continue;
        }
        // A link to a directory lists as a directory; only the link itself belongs to this tree.
        if (entry.isDir() && !entry.isSymLink()) {
            if (!removeTree(path, keep))
                emptied = false;
        } else if (!QFile::remove(path)) {
            qCWarning(lcDaemon) << Q_FUNC_INFO << "Cannot remove" << path;
            emptied = false;
        }
    }
    return emptied;
}

bool removeTree(const QString &dir, const QStringList &keep)
{
    if (!removeContents(dir, keep))
        return false;
    if (!QDir().rmdir(dir)) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Cannot remove directory" << dir;
        return false;
    }
    return true;
}

bool makeUserOnlyPath(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    QString current = clean;
    while (!QFileInfo::exists(current)) {
        missing.prepend(current);
        const QString parent = QFileInfo(current).path();
        if (parent == current)
            break;
        current = parent;
    }
    if (!QFileInfo(current).isDir()) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Not a directory:" << current;
        return false;
    }
    for (const QString &level : std::as_const(missing)) {
        if (!QDir().mkdir(level, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            qCWarning(lcDaemon) << Q_FUNC_INFO << "Cannot create" << level;
            return false;
        }
    }
    return true;
}

bool createUserOnlyFile(const QString &path)
{
    // NewOnly creates exclusively (O_EXCL), which a link in the path's place fails too.
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

int lockExclusively(const QString &path, qint64 *holder)
{
    *holder = 0;
    // By hand: an existing file is opened too, never through a link (QFile has no O_NOFOLLOW), and
    // the descriptor outlives this call to hold the flock().
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // The holder's id is only for the log: a short, checked read.
        char text[24] = {};
        const ssize_t size = ::pread(fd, text, sizeof text - 1, 0);
        bool ok = false;
        const qint64 pid = QByteArray(text, size > 0 ? int(size) : 0).trimmed().toLongLong(&ok);
        *holder = ok && pid > 0 ? pid : 0;
        ::close(fd);
        return -1;
    }
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) != pid.size())
        qCDebug(lcDaemon) << Q_FUNC_INFO << "Could not write the process id into" << path;
    return fd;
}

QString moveAside(const QString &path)
{
    const QString stamp
            = QStringLiteral(".corrupt-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString suffix = stamp;
    for (int n = 1; exists(path + suffix); ++n)
        suffix = stamp + QLatin1Char('.') + QString::number(n);

    // QFile::rename copies when a plain rename fails; a damaged file is only ever renamed.
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(path + suffix).constData()) != 0) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "Unable to move" << path << "aside";
        return QString();
    }
    for (const char *companion : {"-journal", "-wal", "-shm"}) {
        const QString file = path + QLatin1String(companion);
        if (!exists(file))
            continue;
        if (::rename(QFile::encodeName(file).constData(), QFile::encodeName(file + suffix).constData()) != 0
            && !QFile::remove(file))
            qCWarning(lcDaemon) << Q_FUNC_INFO << "Unable to move" << file << "aside";
    }
    return path + suffix;
}

} // namespace Support
