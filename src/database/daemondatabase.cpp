#include "database/daemondatabase.h"

#include "common/constants.h"
#include "platform/support/files.h"
#include "platform/support/sqlitefile.h"
#include "platform/support/logging.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QStringList>

namespace {

const QString ConnectionName = QStringLiteral("quillnet-daemon-connection");

// How long a statement waits for another connection's lock once the database is in use.
constexpr int BusyTimeoutMs = 5000;

const QString ShownTable = QStringLiteral("shown_items");
const QString SeenTable = QStringLiteral("seen_items");

// A list of values bound as one JSON array and read back with json_each: one statement text for
// every length, so that it is prepared once, and no limit on the number of bound values.
template<typename T>
QString jsonList(const QList<T> &values)
{
    QJsonArray array;
    for (const T &value : values)
        array.append(value);
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

bool isItemType(const QString &type)
{
    return Constants::findKind(&Constants::NotificationKind::typeKey, type) != nullptr;
}

// The clear date of the current row of "SELECT * FROM clear_date": day, month, year. Values that
// do not form a calendar date give an invalid date.
QDate storedClearDate(const QSqlQuery &select)
{
    return QDate(select.value(2).toInt(), select.value(1).toInt(), select.value(0).toInt());
}

} // namespace

DaemonDatabase::DaemonDatabase(const QString &dbName, QObject *parent)
    : QObject(parent)
    , mDbName(dbName)
{
    qCDebug(lcDatabase) << Q_FUNC_INFO << dbName;
    mDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
    mDb.setDatabaseName(dbName);
}

DaemonDatabase::~DaemonDatabase()
{
    if (mDb.isValid() && mDb.isOpen())
        closeDatabase();
    // Remove the named connection only while it is still ours; a later instance may have
    // replaced it.
    const bool ours = QSqlDatabase::contains(ConnectionName)
            && QSqlDatabase::database(ConnectionName, false).driver() == mDb.driver();
    mDb = QSqlDatabase();
    if (ours)
        QSqlDatabase::removeDatabase(ConnectionName);
}

bool DaemonDatabase::init()
{
    if (!openDatabase())
        return false;

    // A lock held elsewhere at start is waited out for longer than during normal work; a lock is
    // never a reason to reset.
    setBusyTimeout(mLockTimeoutMs);
    VersionCheck check = checkVersion();
    if (check == VersionDamaged) {
        if (!moveDamagedFileAside() || !openDatabase())
            return false;
        check = checkVersion();
        if (check != VersionReset) {
            qCWarning(lcDatabase) << Q_FUNC_INFO << "The rebuilt database cannot be read either";
            closeDatabase();
            return false;
        }
    }
    if (check == VersionUnreadable) {
        closeDatabase();
        return false;
    }

    const bool reset = check == VersionReset;
    if (reset ? !resetSchema() : !completeSchema()) {
        closeDatabase();
        return false;
    }
    useWriteAheadLog();
    setBusyTimeout(BusyTimeoutMs);
    // Once the schema is read: the pragma reads it, and would wait out a lock for longer than the
    // start's lock timeout allows.
    Support::limitPageCache(mDb);
    if (reset)
        emit dbReseted();
    return true;
}

void DaemonDatabase::setLockTimeout(int milliseconds)
{
    mLockTimeoutMs = qMax(0, milliseconds);
}

void DaemonDatabase::updateClearDate(bool force)
{
    if (force) {
        QSqlQuery remove(mDb);
        remove.exec(QStringLiteral("DELETE FROM clear_date;"));
    }

    QSqlQuery select(mDb);
    if (!select.exec(QStringLiteral("SELECT * FROM clear_date;"))) {
        qCWarning(lcDatabase) << "Failed to request last clear date" << select.lastError().text();
        return;
    }
    if (select.next()) {
        qCDebug(lcDatabase) << "Last clear date found:" << storedClearDate(select);
        return;
    }

    const QDate today = QDate::currentDate();
    QSqlQuery insert(mDb);
    insert.prepare(QStringLiteral("INSERT INTO clear_date(day, month, year)VALUES (:day, :month, :year);"));
    insert.bindValue(QStringLiteral(":day"), today.day());
    insert.bindValue(QStringLiteral(":month"), today.month());
    insert.bindValue(QStringLiteral(":year"), today.year());
    if (insert.exec())
        qCDebug(lcDatabase) << "Last clear date set:" << today;
    else
        qCWarning(lcDatabase) << "Unable to set last clear date" << insert.lastError().text();
}

bool DaemonDatabase::isClearNeeded()
{
    QSqlQuery select(mDb);
    if (!select.exec(QStringLiteral("SELECT * FROM clear_date;"))) {
        qCWarning(lcDatabase) << "Failed to request last clear date" << select.lastError().text();
        return false;
    }
    if (!select.next())
        return false;

    // Any date but today: a date stored while the clock ran ahead would otherwise hold the
    // clean-up back until the calendar caught up with it.
    const QDate stored = storedClearDate(select);
    const QDate today = QDate::currentDate();
    if (stored == today)
        return false;
    if (stored > today)
        qCDebug(lcDatabase) << "Last clear date" << stored << "is later than today, cleaning up anyway";
    return true;
}

void DaemonDatabase::prepareForChecks(const Qn::QnPosts &posts)
{
    QStringList ids;
    ids.reserve(posts.size());
    for (const Qn::QnPost &post : posts)
        ids << Support::bindableText(post.id());

    mCheckList.clear();

    // The oldest cached row of the batch. An empty batch has none, like a batch that is not
    // cached at all.
    bool found = false;
    qint64 oldestRow = 0;
    {
        Support::StatementCache::Statement statement = mStatements.statement(
                mDb, QStringLiteral("SELECT MIN(id) FROM items WHERE quillnet_id IN (SELECT value FROM json_each(?))"));
        const bool prepared = statement.isPrepared();
        QSqlQuery &minimum = statement.query();
        minimum.addBindValue(jsonList(ids));
        if (!prepared || !minimum.exec()) {
            qCCritical(lcDatabase) << "Failed to fetch last qn id for the group" << minimum.lastError().text();
            noteFailure(minimum.lastError());
            return;
        }
        if (minimum.next() && !minimum.value(0).isNull()) {
            oldestRow = minimum.value(0).toLongLong();
            found = true;
        }
    }

    Support::StatementCache::Statement statement = found
            ? mStatements.statement(mDb, QStringLiteral("SELECT * FROM items WHERE id>=:id ORDER BY id DESC"))
            : mStatements.statement(mDb, QStringLiteral("SELECT * FROM items ORDER BY id DESC LIMIT 0,30"));
    QSqlQuery &select = statement.query();
    if (found) {
        qCDebug(lcDatabase) << "last id from cache" << QString::number(oldestRow);
        select.bindValue(QStringLiteral(":id"), oldestRow);
    } else {
        qCDebug(lcDatabase) << "No id found, fetching 30 latest..";
    }
    mRangeFlag = found;
    if (!statement.isPrepared() || !select.exec()) {
        qCCritical(lcDatabase) << "Failed to fetch items from cache" << select.lastError().text();
        noteFailure(select.lastError());
        return;
    }

    // Newest first, so that of two rows of one post the older one stays in the list.
    while (select.next()) {
        CachedItem item;
        item.rowId = select.value(0).toLongLong();
        item.quillnetId = select.value(1).toString();
        item.homeviewId = select.value(2).toLongLong();
        item.likes = select.value(3).toInt();
        item.comments = select.value(4).toInt();
        qCDebug(lcDatabase) << item.rowId << item.quillnetId << item.homeviewId << item.likes << item.comments;
        mCheckList.insert(item.quillnetId, item);
    }
    qCDebug(lcDatabase) << "prepare for checks done";
}

DaemonDatabase::CheckResult DaemonDatabase::checkPost(const Qn::QnPost *post, qint64 *homeviewId)
{
    if (!post) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "No post given";
        return ItemUnchanged;
    }

    const auto entry = mCheckList.constFind(post->id());
    if (entry == mCheckList.constEnd()) {
        qCDebug(lcDatabase) << "Adding post" << post->id();
        return ItemAdd;
    }
    const CachedItem item = entry.value();
    mCheckList.erase(entry);

    if (item.likes == post->likes() && item.comments == post->commentCount())
        return ItemUnchanged;

    Support::StatementCache::Statement statement = mStatements.statement(
            mDb, QStringLiteral("UPDATE items SET likes = :likes, comments = :comments WHERE id = :id;"));
    const bool prepared = statement.isPrepared();
    QSqlQuery &update = statement.query();
    update.bindValue(QStringLiteral(":likes"), post->likes());
    update.bindValue(QStringLiteral(":comments"), post->commentCount());
    update.bindValue(QStringLiteral(":id"), item.rowId);
    // The Event Feed is updated anyway; the next pass then finds the old counts and updates again.
    if (!prepared || !update.exec())
        qCWarning(lcDatabase) << "Failed to update row in cache!" << update.lastError().text();

    if (homeviewId)
        *homeviewId = item.homeviewId;
    qCDebug(lcDatabase) << "Updating post" << post->id();
    return ItemUpdate;
}

bool DaemonDatabase::addPostToDb(const Qn::QnPost *post, qint64 homeviewId)
{
    if (!post) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "No post given";
        return false;
    }

    Support::StatementCache::Statement statement
            = mStatements.statement(mDb,
                                    QStringLiteral("INSERT INTO items(quillnet_id, homeview_id, likes, comments) "
                                                   "VALUES (:quillnet_id, :homeview_id, :likes, :comments);"));
    const bool prepared = statement.isPrepared();
    QSqlQuery &insert = statement.query();
    insert.bindValue(QStringLiteral(":homeview_id"), homeviewId);
    insert.bindValue(QStringLiteral(":quillnet_id"), Support::bindableText(post->id()));
    insert.bindValue(QStringLiteral(":likes"), post->likes());
    insert.bindValue(QStringLiteral(":comments"), post->commentCount());
    if (!prepared || !insert.exec()) {
        qCCritical(lcDatabase) << Q_FUNC_INFO << "Error: Insert failed. " << insert.lastError().text();
        noteFailure(insert.lastError());
        return false;
    }
    return true;
}

bool DaemonDatabase::isCheckListEmpty() const
{
    return mCheckList.isEmpty();
}

bool DaemonDatabase::hasItemsToRemove() const
{
    return mRangeFlag && !mCheckList.isEmpty();
}

QList<qint64> DaemonDatabase::removeStaleItems()
{
    QList<qint64> rowIds;
    QList<qint64> homeviewIds;
    QStringList rowTexts;
    for (auto entry = mCheckList.constBegin(); entry != mCheckList.constEnd(); ++entry) {
        qCDebug(lcDatabase) << "Item:" << entry.key() << "marked for deletion";
        rowIds << entry->rowId;
        rowTexts << QString::number(entry->rowId);
        homeviewIds << entry->homeviewId;
    }
    if (rowIds.isEmpty())
        return {};
    qCDebug(lcDatabase) << rowTexts.join(QLatin1Char(','));

    // One statement: either all rows go or none, so that a failure leaves every one of them for a
    // later pass.
    Support::StatementCache::Statement statement = mStatements.statement(
            mDb, QStringLiteral("DELETE FROM items WHERE id IN (SELECT value FROM json_each(?))"));
    QSqlQuery &remove = statement.query();
    remove.addBindValue(jsonList(rowIds));
    if (!statement.isPrepared() || !remove.exec()) {
        qCCritical(lcDatabase) << "Failed to delete items from cache!" << remove.lastError().text();
        return {};
    }
    return homeviewIds;
}

bool DaemonDatabase::removeAllItems()
{
    QSqlQuery remove(mDb);
    if (!remove.exec(QStringLiteral("DELETE FROM items"))) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Failed to delete items from cache!" << remove.lastError().text();
        return false;
    }
    qCDebug(lcDatabase) << Q_FUNC_INFO << remove.numRowsAffected();
    return true;
}

void DaemonDatabase::releaseMemory()
{
    if (mDb.isOpen())
        Support::releaseMemory(mDb);
}

QString DaemonDatabase::itemsOwner()
{
    QSqlQuery select(mDb);
    if (!select.exec(QStringLiteral("SELECT owner FROM items_owner")) || !select.next()) {
        if (select.lastError().isValid())
            qCWarning(lcDatabase) << Q_FUNC_INFO << select.lastError().text();
        return QString();
    }
    return select.value(0).toString();
}

bool DaemonDatabase::setItemsOwner(const QString &owner, bool forgetItems)
{
    const bool transaction = mDb.transaction();
    QSqlQuery query(mDb);
    bool ok = (!forgetItems || query.exec(QStringLiteral("DELETE FROM items")))
            && query.exec(QStringLiteral("DELETE FROM items_owner"));
    if (ok) {
        query.prepare(QStringLiteral("INSERT INTO items_owner(owner) VALUES (?)"));
        query.addBindValue(Support::bindableText(owner));
        ok = query.exec();
    }
    if (ok && (!transaction || mDb.commit()))
        return true;
    qCWarning(lcDatabase) << Q_FUNC_INFO << "Unable to record the Event Feed" << query.lastError().text()
                          << mDb.lastError().text();
    noteFailure(query.lastError());
    if (transaction)
        mDb.rollback();
    return false;
}

bool DaemonDatabase::markShown(const QString &id, const QString &type)
{
    return markItem(ShownTable, id, type);
}

int DaemonDatabase::markShown(const QStringList &ids, const QString &type)
{
    // Without a transaction (another connection holds the file) each mark commits on its own.
    const bool transaction = ids.size() > 1 && mDb.transaction();
    int marked = 0;
    for (const QString &id : ids)
        marked += markItem(ShownTable, id, type) ? 1 : 0;
    if (transaction && !mDb.commit()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Unable to record" << ids.size() << "shown items"
                              << mDb.lastError().text();
        mDb.rollback();
        return 0;
    }
    return marked;
}

bool DaemonDatabase::markSeen(const QString &id, const QString &type)
{
    return markItem(SeenTable, id, type);
}

QStringList DaemonDatabase::checkShownItems(const QStringList &ids, const QString &type)
{
    qCDebug(lcDatabase) << Q_FUNC_INFO << ids << type;
    return checkItems(ShownTable, ids, type);
}

QStringList DaemonDatabase::checkSeenItems(const QStringList &ids, const QString &type)
{
    qCDebug(lcDatabase) << Q_FUNC_INFO << ids << type;
    return checkItems(SeenTable, ids, type);
}

bool DaemonDatabase::markItem(const QString &table, const QString &id, const QString &type)
{
    qCDebug(lcDatabase) << Q_FUNC_INFO << table << id << type;
    if (!isItemType(type)) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Unknown type:" << type;
        return false;
    }
    // Nothing the daemon shows has an empty key; such a mark comes from a confused caller.
    if (id.isEmpty()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Empty id";
        return false;
    }

    // The table is one of the two names above, never caller input.
    Support::StatementCache::Statement statement
            = mStatements.statement(mDb, QStringLiteral("INSERT INTO %1 (id,type) values (:id, :type)").arg(table));
    const bool prepared = statement.isPrepared();
    QSqlQuery &insert = statement.query();
    insert.bindValue(QStringLiteral(":id"), id);
    insert.bindValue(QStringLiteral(":type"), type);
    // An id that is already recorded ends here too: it is the table's primary key.
    if (!prepared || !insert.exec()) {
        qCWarning(lcDatabase) << "Failed to exec sql query" << insert.lastError().text();
        noteFailure(insert.lastError());
        qCDebug(lcDatabase) << "Failing query:" << insert.lastQuery() << id << type;
        return false;
    }
    return true;
}

QStringList DaemonDatabase::checkItems(const QString &table, const QStringList &ids, const QString &type)
{
    if (ids.isEmpty())
        return {};
    if (!isItemType(type)) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Unknown type:" << type;
        return {};
    }

    // The table is one of the two names above, never caller input.
    Support::StatementCache::Statement statement = mStatements.statement(
            mDb,
            QStringLiteral("SELECT id FROM %1 WHERE type==? AND id IN (SELECT value FROM json_each(?))").arg(table));
    QSqlQuery &select = statement.query();
    select.addBindValue(type);
    select.addBindValue(jsonList(ids));
    if (!statement.isPrepared() || !select.exec()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "query execution failed" << select.lastError().text();
        noteFailure(select.lastError());
        qCDebug(lcDatabase) << "Failing query:" << select.lastQuery() << type << ids;
        return {};
    }
    QStringList recorded;
    while (select.next())
        recorded << select.value(0).toString();
    return recorded;
}

QStringList DaemonDatabase::shownKeysOf(const QString &id, const QString &type)
{
    return keysOf(QStringLiteral("shown_items"), id, type);
}

QStringList DaemonDatabase::seenKeysOf(const QString &id, const QString &type)
{
    return keysOf(QStringLiteral("seen_items"), id, type);
}

QStringList DaemonDatabase::keysOf(const QString &table, const QString &id, const QString &type)
{
    if (id.isEmpty() || !isItemType(type))
        return {};
    // The table is one of the two names above, never caller input. substr() rather than LIKE: an id
    // may hold LIKE's wildcards.
    Support::StatementCache::Statement statement = mStatements.statement(
            mDb,
            QStringLiteral("SELECT id FROM %1 WHERE type==? AND (id==? OR substr(id, 1, ?)==?) LIMIT %2")
                    .arg(table)
                    .arg(MaxKeysOfId));
    QSqlQuery &select = statement.query();
    select.addBindValue(type);
    select.addBindValue(id);
    select.addBindValue(id.size() + 1);
    select.addBindValue(id + QLatin1Char('.'));
    if (!statement.isPrepared() || !select.exec()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "query execution failed" << select.lastError().text();
        noteFailure(select.lastError());
        return {};
    }
    QStringList keys;
    while (select.next())
        keys << select.value(0).toString();
    return keys;
}

int DaemonDatabase::itemCount()
{
    Support::StatementCache::Statement statement
            = mStatements.statement(mDb, QStringLiteral("SELECT COUNT(*) FROM items"));
    QSqlQuery &select = statement.query();
    if (!statement.isPrepared() || !select.exec() || !select.next()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "query execution failed" << select.lastError().text();
        noteFailure(select.lastError());
        return -1;
    }
    return select.value(0).toInt();
}

DaemonDatabase::VersionCheck DaemonDatabase::checkVersion()
{
    // Read rather than asked through QSqlDatabase::tables(), which answers a failed read (a lock,
    // a damaged file) with an empty list that would look like a new database.
    QSqlQuery tables(mDb);
    if (!tables.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'")))
        return readFailure(tables.lastError());
    bool hasVersionTable = false;
    while (tables.next())
        hasVersionTable = hasVersionTable || tables.value(0).toString() == QLatin1String("version");
    if (tables.lastError().isValid())
        return readFailure(tables.lastError());
    if (!hasVersionTable) {
        qCDebug(lcDatabase) << "DB schema changed, version table not found. Reseting all";
        return VersionReset;
    }

    QSqlQuery query(mDb);
    if (!query.exec(QStringLiteral("SELECT * FROM version"))) {
        qCWarning(lcDatabase) << "Failed to check version table!";
        return readFailure(query.lastError());
    }

    bool ok = false;
    qlonglong version = 0;
    if (query.next() && !query.value(0).isNull())
        version = query.value(0).toLongLong(&ok);
    if (query.lastError().isValid()) {
        qCWarning(lcDatabase) << "Failed to check version table!";
        return readFailure(query.lastError());
    }
    if (!ok) {
        qCWarning(lcDatabase) << "Could not check database version, reseting all";
        return VersionReset;
    }
    if (version < SchemaVersion) {
        qCDebug(lcDatabase) << "DB version is lower than needed, reseting all";
        return VersionReset;
    }
    return VersionCurrent;
}

DaemonDatabase::VersionCheck DaemonDatabase::readFailure(const QSqlError &error)
{
    if (Support::isDamage(error)) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Database file is damaged:" << error.text()
                              << "- moving it aside and rebuilding";
        return VersionDamaged;
    }
    if (Support::isBusy(error))
        qCWarning(lcDatabase) << Q_FUNC_INFO << mDbName << "stayed locked by another program for" << mLockTimeoutMs
                              << "ms; its content is left as it is";
    else
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Unable to read" << mDbName << error.text();
    return VersionUnreadable;
}

bool DaemonDatabase::openDatabase()
{
    // Never opened through a link: that would write another program's file.
    if (!Support::prepareDatabaseFile(mDbName) || !mDb.open()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Unable to open database" << mDbName << mDb.lastError().text();
        return false;
    }
    return true;
}

void DaemonDatabase::useWriteAheadLog()
{
    // Every mark is a transaction of its own, written right after the call it records. With a
    // rollback journal each commit waits for the disk several times; with a write-ahead log and
    // normal syncing a commit is an append that survives the daemon being killed, and only a power
    // loss can take back the last commits. A file that cannot switch (locked, or on a file system
    // without shared memory) keeps its journal and works as before.
    QSqlQuery pragma(mDb);
    if (!pragma.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !pragma.next()
        || pragma.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        qCDebug(lcDatabase) << Q_FUNC_INFO << mDbName << "keeps its rollback journal" << pragma.lastError().text();
        return;
    }
    // The log is folded back into the file every 200 pages and then cut to 1 MiB, so that a daemon
    // running for weeks keeps a small log (it is removed when the daemon ends).
    for (const char *setting :
         {"PRAGMA synchronous = NORMAL", "PRAGMA wal_autocheckpoint = 200", "PRAGMA journal_size_limit = 1048576"}) {
        if (!pragma.exec(QLatin1String(setting)))
            qCDebug(lcDatabase) << Q_FUNC_INFO << setting << pragma.lastError().text();
    }
}

void DaemonDatabase::setBusyTimeout(int milliseconds)
{
    QSqlQuery pragma(mDb);
    // A number of ours, not outside input.
    if (!pragma.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(milliseconds)))
        qCWarning(lcDatabase) << Q_FUNC_INFO << pragma.lastError().text();
}

void DaemonDatabase::createTables(QSqlQuery &query)
{
    query.exec(QStringLiteral("CREATE TABLE version (version INT NOT NULL);"));
    query.exec(QStringLiteral("CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                              "quillnet_id TEXT NOT NULL,homeview_id INT NOT NULL,"
                              "likes INT NOT NULL,comments INT NOT NULL);"));
    query.exec(QStringLiteral("CREATE TABLE clear_date (day INT NOT NULL,month INT NOT NULL,"
                              "year INT NOT NULL);"));
    query.exec(QStringLiteral("CREATE TABLE seen_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);"));
    query.exec(QStringLiteral("CREATE TABLE shown_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);"));
    query.exec(QStringLiteral("CREATE TABLE items_owner (owner TEXT NOT NULL);"));
}

bool DaemonDatabase::completeSchema()
{
    // The statements fail for every table that exists: that is how existing data survives.
    QSqlQuery query(mDb);
    createTables(query);
    updateClearDate(false);
    return true;
}

bool DaemonDatabase::resetSchema()
{
    // One transaction: a reset is either complete, with its version row, or not done at all
    // (and costs one sync of the file instead of one per statement).
    if (!mDb.transaction()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "Unable to start the reset" << mDb.lastError().text();
        return false;
    }
    QSqlQuery query(mDb);
    bool ok = true;
    for (const char *table : {"items", "clear_date", "version", "seen_items", "shown_items", "items_owner"}) {
        ok = ok && query.exec(QStringLiteral("DROP TABLE IF EXISTS ") + QLatin1String(table));
    }
    if (ok) {
        createTables(query);
        updateClearDate(false);
        query.prepare(QStringLiteral("INSERT INTO version VALUES (:ver)"));
        query.bindValue(QStringLiteral(":ver"), SchemaVersion);
        ok = query.exec();
    }
    if (ok && mDb.commit())
        return true;
    qCWarning(lcDatabase) << Q_FUNC_INFO << "Unable to reset the database" << query.lastError().text()
                          << mDb.lastError().text();
    mDb.rollback();
    return false;
}

void DaemonDatabase::closeDatabase()
{
    mStatements.clear();
    mDb.close();
}

void DaemonDatabase::noteFailure(const QSqlError &error)
{
    // A file that went bad while in use is rebuilt as at start-up, once the work that found it has
    // returned; until then its queries keep failing.
    if (mRebuildQueued || !Support::isDamage(error))
        return;
    mRebuildQueued = true;
    QMetaObject::invokeMethod(this, &DaemonDatabase::rebuildDamaged, Qt::QueuedConnection);
}

void DaemonDatabase::rebuildDamaged()
{
    mRebuildQueued = false;
    qCWarning(lcDatabase) << Q_FUNC_INFO << "Database file is damaged - moving it aside and rebuilding";
    mCheckList.clear();
    if (!moveDamagedFileAside() || !openDatabase() || !resetSchema()) {
        qCWarning(lcDatabase) << Q_FUNC_INFO << "The damaged database could not be rebuilt";
        return;
    }
    useWriteAheadLog();
    setBusyTimeout(BusyTimeoutMs);
    Support::limitPageCache(mDb);
    emit dbReseted();
}

bool DaemonDatabase::moveDamagedFileAside()
{
    closeDatabase();
    const QString kept = Support::moveAside(mDbName);
    if (kept.isEmpty())
        return false;
    qCWarning(lcDatabase) << Q_FUNC_INFO << "Damaged database kept as" << kept;
    return true;
}
