#include "platform/notifications/notificationregistry_p.h"

#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/notifications/mremoteaction.h"
#include "platform/support/boundedreader.h"
#include "platform/support/files.h"
#include "platform/support/logging.h"

namespace {

// id, kind, count and four empty texts; version 2 adds two texts.
constexpr qint64 MinRecordBytesV1 = 4 + 1 + 4 + 4 * 4;
constexpr qint64 MinRecordBytes = MinRecordBytesV1 + 2 * 4;
constexpr int MaxBusNameLength = 255;

QString &configuredPath()
{
    static QString path;
    return path;
}

bool isValidAction(const QString &text)
{
    return text.isEmpty() || MRemoteAction(text).toString() == text;
}

// Both or neither: a bus that did not tell its id leaves it empty.
bool isValidIssuer(const NotificationIssuer &issuer)
{
    if (issuer.isEmpty())
        return issuer.busId.isEmpty();
    return NotificationIssuer::isUniqueName(issuer.uniqueName)
            && (issuer.busId.isEmpty() || NotificationIssuer::isBusId(issuer.busId));
}

bool isRecord(const NotificationRecord &r, const NotificationIssuer &issuer, quint32 id)
{
    return r.id == id && r.issuer == issuer;
}

// What tells records apart: one id per issuer.
QString recordKey(const NotificationRecord &r)
{
    return QStringLiteral("%1 %2 %3").arg(r.issuer.busId, r.issuer.uniqueName).arg(r.id);
}

// The oldest plain notification, else the oldest group.
void evictOne(QList<NotificationRecord> &records)
{
    const auto plain = std::find_if(records.begin(), records.end(),
                                    [](const NotificationRecord &r) { return r.kind != NotificationRecord::Group; });
    records.erase(plain != records.end() ? plain : records.begin());
}

} // namespace

bool NotificationIssuer::isUniqueName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A:[A-Za-z0-9_-]+(\\.[A-Za-z0-9_-]+)+\\z"));
    return name.size() <= MaxBusNameLength && pattern.match(name).hasMatch();
}

bool NotificationIssuer::isBusId(const QString &id)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9a-f]{1,64}\\z"));
    return pattern.match(id).hasMatch();
}

bool NotificationRecord::operator==(const NotificationRecord &other) const
{
    return id == other.id && kind == other.kind && eventType == other.eventType && summary == other.summary
            && body == other.body && count == other.count && action == other.action && issuer == other.issuer;
}

QString NotificationRegistry::path()
{
    if (!configuredPath().isEmpty())
        return configuredPath();
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/notifications.registry");
}

void NotificationRegistry::setPath(const QString &path)
{
    configuredPath() = path;
}

NotificationRegistry::NotificationRegistry(const QString &path)
    : mPath(path)
{}

QList<NotificationRecord> NotificationRegistry::load() const
{
    // Not following a link, and not waiting on a pipe planted in the file's place.
    const int fd = ::open(QFile::encodeName(mPath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP) {
            discard(QStringLiteral("a link"));
            return {};
        }
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot read the notification registry" << mPath
                                   << ::strerror(errno);
        return {};
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        discard(QStringLiteral("not a regular file"));
        return {};
    }
    if (info.st_size > MaxFileBytes) {
        ::close(fd);
        discard(QStringLiteral("%1 bytes").arg(info.st_size));
        return {};
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot read the notification registry" << mPath
                                   << file.errorString();
        return {};
    }
    // As much as the file holds: a buffer of the limit's size on every read would leave the
    // allocator holding a megabyte after it (glibc then keeps such blocks on its heap).
    const QByteArray data = file.read(qint64(info.st_size) + 1);
    file.close();

    QString problem;
    const auto records = parse(data, &problem);
    if (!records) {
        discard(problem);
        return {};
    }
    return *records;
}

void NotificationRegistry::discard(const QString &problem) const
{
    qCWarning(lcNotifications) << Q_FUNC_INFO << "Discarding the notification registry" << mPath
                               << "because:" << problem;
    // A link or a directory entry goes itself; what it points to stays untouched.
    if (::unlink(QFile::encodeName(mPath).constData()) != 0 && errno != ENOENT)
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot remove" << mPath << ::strerror(errno);
}

bool NotificationRegistry::save(QList<NotificationRecord> records) const
{
    for (NotificationRecord &record : records) {
        for (QString *text : {&record.eventType, &record.summary, &record.body})
            text->truncate(MaxTextLength);
        // A cut action would not read back: better none.
        if (record.action.size() > MaxTextLength)
            record.action.clear();
    }
    while (records.size() > MaxRecords)
        evictOne(records);
    QByteArray data = serialise(records);
    while (data.size() > MaxFileBytes) {
        evictOne(records);
        data = serialise(records);
    }

    if (!Support::makeUserOnlyPath(QFileInfo(mPath).path()))
        return false;
    // QSaveFile writes to the target of a link: the link itself has to go first.
    const QFileInfo existing(mPath);
    if (existing.isSymLink()) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Replacing the link" << mPath << "with the notification registry";
        if (!QFile::remove(mPath))
            return false;
    } else if (existing.exists() && !existing.isFile()) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Not a file:" << mPath;
        return false;
    }

    QSaveFile file(mPath);
    // The buffered bytes are flushed here, with their error seen: commit() would put a file that a
    // full disk cut short in the registry's place.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(data) != data.size() || !file.flush() || !file.commit()) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot write the notification registry" << mPath
                                   << file.errorString();
        return false;
    }
    return true;
}

std::optional<NotificationRecord> NotificationRegistry::find(const NotificationIssuer &issuer, quint32 id) const
{
    const QList<NotificationRecord> records = load();
    for (const NotificationRecord &record : records) {
        if (isRecord(record, issuer, id))
            return record;
    }
    return std::nullopt;
}

bool NotificationRegistry::store(const NotificationRecord &record, const NotificationIssuer &previousIssuer,
                                 quint32 previousId) const
{
    QList<NotificationRecord> records = load();
    records.removeIf([&](const NotificationRecord &r) {
        return isRecord(r, record.issuer, record.id) || isRecord(r, previousIssuer, previousId);
    });
    records << record;
    return save(records);
}

bool NotificationRegistry::forget(const NotificationIssuer &issuer, quint32 id) const
{
    QList<NotificationRecord> records = load();
    if (records.removeIf([&](const NotificationRecord &r) { return isRecord(r, issuer, id); }) == 0)
        return false;
    save(records);
    return true;
}

bool NotificationRegistry::rebind(const NotificationIssuer &current) const
{
    QList<NotificationRecord> records = load();
    bool changed = false;
    for (NotificationRecord &r : records) {
        if (r.issuer.isEmpty()) {
            r.issuer = current;
            changed = true;
        }
    }
    // Two adopted records may now share an id with one of the current server's: the newest stays.
    QSet<QString> seen;
    for (qsizetype i = records.size() - 1; i >= 0; --i) {
        const NotificationRecord &r = records.at(i);
        const bool stale = r.issuer != current && r.kind != NotificationRecord::Group;
        const bool repeated = seen.contains(recordKey(r));
        seen.insert(recordKey(r));
        if (stale || repeated) {
            records.removeAt(i);
            changed = true;
        }
    }
    return !changed || save(records);
}

QByteArray NotificationRegistry::serialise(const QList<NotificationRecord> &records)
{
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out << Magic << Version << quint32(records.size());
    for (const NotificationRecord &r : records) {
        out << r.id << quint8(r.kind) << r.count << r.eventType << r.summary << r.body << r.action;
        out << r.issuer.uniqueName << r.issuer.busId;
    }
    return data;
}

std::optional<QList<NotificationRecord>> NotificationRegistry::parse(const QByteArray &data, QString *problem)
{
    const auto fail = [problem](const QString &why) {
        *problem = why;
        return std::nullopt;
    };
    if (data.size() > MaxFileBytes)
        return fail(QStringLiteral("%1 bytes").arg(data.size()));

    QDataStream in(data);
    Support::BoundedReader reader(in);
    quint32 magic = 0;
    quint16 version = 0;
    quint32 count = 0;
    if (!reader.read(&magic) || magic != Magic || !reader.read(&version))
        return fail(QStringLiteral("not a registry"));
    // Version 1 was written before records named their issuer: read, they have none.
    if (version != Version && version != 1)
        return fail(QStringLiteral("version %1").arg(version));
    if (!reader.readCount(&count, MaxRecords, version == 1 ? MinRecordBytesV1 : MinRecordBytes))
        return fail(reader.problem());

    QList<NotificationRecord> records;
    records.reserve(qsizetype(count));
    QSet<QString> keys;
    for (quint32 i = 0; i < count; ++i) {
        NotificationRecord r;
        quint8 kind = 0;
        // After a failure every read does nothing: one check at the end of the record.
        reader.read(&r.id);
        reader.read(&kind);
        reader.read(&r.count);
        for (QString *text : {&r.eventType, &r.summary, &r.body, &r.action})
            reader.readString(text, MaxTextLength);
        if (version != 1) {
            reader.readString(&r.issuer.uniqueName, MaxTextLength);
            reader.readString(&r.issuer.busId, MaxTextLength);
        }
        if (!reader.ok())
            return fail(QStringLiteral("record %1 %2").arg(i).arg(reader.problem()));
        if (r.id == 0 || keys.contains(recordKey(r)) || kind > NotificationRecord::LastKind || r.eventType.isEmpty()
            || !isValidAction(r.action) || !isValidIssuer(r.issuer))
            return fail(QStringLiteral("record %1 invalid").arg(i));
        r.kind = NotificationRecord::Kind(kind);
        keys.insert(recordKey(r));
        records << r;
    }
    if (!reader.expectEnd())
        return fail(reader.problem());
    return records;
}
