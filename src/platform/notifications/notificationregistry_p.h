// What this application has published to the notification server, kept in a user-only file so
// that the lookups of MNotification and MNotificationGroup answer after a restart. Internal.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The notification server that gave out an id: the server's unique name on the bus, and the bus's
// own id (a new session bus may hand the same unique name to another program). Ids are only
// meaningful to the server that gave them. Empty for a record of a file written before records
// had one: such a record belongs to whichever server owns the name when it is first used.
struct NotificationIssuer
{
    QString busId;
    QString uniqueName;

    bool isEmpty() const { return uniqueName.isEmpty(); }
    // A unique bus name, as the bus gives them (":1.42").
    static bool isUniqueName(const QString &name);
    // A bus's id as the bus tells it: hexadecimal digits.
    static bool isBusId(const QString &id);
    bool operator==(const NotificationIssuer &other) const
    {
        return busId == other.busId && uniqueName == other.uniqueName;
    }
    bool operator!=(const NotificationIssuer &other) const { return !(*this == other); }
};

struct NotificationRecord
{
    enum Kind : quint8 { Plain = 0, InGroup = 1, Group = 2 };
    static constexpr quint8 LastKind = Group;

    quint32 id = 0; // the server's id; 0 before the first publish
    Kind kind = Plain;
    QString eventType;
    QString summary;
    QString body;
    quint32 count = 0;
    QString action; // text form of an MRemoteAction; empty for none
    NotificationIssuer issuer;

    bool operator==(const NotificationRecord &other) const;
};

// The file holds a magic number, a version, the count of records and the records, in QDataStream's
// default settings. Every read checks counts and lengths against the bytes that are there. Version 1
// records have no issuer; version 2 adds it after the action.
class NotificationRegistry
{
public:
    static constexpr quint32 Magic = 0x4d4e5247; // "MNRG"
    static constexpr quint16 Version = 2;
    static constexpr int MaxRecords = 256;
    static constexpr int MaxTextLength = 16384;
    static constexpr qint64 MaxFileBytes = 1024 * 1024;

    // The file used by the framework: the one set, else "notifications.registry" in the
    // application's cache location.
    static QString path();
    static void setPath(const QString &path);

    explicit NotificationRegistry(const QString &path = NotificationRegistry::path());

    // The records, the least recently published first; none when there is no file. A file that
    // does not read cleanly, is too large or is not a regular file is removed with a warning.
    QList<NotificationRecord> load() const;
    // Writes the records to a new file that then takes the place of the old one (a link there is
    // replaced, never written through). Texts longer than MaxTextLength are cut; beyond
    // MaxRecords or MaxFileBytes the oldest plain notifications go first, then the oldest groups.
    bool save(QList<NotificationRecord> records) const;

    // A record is known by its issuer and its id: another server may give out the same id.
    std::optional<NotificationRecord> find(const NotificationIssuer &issuer, quint32 id) const;
    // Keeps record as the most recently published; the record it replaces (previousIssuer,
    // previousId), and any other under the record's issuer and id (one the server has given out
    // again), goes.
    bool store(const NotificationRecord &record, const NotificationIssuer &previousIssuer, quint32 previousId) const;
    // False when there was no such record.
    bool forget(const NotificationIssuer &issuer, quint32 id) const;
    // current owns the name now: records without an issuer become its; the notifications
    // of other servers that are not groups are forgotten (a group stays, to be published anew).
    bool rebind(const NotificationIssuer &current) const;

    static QByteArray serialise(const QList<NotificationRecord> &records);
    // The records, or nothing (with the reason in problem) when data is not a clean registry.
    static std::optional<QList<NotificationRecord>> parse(const QByteArray &data, QString *problem);

private:
    void discard(const QString &problem) const;

    QString mPath;
};
