#include "platform/quillnet/qncache.h"

#include <functional>

#include <QAtomicInt>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QSet>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "platform/quillnet/qnjson.h"
#include "platform/support/files.h"
#include "platform/support/sqlitefile.h"
#include "platform/support/logging.h"

namespace Qn {

namespace {

constexpr int SchemaVersion = 1;

// A stored record larger than this is not ours (or damaged) and is skipped.
constexpr int MaxRecordSize = 1024 * 1024;

// SQLite's result code for "file is not a database".
const QString NotADatabaseCode = QStringLiteral("26");

// A database another process holds locked at open is tried again on a later use, first after
// this pause, which doubles with every failed attempt up to the longest one.
constexpr int FirstOpenRetryDelayMs = 1000;
constexpr int LongestOpenRetryDelayMs = 10 * 60 * 1000;

const char *const Tables[]
        = {"user_data", "posts", "feed", "statuses", "users", "friends", "threads", "messages", "files", "pictures"};

const QFileDevice::Permissions PrivateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QAtomicInt connectionCounter;

// The bound LIMIT value; SQLite reads a negative limit as "no limit".
int sqlLimit(int limit)
{
    return limit < 1 ? -1 : limit;
}

int sqlOffset(int offset)
{
    return offset < 0 ? 0 : offset;
}

qint64 msecs(const QDateTime &time)
{
    return time.isValid() ? time.toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch();
}

QString hashName(const QByteArray &key)
{
    return QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex());
}

// Reads the JSON object of a data column, or an empty object for a value that is not one of ours.
// The data columns are read as CAST(data AS BLOB): the stored UTF-8 as it is, where a text column
// would be converted to UTF-16 by SQLite and back to UTF-8 for the parser.
QJsonObject recordObject(const QByteArray &text)
{
    if (text.size() > MaxRecordSize) {
        qCWarning(lcClient) << Q_FUNC_INFO << "skipping an oversized record of" << text.size() << "bytes";
        return QJsonObject();
    }
    const QJsonObject object = QnJson::parseObject(text);
    if (object.isEmpty())
        qCWarning(lcClient) << Q_FUNC_INFO << "skipping a record that is not a JSON object";
    return object;
}

// True when nothing but the kept files is left below dir (links are not followed).
bool onlyKeptFilesLeft(const QString &dir, const QStringList &keep)
{
    QDirIterator it(dir, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        if (!keep.contains(QDir::cleanPath(it.next())))
            return false;
    }
    return true;
}

} // namespace

QnCache::QnCache(const QnCacheConfiguration &configuration, QObject *parent)
    : QObject(parent)
    , mConfiguration(configuration)
    , mConnectionName(QStringLiteral("qncache-%1").arg(connectionCounter.fetchAndAddRelaxed(1)))
{
    if (!mConfiguration.path().isEmpty())
        Support::makeUserOnlyPath(mConfiguration.path());
    mOpen = open();
}

QnCache::~QnCache()
{
    close();
}

bool QnCache::isOpen() const
{
    return ready();
}

bool QnCache::ready() const
{
    // Only a use tries again: no timer wakes an idle process for it. Nothing but the connection
    // state changes, and the object is never created const.
    if (!mOpen && mOpenRetryPending && mOpenRetryAt.hasExpired())
        const_cast<QnCache *>(this)->retryOpen();
    return mOpen;
}

void QnCache::retryOpen()
{
    qCDebug(lcClient) << Q_FUNC_INFO << "opening" << mConfiguration.databaseName() << "again";
    mOpenRetryPending = false;
    mOpen = open();
}

bool QnCache::close()
{
    mOpenRetryPending = false;
    return closeConnection();
}

void QnCache::releaseMemory()
{
    if (mOpen)
        Support::releaseMemory(QSqlDatabase::database(mConnectionName, false));
}

bool QnCache::closeConnection()
{
    if (!QSqlDatabase::contains(mConnectionName))
        return false;
    const bool wasOpen = mOpen;
    mOpen = false;
    mTransactionDepth = 0;
    mStatements.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(mConnectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(mConnectionName);
    return wasOpen;
}

QString QnCache::path() const
{
    return mConfiguration.path();
}

QString QnCache::databaseName() const
{
    return mConfiguration.databaseName();
}

QString QnCache::lastError() const
{
    return mLastError;
}

bool QnCache::open()
{
    const QString name = mConfiguration.databaseName();
    if (name.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no database name configured";
        return false;
    }
    if (!Support::makeUserOnlyPath(QFileInfo(name).absolutePath()))
        return false;
    mLastSqlError = QSqlError();
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A link in place of the file is moved aside and replaced: no other program's file is ever
        // opened, written through, or created through a dangling link.
        if (!Support::prepareDatabaseFile(name))
            return false;
        if (openConnection() && createSchema()) {
            // After the schema: the pragma reads it, and would wait out a lock a second time.
            Support::limitPageCache(QSqlDatabase::database(mConnectionName, false));
            mOpenRetryDelayMs = 0;
            return true;
        }
        closeConnection();
        // A damaged cache only ever holds copies of what the service has: it is kept for
        // inspection and rebuilt, instead of failing every statement of the run.
        if (attempt > 0 || !Support::isDamage(mLastSqlError))
            break;
        const QString aside = Support::moveAside(name);
        if (aside.isEmpty())
            break;
        qCWarning(lcClient) << Q_FUNC_INFO << name << "is damaged (" << mLastError << "); moved to" << aside
                            << "and starting a new one";
    }
    if (Support::isBusy(mLastSqlError)) {
        // Another process holds the file: a later use tries again, ever less often.
        mOpenRetryDelayMs
                = mOpenRetryDelayMs > 0 ? qMin(mOpenRetryDelayMs * 2, LongestOpenRetryDelayMs) : FirstOpenRetryDelayMs;
        mOpenRetryPending = true;
        mOpenRetryAt = QDeadlineTimer(mOpenRetryDelayMs);
        qCWarning(lcClient) << Q_FUNC_INFO << name << "is locked by another process; trying again on a use after"
                            << mOpenRetryDelayMs << "ms";
    }
    return false;
}

bool QnCache::openConnection()
{
    const QString name = mConfiguration.databaseName();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), mConnectionName);
    if (!db.isValid()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "the SQLite driver is not available";
        QSqlDatabase::removeDatabase(mConnectionName);
        return false;
    }
    db.setDatabaseName(name);
    if (!db.open()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "cannot open" << name;
        reportDatabaseError(db.lastError());
        return false;
    }
    mOpen = true;
    return true;
}

bool QnCache::createSchema()
{
    QSqlQuery version = newQuery();
    if (!prepare(version, QStringLiteral("PRAGMA user_version")) || !exec(version) || !version.next()) {
        mOpen = false;
        return false;
    }
    const int current = version.value(0).toInt();
    version.finish();
    if (current > SchemaVersion)
        qCWarning(lcClient) << Q_FUNC_INFO << "database schema" << current << "is newer than" << SchemaVersion;

    static const char *const statements[] = {
            "CREATE TABLE IF NOT EXISTS user_data (key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL)",
            "CREATE TABLE IF NOT EXISTS posts (id TEXT PRIMARY KEY NOT NULL, author_id TEXT NOT NULL, "
            "created INTEGER NOT NULL, data TEXT NOT NULL)",
            "CREATE INDEX IF NOT EXISTS posts_created ON posts (created)",
            "CREATE TABLE IF NOT EXISTS feed (owner_id TEXT NOT NULL, post_id TEXT NOT NULL, "
            "position INTEGER NOT NULL, PRIMARY KEY (owner_id, post_id))",
            "CREATE TABLE IF NOT EXISTS statuses (user_id TEXT NOT NULL, post_id TEXT NOT NULL, "
            "PRIMARY KEY (user_id, post_id))",
            "CREATE TABLE IF NOT EXISTS users (id TEXT PRIMARY KEY NOT NULL, data TEXT NOT NULL)",
            "CREATE TABLE IF NOT EXISTS friends (owner_id TEXT NOT NULL, friend_id TEXT NOT NULL, "
            "name TEXT NOT NULL, position INTEGER NOT NULL, PRIMARY KEY (owner_id, friend_id))",
            "CREATE TABLE IF NOT EXISTS threads (id TEXT PRIMARY KEY NOT NULL, folder INTEGER NOT NULL, "
            "updated INTEGER NOT NULL, data TEXT NOT NULL)",
            "CREATE TABLE IF NOT EXISTS messages (id TEXT PRIMARY KEY NOT NULL, thread_id TEXT NOT NULL, "
            "created INTEGER NOT NULL, data TEXT NOT NULL)",
            "CREATE INDEX IF NOT EXISTS messages_thread ON messages (thread_id, created)",
            "CREATE TABLE IF NOT EXISTS files (url TEXT PRIMARY KEY NOT NULL, file TEXT NOT NULL)",
            "CREATE TABLE IF NOT EXISTS pictures (user_id TEXT NOT NULL, type INTEGER NOT NULL, "
            "file TEXT NOT NULL, PRIMARY KEY (user_id, type))",
    };
    auto fail = [this] {
        rollback();
        mOpen = false;
        return false;
    };
    if (!begin())
        return fail();
    for (const char *statement : statements) {
        if (!exec(QString::fromLatin1(statement)))
            return fail();
    }
    // The statements above read the header and the schema page only. Counting walks every page of
    // each table, so that damage shows now, while the file can still be moved aside, rather than in
    // the middle of the run. The names are ours, not values from outside.
    for (const char *table : Tables) {
        if (!exec(QStringLiteral("SELECT count(*) FROM %1 NOT INDEXED").arg(QLatin1String(table))))
            return fail();
    }
    // The version is a number of ours, not a value from outside.
    if (current < SchemaVersion && !exec(QStringLiteral("PRAGMA user_version = %1").arg(SchemaVersion)))
        return fail();
    return commit() || fail();
}

bool QnCache::exec(QSqlQuery &query) const
{
    if (query.exec())
        return true;
    reportError(query.lastQuery(), query);
    return false;
}

bool QnCache::exec(const QString &statement) const
{
    QSqlQuery query = newQuery();
    return prepare(query, statement) && exec(query);
}

void QnCache::reportError(const QString &what, const QSqlQuery &query) const
{
    qCWarning(lcClient) << Q_FUNC_INFO << what;
    reportDatabaseError(query.lastError());
}

void QnCache::reportDatabaseError(const QSqlError &error) const
{
    mLastSqlError = error;
    mLastError = error.text();
    if (error.nativeErrorCode() == NotADatabaseCode && !mLastError.contains(QLatin1String("file is not a database")))
        mLastError += QLatin1String(" (file is not a database)");
    qCWarning(lcClient) << Q_FUNC_INFO << mConfiguration.databaseName() << mLastError;
    emit const_cast<QnCache *>(this)->databaseError(mLastError);
}

QSqlQuery QnCache::newQuery() const
{
    return QSqlQuery(QSqlDatabase::database(mConnectionName, false));
}

Support::StatementCache::Statement QnCache::preparedStatement(const QString &statement) const
{
    Support::StatementCache::Statement prepared
            = mStatements.statement(QSqlDatabase::database(mConnectionName, false), statement);
    if (!prepared.isPrepared())
        reportError(statement, prepared.query());
    return prepared;
}

bool QnCache::prepare(QSqlQuery &query, const QString &statement) const
{
    if (query.prepare(statement))
        return true;
    reportError(statement, query);
    return false;
}

// Transactions nest: the outermost one commits, and a failure anywhere inside rolls the whole
// of it back, so that a compound write (one answer of the service) is stored entirely or not at all.
bool QnCache::begin()
{
    if (mTransactionDepth > 0) {
        ++mTransactionDepth;
        return true;
    }
    QSqlDatabase db = QSqlDatabase::database(mConnectionName, false);
    if (!db.transaction()) {
        reportDatabaseError(db.lastError());
        return false;
    }
    mTransactionDepth = 1;
    mTransactionFailed = false;
    return true;
}

bool QnCache::commit()
{
    if (mTransactionDepth > 1) {
        --mTransactionDepth;
        return true;
    }
    mTransactionDepth = 0;
    QSqlDatabase db = QSqlDatabase::database(mConnectionName, false);
    if (mTransactionFailed) {
        db.rollback();
        return false;
    }
    if (db.commit())
        return true;
    reportDatabaseError(db.lastError());
    return false;
}

void QnCache::rollback()
{
    if (mTransactionDepth > 1) {
        --mTransactionDepth;
        mTransactionFailed = true;
        return;
    }
    mTransactionDepth = 0;
    QSqlDatabase::database(mConnectionName, false).rollback();
}

bool QnCache::atomically(const std::function<bool()> &work)
{
    if (!ready() || !begin())
        return false;
    if (work() && commit())
        return true;
    rollback();
    return false;
}

QString QnCache::getUserData(const QString &key) const
{
    if (!ready())
        return QString();
    QSqlQuery query = newQuery();
    if (!prepare(query, QStringLiteral("SELECT value FROM user_data WHERE key = :key")))
        return QString();
    query.bindValue(QStringLiteral(":key"), Support::bindableText(key));
    if (!exec(query) || !query.next())
        return QString();
    return query.value(0).toString();
}

bool QnCache::updateUserData(const QString &key, const QString &value)
{
    if (!ready())
        return false;
    if (key.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "empty key";
        return false;
    }
    QSqlQuery query = newQuery();
    if (!prepare(query, QStringLiteral("INSERT OR REPLACE INTO user_data (key, value) VALUES (:key, :value)")))
        return false;
    query.bindValue(QStringLiteral(":key"), Support::bindableText(key));
    query.bindValue(QStringLiteral(":value"), Support::bindableText(value));
    return exec(query);
}

bool QnCache::removePosts(const QDateTime &before)
{
    if (!ready()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "cache not open";
        return false;
    }
    if (!before.isValid()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "invalid date";
        return false;
    }
    int removed = 0;
    const bool done = atomically([&] {
        QSqlQuery remove = newQuery();
        if (!prepare(remove, QStringLiteral("DELETE FROM posts WHERE created < :before")))
            return false;
        remove.bindValue(QStringLiteral(":before"), before.toMSecsSinceEpoch());
        if (!exec(remove))
            return false;
        removed = remove.numRowsAffected();
        return exec(QStringLiteral("DELETE FROM feed WHERE post_id NOT IN (SELECT id FROM posts)"))
                && exec(QStringLiteral("DELETE FROM statuses WHERE post_id NOT IN (SELECT id FROM posts)"));
    });
    if (done)
        qCDebug(lcClient) << Q_FUNC_INFO << "removed" << removed << "posts older than" << before;
    return done;
}

bool QnCache::clearDiskCache()
{
    const QString dir = mConfiguration.path();
    bool ok = true;
    if (!dir.isEmpty() && QFileInfo(dir).isDir()) {
        // The database may have been configured below the download folder; it is not a download.
        const QString db = QDir::cleanPath(QFileInfo(mConfiguration.databaseName()).absoluteFilePath());
        QStringList keep;
        for (const QString &suffix :
             {QString(), QStringLiteral("-journal"), QStringLiteral("-wal"), QStringLiteral("-shm")})
            keep.append(db + suffix);
        const QString folder = QDir::cleanPath(QDir(dir).absolutePath());
        // removeContents() counts the kept database as left over; only other leftovers are failures.
        ok = Support::removeContents(folder, keep) || onlyKeptFilesLeft(folder, keep);
    }
    if (ready() && !(exec(QStringLiteral("DELETE FROM files")) && exec(QStringLiteral("DELETE FROM pictures"))))
        ok = false;
    qCDebug(lcClient) << Q_FUNC_INFO << dir << ok;
    return ok;
}

bool QnCache::storePosts(const QnPosts &posts)
{
    QSqlQuery query = newQuery();
    if (!prepare(query,
                 QStringLiteral("INSERT OR REPLACE INTO posts (id, author_id, created, data) "
                                "VALUES (:id, :author, :created, :data)")))
        return false;
    for (const QnPost &post : posts) {
        if (!post.isValid())
            continue;
        query.bindValue(QStringLiteral(":id"), post.id());
        query.bindValue(QStringLiteral(":author"), Support::bindableText(post.from().id()));
        // A post without a creation time ages from the moment it was cached.
        query.bindValue(QStringLiteral(":created"), msecs(post.created()));
        query.bindValue(QStringLiteral(":data"), QString::fromUtf8(QnJson::serialize(QnJson::toJson(post))));
        if (!exec(query))
            return false;
    }
    return true;
}

bool QnCache::storeNewsFeed(const QString &ownerId, const QnPosts &posts, int offset)
{
    return atomically([&] {
        if (offset <= 0) {
            QSqlQuery clear = newQuery();
            if (!prepare(clear, QStringLiteral("DELETE FROM feed WHERE owner_id = :owner")))
                return false;
            clear.bindValue(QStringLiteral(":owner"), Support::bindableText(ownerId));
            if (!exec(clear))
                return false;
        }
        if (!storePosts(posts))
            return false;
        QSqlQuery query = newQuery();
        if (!prepare(query,
                     QStringLiteral("INSERT OR REPLACE INTO feed (owner_id, post_id, position) VALUES (:owner, :post, "
                                    ":position)")))
            return false;
        int position = sqlOffset(offset);
        for (const QnPost &post : posts) {
            if (!post.isValid())
                continue;
            query.bindValue(QStringLiteral(":owner"), Support::bindableText(ownerId));
            query.bindValue(QStringLiteral(":post"), post.id());
            query.bindValue(QStringLiteral(":position"), position++);
            if (!exec(query))
                return false;
        }
        return true;
    });
}

bool QnCache::forEachInPage(const QString &statement, const QVariant &key, int limit, int offset,
                            const std::function<void(const QVariant &)> &take) const
{
    if (!ready())
        return false;
    Support::StatementCache::Statement prepared = preparedStatement(statement);
    QSqlQuery &query = prepared.query();
    if (!prepared.isPrepared())
        return false;
    query.bindValue(QStringLiteral(":key"), key);
    query.bindValue(QStringLiteral(":limit"), sqlLimit(limit));
    query.bindValue(QStringLiteral(":offset"), sqlOffset(offset));
    if (!exec(query))
        return false;
    while (query.next())
        take(query.value(0));
    return true;
}

QList<QJsonObject> QnCache::recordPage(const QString &statement, const QVariant &key, int limit, int offset,
                                       bool *ok) const
{
    QList<QJsonObject> objects;
    const bool read = forEachInPage(statement, key, limit, offset, [&objects](const QVariant &value) {
        const QJsonObject object = recordObject(value.toByteArray());
        if (!object.isEmpty())
            objects.append(object);
    });
    if (ok)
        *ok = read;
    return objects;
}

QnPosts QnCache::newsFeed(const QString &ownerId, int limit, int offset, bool *ok) const
{
    QByteArray digest;
    QnPosts posts = newsFeed(ownerId, limit, offset, &digest);
    if (ok)
        *ok = !digest.isEmpty();
    return posts;
}

QnPosts QnCache::newsFeed(const QString &ownerId, int limit, int offset, QByteArray *digest,
                          const QByteArray &known) const
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QList<QByteArray> records;
    const bool read
            = forEachInPage(QStringLiteral("SELECT CAST(p.data AS BLOB) FROM feed f JOIN posts p ON p.id = f.post_id "
                                           "WHERE f.owner_id = :key ORDER BY f.position LIMIT :limit OFFSET :offset"),
                            Support::bindableText(ownerId), limit, offset, [&](const QVariant &value) {
                                records.append(value.toByteArray());
                                // Its length first, so that two records never read as another two.
                                hash.addData(QByteArray::number(records.last().size()) + ':');
                                hash.addData(records.last());
                            });
    *digest = read ? hash.result() : QByteArray();
    QnPosts posts;
    if (!read || *digest == known)
        return posts;
    posts.reserve(records.size());
    for (const QByteArray &record : std::as_const(records)) {
        const QJsonObject object = recordObject(record);
        if (!object.isEmpty())
            posts.append(QnJson::postFromJson(object));
    }
    return posts;
}

bool QnCache::storeStatusMessages(const QString &userId, const QnPosts &posts)
{
    return atomically([&] {
        if (!storePosts(posts))
            return false;
        QSqlQuery query = newQuery();
        if (!prepare(query, QStringLiteral("INSERT OR REPLACE INTO statuses (user_id, post_id) VALUES (:user, :post)")))
            return false;
        for (const QnPost &post : posts) {
            if (!post.isValid())
                continue;
            query.bindValue(QStringLiteral(":user"), Support::bindableText(userId));
            query.bindValue(QStringLiteral(":post"), post.id());
            if (!exec(query))
                return false;
        }
        return true;
    });
}

QnPosts QnCache::statusMessages(const QString &userId, int limit, int offset, bool *ok) const
{
    QnPosts posts;
    const QList<QJsonObject> objects
            = recordPage(QStringLiteral("SELECT CAST(p.data AS BLOB) FROM statuses s JOIN posts p ON p.id = s.post_id "
                                        "WHERE s.user_id = :key "
                                        "ORDER BY p.created DESC, p.id LIMIT :limit OFFSET :offset"),
                         Support::bindableText(userId), limit, offset, ok);
    for (const QJsonObject &object : objects)
        posts.append(QnJson::postFromJson(object));
    return posts;
}

bool QnCache::storeUsers(const QnUsers &users)
{
    return atomically([&] {
        QSqlQuery query = newQuery();
        if (!prepare(query, QStringLiteral("INSERT OR REPLACE INTO users (id, data) VALUES (:id, :data)")))
            return false;
        for (const QnUser &user : users) {
            if (!user.isValid())
                continue;
            query.bindValue(QStringLiteral(":id"), user.id());
            query.bindValue(QStringLiteral(":data"), QString::fromUtf8(QnJson::serialize(QnJson::toJson(user))));
            if (!exec(query))
                return false;
        }
        return true;
    });
}

QnUser QnCache::user(const QString &id, bool *ok) const
{
    const QVariant data = singleValue(QStringLiteral("SELECT CAST(data AS BLOB) FROM users WHERE id = :id"),
                                      {{QStringLiteral(":id"), Support::bindableText(id)}}, ok);
    if (data.isNull())
        return QnUser();
    QnUser user = QnJson::userFromJson(recordObject(data.toByteArray()));
    // The row's key is authoritative; a record whose id disagrees is damaged.
    if (user.id() != id) {
        qCWarning(lcClient) << Q_FUNC_INFO << "stored profile does not match its id" << id;
        return QnUser();
    }
    return user;
}

bool QnCache::storeFriends(const QString &ownerId, const QnUserRefs &friends, int offset)
{
    return atomically([&] {
        if (offset <= 0) {
            QSqlQuery clear = newQuery();
            if (!prepare(clear, QStringLiteral("DELETE FROM friends WHERE owner_id = :owner")))
                return false;
            clear.bindValue(QStringLiteral(":owner"), Support::bindableText(ownerId));
            if (!exec(clear))
                return false;
        }
        QSqlQuery query = newQuery();
        if (!prepare(query,
                     QStringLiteral("INSERT OR REPLACE INTO friends (owner_id, friend_id, name, position) "
                                    "VALUES (:owner, :friend, :name, :position)")))
            return false;
        int position = sqlOffset(offset);
        for (const QnUserRef &ref : friends) {
            if (!ref.isValid())
                continue;
            query.bindValue(QStringLiteral(":owner"), Support::bindableText(ownerId));
            query.bindValue(QStringLiteral(":friend"), ref.id());
            query.bindValue(QStringLiteral(":name"), Support::bindableText(ref.name()));
            query.bindValue(QStringLiteral(":position"), position++);
            if (!exec(query))
                return false;
        }
        return true;
    });
}

bool QnCache::storeFriendPage(const QString &ownerId, const QnUsers &friends, int offset)
{
    QnUserRefs refs;
    for (const QnUser &user : friends) {
        if (user.isValid())
            refs.append(user.ref());
    }
    return atomically([&] { return storeUsers(friends) && storeFriends(ownerId, refs, offset); });
}

bool QnCache::storeLatestStatusMessages(const QnPosts &posts)
{
    return atomically([&] {
        for (const QnPost &post : posts) {
            if (post.isValid() && post.from().isValid() && !storeStatusMessages(post.from().id(), {post}))
                return false;
        }
        return true;
    });
}

QnUsers QnCache::friends(const QString &ownerId, int limit, int offset, bool *ok) const
{
    const bool open = ready();
    if (ok)
        *ok = open;
    QnUsers users;
    if (!open)
        return users;
    auto fail = [ok] {
        if (ok)
            *ok = false;
        return QnUsers();
    };
    QSqlQuery query = newQuery();
    if (!prepare(query,
                 QStringLiteral("SELECT f.friend_id, f.name, CAST(u.data AS BLOB) FROM friends f LEFT JOIN users u ON "
                                "u.id = f.friend_id "
                                "WHERE f.owner_id = :owner ORDER BY f.position LIMIT :limit OFFSET :offset")))
        return fail();
    query.bindValue(QStringLiteral(":owner"), Support::bindableText(ownerId));
    query.bindValue(QStringLiteral(":limit"), sqlLimit(limit));
    query.bindValue(QStringLiteral(":offset"), sqlOffset(offset));
    if (!exec(query))
        return fail();
    while (query.next()) {
        const QString id = query.value(0).toString();
        QnUser user;
        if (!query.value(2).isNull())
            user = QnJson::userFromJson(recordObject(query.value(2).toByteArray()));
        if (user.id() != id)
            user = QnUser(id, query.value(1).toString());
        users.append(user);
    }
    return users;
}

bool QnCache::storeThreads(Qn::MessageBoxType folder, const QnThreads &threads)
{
    return atomically([&] {
        QSqlQuery query = newQuery();
        if (!prepare(query,
                     QStringLiteral("INSERT OR REPLACE INTO threads (id, folder, updated, data) VALUES (:id, :folder, "
                                    ":updated, :data)")))
            return false;
        for (const QnThread &thread : threads) {
            if (!thread.isValid())
                continue;
            query.bindValue(QStringLiteral(":id"), thread.id());
            query.bindValue(QStringLiteral(":folder"), int(folder));
            query.bindValue(QStringLiteral(":updated"), msecs(thread.updatedTime()));
            query.bindValue(QStringLiteral(":data"), QString::fromUtf8(QnJson::serialize(QnJson::toJson(thread))));
            if (!exec(query))
                return false;
        }
        return true;
    });
}

QnThreads QnCache::threads(Qn::MessageBoxType folder, int limit, int offset, bool *ok) const
{
    QnThreads threads;
    const QList<QJsonObject> objects = recordPage(
            QStringLiteral("SELECT CAST(data AS BLOB) FROM threads WHERE folder = :key ORDER BY updated DESC, id "
                           "LIMIT :limit OFFSET :offset"),
            int(folder), limit, offset, ok);
    for (const QJsonObject &object : objects)
        threads.append(QnJson::threadFromJson(object));
    return threads;
}

bool QnCache::storeMessages(const QString &threadId, const QnMessages &messages)
{
    return atomically([&] {
        QSqlQuery query = newQuery();
        if (!prepare(query,
                     QStringLiteral("INSERT OR REPLACE INTO messages (id, thread_id, created, data) "
                                    "VALUES (:id, :thread, :created, :data)")))
            return false;
        for (const QnMessage &message : messages) {
            if (!message.isValid())
                continue;
            QnMessage stored = message;
            stored.setThreadId(threadId);
            query.bindValue(QStringLiteral(":id"), message.id());
            query.bindValue(QStringLiteral(":thread"), Support::bindableText(threadId));
            query.bindValue(QStringLiteral(":created"), msecs(message.created()));
            query.bindValue(QStringLiteral(":data"), QString::fromUtf8(QnJson::serialize(QnJson::toJson(stored))));
            if (!exec(query))
                return false;
        }
        return true;
    });
}

QnMessages QnCache::messages(const QString &threadId, int limit, int offset, bool *ok) const
{
    QnMessages messages;
    const QList<QJsonObject> objects = recordPage(
            QStringLiteral("SELECT CAST(data AS BLOB) FROM messages WHERE thread_id = :key ORDER BY created DESC, id "
                           "LIMIT :limit OFFSET :offset"),
            Support::bindableText(threadId), limit, offset, ok);
    for (const QJsonObject &object : objects)
        messages.append(QnJson::messageFromJson(object));
    return messages;
}

QVariant QnCache::singleValue(const QString &statement, const Bindings &bindings, bool *ok) const
{
    const bool open = ready();
    if (ok)
        *ok = open;
    if (!open)
        return QVariant();
    Support::StatementCache::Statement prepared = preparedStatement(statement);
    QSqlQuery &query = prepared.query();
    if (prepared.isPrepared()) {
        for (const auto &binding : bindings)
            query.bindValue(binding.first, binding.second);
        if (exec(query))
            return query.next() ? query.value(0) : QVariant();
    }
    if (ok)
        *ok = false;
    return QVariant();
}

QString QnCache::storeFile(const QString &fileName, const QByteArray &data, const QString &statement,
                           const Bindings &bindings)
{
    const QString location = writeFile(fileName, data);
    if (location.isEmpty())
        return QString();
    QSqlQuery query = newQuery();
    if (prepare(query, statement)) {
        for (const auto &binding : bindings)
            query.bindValue(binding.first, binding.second);
        query.bindValue(QStringLiteral(":file"), fileName);
        if (exec(query))
            return location;
    }
    // A file nobody can find again is only clutter.
    QFile::remove(location);
    return QString();
}

QString QnCache::writeFile(const QString &fileName, const QByteArray &data)
{
    const QString dir = mConfiguration.path();
    if (dir.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no download folder configured";
        return QString();
    }
    if (data.size() > MaxFileSize) {
        qCWarning(lcClient) << Q_FUNC_INFO << "refusing" << data.size() << "bytes for" << fileName;
        return QString();
    }
    if (!Support::makeUserOnlyPath(dir))
        return QString();
    const QString target = QDir(dir).absoluteFilePath(fileName);
    const QString temporary = target + QStringLiteral(".part");
    QFile::remove(temporary);
    QFile file(temporary);
    // Flushed here, with its error seen: a file that a full disk cut short must not become the download.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, PrivateFile) || file.write(data) != data.size()
        || !file.flush()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "cannot write" << temporary << file.errorString();
        file.close();
        QFile::remove(temporary);
        return QString();
    }
    file.close();
    // Replace a link or file of the same name, never write through it.
    QFile::remove(target);
    if (!QFile::rename(temporary, target)) {
        qCWarning(lcClient) << Q_FUNC_INFO << "cannot rename" << temporary << "to" << target;
        QFile::remove(temporary);
        return QString();
    }
    return target;
}

QString QnCache::existingFile(const QString &fileName) const
{
    // Stored names are our own hashes; anything that could leave the folder is not.
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9_-]{1,80}(\\.[A-Za-z0-9]{1,5})?$"));
    if (!valid.match(fileName).hasMatch()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "ignoring stored file name" << fileName;
        return QString();
    }
    const QString path = QDir(mConfiguration.path()).absoluteFilePath(fileName);
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() ? path : QString();
}

QString QnCache::storeData(const QUrl &url, const QByteArray &data)
{
    if (!ready() || !url.isValid() || url.isEmpty())
        return QString();
    const QByteArray key = url.toEncoded();
    QString fileName = hashName(key);
    // Keep a plausible extension, so that viewers guess the format before looking inside.
    static const QRegularExpression suffixPattern(QStringLiteral("^[A-Za-z0-9]{1,5}$"));
    const QString suffix = QFileInfo(url.path()).suffix();
    if (suffixPattern.match(suffix).hasMatch())
        fileName += QLatin1Char('.') + suffix.toLower();
    return storeFile(fileName, data, QStringLiteral("INSERT OR REPLACE INTO files (url, file) VALUES (:url, :file)"),
                     {{QStringLiteral(":url"), QString::fromLatin1(key)}});
}

QString QnCache::dataLocation(const QUrl &url, bool *ok) const
{
    const QVariant file = singleValue(QStringLiteral("SELECT file FROM files WHERE url = :url"),
                                      {{QStringLiteral(":url"), QString::fromLatin1(url.toEncoded())}}, ok);
    return file.isNull() ? QString() : existingFile(file.toString());
}

QString QnCache::storeProfilePicture(const QString &userId, Qn::PictureType type, const QByteArray &data)
{
    if (!ready() || userId.isEmpty())
        return QString();
    const QString fileName
            = QStringLiteral("avatar-") + hashName(userId.toUtf8() + '/' + QByteArray::number(int(type)));
    return storeFile(
            fileName, data,
            QStringLiteral("INSERT OR REPLACE INTO pictures (user_id, type, file) VALUES (:user, :type, :file)"),
            {{QStringLiteral(":user"), Support::bindableText(userId)}, {QStringLiteral(":type"), int(type)}});
}

QString QnCache::profilePictureLocation(const QString &userId, Qn::PictureType type, bool *ok) const
{
    const QVariant file = singleValue(
            QStringLiteral("SELECT file FROM pictures WHERE user_id = :user AND type = :type"),
            {{QStringLiteral(":user"), Support::bindableText(userId)}, {QStringLiteral(":type"), int(type)}}, ok);
    return file.isNull() ? QString() : existingFile(file.toString());
}

} // namespace Qn
