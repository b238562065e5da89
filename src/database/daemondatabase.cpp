#include "database/daemondatabase.h"

#include "common/constants.h"
#include "platform/support/files.h"
#include "platform/support/ids.h"
#include "platform/support/sqlitefile.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QStringList>

namespace {

const QString ConnectionName = QStringLiteral("quillnet-daemon-connection");

// How long a statement waits for another connection's lock once the database is in use.
constexpr int BusyTimeoutMs = 5000;

const QString ShownTable = QStringLiteral("shown_items");
const QString SeenTable = QStringLiteral("seen_items");

// Values bound to one "IN (...)" list. Old SQLite builds accept at most 999 bound values per
// statement; longer lists are split.
constexpr int MaxListValues = 500;

template<typename T>
QList<QList<T>> splitList(const QList<T> &values)
{
    QList<QList<T>> parts;
    for (qsizetype start = 0; start < values.size(); start += MaxListValues)
        parts << values.mid(start, MaxListValues);
    return parts;
}

// "?,?,?" for count values.
QString placeholders(qsizetype count)
{
    QString text;
    text.reserve(count * 2);
    for (qsizetype i = 0; i < count; ++i)
        text += i == 0 ? QLatin1String("?") : QLatin1String(",?");
    return text;
}

bool isItemType(const QString &type)
{
    return type == Constants::FriendRequestType || type == Constants::EventType || type == Constants::MessageType
            || type == Constants::NotificationType;
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
    qDebug() << Q_FUNC_INFO << dbName;
    mDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
    mDb.setDatabaseName(dbName);
}

DaemonDatabase::~DaemonDatabase()
{
    if (mDb.isValid() && mDb.isOpen())
        mDb.close();
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
            qWarning() << Q_FUNC_INFO << "The rebuilt database cannot be read either";
            mDb.close();
            return false;
        }
    }
    if (check == VersionUnreadable) {
        mDb.close();
        return false;
    }

    const bool reset = check == VersionReset;
    if (reset ? !resetSchema() : !completeSchema()) {
        mDb.close();
        return false;
    }
    setBusyTimeout(BusyTimeoutMs);
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
        qWarning() << "Failed to request last clear date" << select.lastError().text();
        return;
    }
    if (select.next()) {
        qDebug() << "Last clear date found:" << storedClearDate(select);
        return;
    }

    const QDate today = QDate::currentDate();
    QSqlQuery insert(mDb);
    insert.prepare(QStringLiteral("INSERT INTO clear_date(day, month, year)VALUES (:day, :month, :year);"));
    insert.bindValue(QStringLiteral(":day"), today.day());
    insert.bindValue(QStringLiteral(":month"), today.month());
    insert.bindValue(QStringLiteral(":year"), today.year());
    if (insert.exec())
        qDebug() << "Last clear date set:" << today;
    else
        qWarning() << "Unable to set last clear date" << insert.lastError().text();
}

bool DaemonDatabase::isClearNeeded()
{
    QSqlQuery select(mDb);
    if (!select.exec(QStringLiteral("SELECT * FROM clear_date;"))) {
        qWarning() << "Failed to request last clear date" << select.lastError().text();
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
        qDebug() << "Last clear date" << stored << "is later than today, cleaning up anyway";
    return true;
}

void DaemonDatabase::prepareForChecks(const Qn::QnPosts &posts)
{
    QStringList ids;
    ids.reserve(posts.size());
    for (const Qn::QnPost &post : posts)
        ids << Support::bindableText(post.id());
    ids = Support::uniqueIds(ids);

    mCheckList.clear();

    // The oldest cached row of the batch. An empty batch has none, like a batch that is not
    // cached at all.
    bool found = false;
    qint64 oldestRow = 0;
    for (const QStringList &part : splitList(ids)) {
        QSqlQuery minimum(mDb);
        const bool prepared = minimum.prepare(
                QStringLiteral("SELECT MIN(id) FROM items WHERE quillnet_id IN (%1)").arg(placeholders(part.size())));
        for (const QString &id : part)
            minimum.addBindValue(id);
        if (!prepared || !minimum.exec()) {
            qCritical() << "Failed to fetch last qn id for the group" << minimum.lastError().text();
            noteFailure(minimum.lastError());
            return;
        }
        if (minimum.next() && !minimum.value(0).isNull()) {
            const qint64 row = minimum.value(0).toLongLong();
            if (!found || row < oldestRow)
                oldestRow = row;
            found = true;
        }
    }

    QSqlQuery select(mDb);
    bool prepared = false;
    if (found) {
        qDebug() << "last id from cache" << QString::number(oldestRow);
        prepared = select.prepare(QStringLiteral("SELECT * FROM items WHERE id>=:id ORDER BY id DESC"));
        select.bindValue(QStringLiteral(":id"), oldestRow);
        mRangeFlag = true;
    } else {
        qDebug() << "No id found, fetching 30 latest..";
        prepared = select.prepare(QStringLiteral("SELECT * FROM items ORDER BY id DESC LIMIT 0,30"));
        mRangeFlag = false;
    }
    if (!prepared || !select.exec()) {
        qCritical() << "Failed to fetch items from cache" << select.lastError().text();
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
        qDebug() << item.rowId << item.quillnetId << item.homeviewId << item.likes << item.comments;
        mCheckList.insert(item.quillnetId, item);
    }
    qDebug() << "prepare for checks done";
}

DaemonDatabase::CheckResult DaemonDatabase::checkPost(const Qn::QnPost *post, qint64 *homeviewId)
{
    if (!post) {
        qWarning() << Q_FUNC_INFO << "No post given";
        return ItemUnchanged;
    }

    const auto entry = mCheckList.constFind(post->id());
    if (entry == mCheckList.constEnd()) {
        qDebug() << "Adding post" << post->id();
        return ItemAdd;
    }
    const CachedItem item = entry.value();
    mCheckList.erase(entry);

    if (item.likes == post->likes() && item.comments == post->commentCount())
        return ItemUnchanged;

    QSqlQuery update(mDb);
    const bool prepared
            = update.prepare(QStringLiteral("UPDATE items SET likes = :likes, comments = :comments WHERE id = :id;"));
    update.bindValue(QStringLiteral(":likes"), post->likes());
    update.bindValue(QStringLiteral(":comments"), post->commentCount());
    update.bindValue(QStringLiteral(":id"), item.rowId);
    // The Event Feed is updated anyway; the next pass then finds the old counts and updates again.
    if (!prepared || !update.exec())
        qWarning() << "Failed to update row in cache!" << update.lastError().text();

    if (homeviewId)
        *homeviewId = item.homeviewId;
    qDebug() << "Updating post" << post->id();
    return ItemUpdate;
}

bool DaemonDatabase::addPostToDb(const Qn::QnPost *post, qint64 homeviewId)
{
    if (!post) {
        qWarning() << Q_FUNC_INFO << "No post given";
        return false;
    }

    QSqlQuery insert(mDb);
    const bool prepared = insert.prepare(QStringLiteral("INSERT INTO items(quillnet_id, homeview_id, likes, comments) "
                                                        "VALUES (:quillnet_id, :homeview_id, :likes, :comments);"));
    insert.bindValue(QStringLiteral(":homeview_id"), homeviewId);
    insert.bindValue(QStringLiteral(":quillnet_id"), Support::bindableText(post->id()));
    insert.bindValue(QStringLiteral(":likes"), post->likes());
    insert.bindValue(QStringLiteral(":comments"), post->commentCount());
    if (!prepared || !insert.exec()) {
        qCritical() << Q_FUNC_INFO << "Error: Insert failed. " << insert.lastError().text();
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
        qDebug() << "Item:" << entry.key() << "marked for deletion";
        rowIds << entry->rowId;
        rowTexts << QString::number(entry->rowId);
        homeviewIds << entry->homeviewId;
    }
    if (rowIds.isEmpty())
        return {};
    qDebug() << rowTexts.join(QLatin1Char(','));

    // Either all rows go or none, so that a failure leaves every one of them for a later pass.
    const QList<QList<qint64>> parts = splitList(rowIds);
    const bool transaction = parts.size() > 1 && mDb.transaction();
    for (const QList<qint64> &part : parts) {
        QSqlQuery remove(mDb);
        const bool prepared
                = remove.prepare(QStringLiteral("DELETE FROM items WHERE id IN(%1)").arg(placeholders(part.size())));
        for (qint64 rowId : part)
            remove.addBindValue(rowId);
        if (!prepared || !remove.exec()) {
            qCritical() << "Failed to delete items from cache!" << remove.lastError().text();
            if (transaction)
                mDb.rollback();
            return {};
        }
    }
    if (transaction && !mDb.commit()) {
        qCritical() << "Failed to delete items from cache!" << mDb.lastError().text();
        mDb.rollback();
        return {};
    }
    return homeviewIds;
}

bool DaemonDatabase::removeAllItems()
{
    QSqlQuery remove(mDb);
    if (!remove.exec(QStringLiteral("DELETE FROM items"))) {
        qWarning() << Q_FUNC_INFO << "Failed to delete items from cache!" << remove.lastError().text();
        return false;
    }
    qDebug() << Q_FUNC_INFO << remove.numRowsAffected();
    return true;
}

bool DaemonDatabase::markShown(const QString &id, const QString &type)
{
    return markItem(ShownTable, id, type);
}

bool DaemonDatabase::markSeen(const QString &id, const QString &type)
{
    return markItem(SeenTable, id, type);
}

QStringList DaemonDatabase::checkShownItems(const QStringList &ids, const QString &type)
{
    qDebug() << Q_FUNC_INFO << ids << type;
    return checkItems(ShownTable, ids, type);
}

QStringList DaemonDatabase::checkSeenItems(const QStringList &ids, const QString &type)
{
    qDebug() << Q_FUNC_INFO << ids << type;
    return checkItems(SeenTable, ids, type);
}

bool DaemonDatabase::markItem(const QString &table, const QString &id, const QString &type)
{
    qDebug() << Q_FUNC_INFO << table << id << type;
    if (!isItemType(type)) {
        qWarning() << Q_FUNC_INFO << "Unknown type:" << type;
        return false;
    }
    // Nothing the daemon shows has an empty key; such a mark comes from a confused caller.
    if (id.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "Empty id";
        return false;
    }

    // The table is one of the two names above, never caller input.
    QSqlQuery insert(mDb);
    const bool prepared = insert.prepare(QStringLiteral("INSERT INTO %1 (id,type) values (:id, :type)").arg(table));
    insert.bindValue(QStringLiteral(":id"), id);
    insert.bindValue(QStringLiteral(":type"), type);
    // An id that is already recorded ends here too: it is the table's primary key.
    if (!prepared || !insert.exec()) {
        qWarning() << "Failed to exec sql query" << insert.lastError().text();
        noteFailure(insert.lastError());
        qDebug() << "Failing query:" << insert.lastQuery() << id << type;
        return false;
    }
    return true;
}

QStringList DaemonDatabase::checkItems(const QString &table, const QStringList &ids, const QString &type)
{
    if (ids.isEmpty())
        return {};
    if (!isItemType(type)) {
        qWarning() << Q_FUNC_INFO << "Unknown type:" << type;
        return {};
    }

    QStringList recorded;
    for (const QStringList &part : splitList(Support::uniqueIds(ids))) {
        QSqlQuery select(mDb);
        const bool prepared = select.prepare(
                QStringLiteral("SELECT id FROM %1 WHERE type==? AND id IN (%2)").arg(table, placeholders(part.size())));
        select.addBindValue(type);
        for (const QString &id : part)
            select.addBindValue(id);
        if (!prepared || !select.exec()) {
            qWarning() << Q_FUNC_INFO << "query execution failed" << select.lastError().text();
            noteFailure(select.lastError());
            qDebug() << "Failing query:" << select.lastQuery() << type << part;
            return {};
        }
        while (select.next())
            recorded << select.value(0).toString();
    }
    return recorded;
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
        qDebug() << "DB schema changed, version table not found. Reseting all";
        return VersionReset;
    }

    QSqlQuery query(mDb);
    if (!query.exec(QStringLiteral("SELECT * FROM version"))) {
        qWarning() << "Failed to check version table!";
        return readFailure(query.lastError());
    }

    bool ok = false;
    qlonglong version = 0;
    if (query.next() && !query.value(0).isNull())
        version = query.value(0).toLongLong(&ok);
    if (query.lastError().isValid()) {
        qWarning() << "Failed to check version table!";
        return readFailure(query.lastError());
    }
    if (!ok) {
        qWarning() << "Could not check database version, reseting all";
        return VersionReset;
    }
    if (version < SchemaVersion) {
        qDebug() << "DB version is lower than needed, reseting all";
        return VersionReset;
    }
    return VersionCurrent;
}

DaemonDatabase::VersionCheck DaemonDatabase::readFailure(const QSqlError &error)
{
    if (Support::isDamage(error)) {
        qWarning() << Q_FUNC_INFO << "Database file is damaged:" << error.text() << "- moving it aside and rebuilding";
        return VersionDamaged;
    }
    if (Support::isBusy(error))
        qWarning() << Q_FUNC_INFO << mDbName << "stayed locked by another program for" << mLockTimeoutMs
                   << "ms; its content is left as it is";
    else
        qWarning() << Q_FUNC_INFO << "Unable to read" << mDbName << error.text();
    return VersionUnreadable;
}

bool DaemonDatabase::openDatabase()
{
    // Never opened through a link: that would write another program's file.
    if (!Support::prepareDatabaseFile(mDbName) || !mDb.open()) {
        qWarning() << Q_FUNC_INFO << "Unable to open database" << mDbName << mDb.lastError().text();
        return false;
    }
    return true;
}

void DaemonDatabase::setBusyTimeout(int milliseconds)
{
    QSqlQuery pragma(mDb);
    // A number of ours, not outside input.
    if (!pragma.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(milliseconds)))
        qWarning() << Q_FUNC_INFO << pragma.lastError().text();
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
        qWarning() << Q_FUNC_INFO << "Unable to start the reset" << mDb.lastError().text();
        return false;
    }
    QSqlQuery query(mDb);
    bool ok = true;
    for (const char *table : {"items", "clear_date", "version", "seen_items", "shown_items"}) {
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
    qWarning() << Q_FUNC_INFO << "Unable to reset the database" << query.lastError().text() << mDb.lastError().text();
    mDb.rollback();
    return false;
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
    qWarning() << Q_FUNC_INFO << "Database file is damaged - moving it aside and rebuilding";
    mCheckList.clear();
    if (!moveDamagedFileAside() || !openDatabase() || !resetSchema()) {
        qWarning() << Q_FUNC_INFO << "The damaged database could not be rebuilt";
        return;
    }
    setBusyTimeout(BusyTimeoutMs);
    emit dbReseted();
}

bool DaemonDatabase::moveDamagedFileAside()
{
    mDb.close();
    const QString kept = Support::moveAside(mDbName);
    if (kept.isEmpty())
        return false;
    qWarning() << Q_FUNC_INFO << "Damaged database kept as" << kept;
    return true;
}
