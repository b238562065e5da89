// The Quillnet client's local cache: an SQLite database of user data and of what the service sent
// (posts, users, friends, message threads), plus the downloaded files (pictures, avatars) in a folder.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSqlError>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <functional>

#include "platform/quillnet/qncacheconfiguration.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/qnuser.h"
#include "platform/quillnet/qnuserref.h"
#include "platform/support/statementcache.h"

class QSqlQuery;

namespace Qn {

class QnCache : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QnCache)

public:
    // Downloaded files larger than this are refused.
    static constexpr qint64 MaxFileSize = 32 * 1024 * 1024;

    // Opens (or creates) the database and creates the missing folders of the database and of the
    // download path with access for the user only. A link in place of the database file, a file
    // that is not an SQLite database and a damaged one are renamed aside (kept for inspection, see
    // Support::moveAside) and a new database is created in their place. A database that another
    // process keeps locked is opened again on a later use (of any method, isOpen() included),
    // first after a second and then ever less often.
    explicit QnCache(const QnCacheConfiguration &configuration, QObject *parent = nullptr);
    ~QnCache() override;

    bool isOpen() const;
    // Closes the database for good; later calls give neutral results. True when the cache was open.
    bool close();
    // Empties the page cache, once the daemon's passes have ended.
    void releaseMemory();

    QString path() const;
    QString databaseName() const;
    // Text of the latest failed database statement, empty when none failed yet.
    QString lastError() const;

    // Small persistent key/value store for the cache's users. An unknown key reads as empty.
    QString getUserData(const QString &key) const;
    bool updateUserData(const QString &key, const QString &value);

    // Deletes the posts created before the given time, with their news feed and status entries.
    bool removePosts(const QDateTime &before);
    // Deletes every downloaded file below path() (symbolic links are removed, never followed) and
    // forgets them. The database files are kept even when they lie below path().
    bool clearDiskCache();

    // The reads below fill *ok (when given) with false when the database failed; "nothing cached"
    // is an empty result with *ok true. A limit below 1 means no limit.

    // News feed of a user, in the service's order. Storing at offset 0 replaces the feed; later
    // offsets continue it (pages).
    bool storeNewsFeed(const QString &ownerId, const QnPosts &posts, int offset = 0);
    QnPosts newsFeed(const QString &ownerId, int limit = -1, int offset = 0, bool *ok = nullptr) const;
    // The same, with a digest of the page as stored (empty when the database failed): the same page
    // gives the same digest, a post stored again with other content another one. When the digest is
    // the known one, no post is made from the records and none is returned.
    QnPosts newsFeed(const QString &ownerId, int limit, int offset, QByteArray *digest,
                     const QByteArray &known = QByteArray()) const;
    // Status messages of a user, latest first.
    bool storeStatusMessages(const QString &userId, const QnPosts &posts);
    QnPosts statusMessages(const QString &userId, int limit = -1, int offset = 0, bool *ok = nullptr) const;

    // User profiles by id; an unknown id gives an invalid user.
    bool storeUsers(const QnUsers &users);
    QnUser user(const QString &id, bool *ok = nullptr) const;
    // Friend list of a user, in the service's order; storing at offset 0 replaces the list. A friend
    // whose profile is cached is returned in full, otherwise with id and name only.
    bool storeFriends(const QString &ownerId, const QnUserRefs &friends, int offset = 0);
    QnUsers friends(const QString &ownerId, int limit = -1, int offset = 0, bool *ok = nullptr) const;
    // One page of a friend list with the friends' profiles, in one transaction: the profiles are
    // stored as users and their references as storeFriends() does.
    bool storeFriendPage(const QString &ownerId, const QnUsers &friends, int offset = 0);
    // Each post as a status message of its author, all in one transaction.
    bool storeLatestStatusMessages(const QnPosts &posts);

    // Message threads of a folder, most recently updated first.
    bool storeThreads(Qn::MessageBoxType folder, const QnThreads &threads);
    QnThreads threads(Qn::MessageBoxType folder, int limit = -1, int offset = 0, bool *ok = nullptr) const;
    // Messages of a thread, latest first.
    bool storeMessages(const QString &threadId, const QnMessages &messages);
    QnMessages messages(const QString &threadId, int limit = -1, int offset = 0, bool *ok = nullptr) const;

    // Downloaded data by address. Storing returns the local file, or empty on failure; the lookup
    // returns empty when the address was never stored or its file has gone.
    QString storeData(const QUrl &url, const QByteArray &data);
    QString dataLocation(const QUrl &url, bool *ok = nullptr) const;
    QString storeProfilePicture(const QString &userId, Qn::PictureType type, const QByteArray &data);
    QString profilePictureLocation(const QString &userId, Qn::PictureType type, bool *ok = nullptr) const;

signals:
    // A database statement failed; text is the database's error text (SQLite's message included).
    void databaseError(const QString &text);

private:
    bool open();
    // Open, or opened again now when a locked database is due for another try.
    bool ready() const;
    void retryOpen();
    bool openConnection();
    bool closeConnection();
    bool createSchema();
    QSqlQuery newQuery() const;
    bool prepare(QSqlQuery &query, const QString &statement) const;
    // For the statements run many times a pass: prepared once and kept.
    Support::StatementCache::Statement preparedStatement(const QString &statement) const;
    bool exec(QSqlQuery &query) const;
    bool exec(const QString &statement) const;
    bool begin();
    bool commit();
    void rollback();
    // Runs work inside one transaction (joining an outer one): all of it is stored, or nothing.
    bool atomically(const std::function<bool()> &work);
    void reportError(const QString &what, const QSqlQuery &query) const;
    void reportDatabaseError(const QSqlError &error) const;
    using Bindings = QList<QPair<QString, QVariant>>;
    // The first column of the first row, or a null value when there is none; ok turns false when
    // the statement fails.
    QVariant singleValue(const QString &statement, const Bindings &bindings, bool *ok) const;
    // Writes the file and records it with the statement (":file" bound to its name); the file goes
    // again when it cannot be recorded.
    QString storeFile(const QString &fileName, const QByteArray &data, const QString &statement,
                      const Bindings &bindings);
    QString writeFile(const QString &fileName, const QByteArray &data);
    QString existingFile(const QString &fileName) const;
    bool storePosts(const QnPosts &posts);
    // One page of records kept as JSON in the statement's first column; ":key", ":limit" and
    // ":offset" are bound. Rows that do not hold a record are skipped.
    QList<QJsonObject> recordPage(const QString &statement, const QVariant &key, int limit, int offset, bool *ok) const;
    // Runs a page statement (":key", ":limit", ":offset") and hands each row's first value to take;
    // false when the database failed.
    bool forEachInPage(const QString &statement, const QVariant &key, int limit, int offset,
                       const std::function<void(const QVariant &)> &take) const;

    QnCacheConfiguration mConfiguration;
    QString mConnectionName;
    bool mOpen = false;
    int mTransactionDepth = 0;
    bool mTransactionFailed = false;
    mutable QString mLastError;
    mutable QSqlError mLastSqlError;
    mutable Support::StatementCache mStatements;
    // Another process held the database at open: the next use after mOpenRetryAt tries again.
    bool mOpenRetryPending = false;
    QDeadlineTimer mOpenRetryAt;
    int mOpenRetryDelayMs = 0;
};

} // namespace Qn
