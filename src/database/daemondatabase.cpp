#include "database/daemondatabase.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QStringList>

namespace {

const QString ConnectionName = QStringLiteral("quillnet-daemon-connection");

// SQLite result codes that mean the file itself is unusable, as opposed to busy or locked.
constexpr int SqliteCorrupt = 11;
constexpr int SqliteNotADatabase = 26;

bool isDamage(const QSqlError &error)
{
    bool ok = false;
    // The low byte is the primary code, also when extended codes are reported.
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    return ok && (code == SqliteCorrupt || code == SqliteNotADatabase);
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

    bool reset = checkVersion();
    buildSchema(reset);

    // A file with a damaged header opens fine and lets every statement above fail quietly;
    // only reading back tells that nothing was built.
    const QSqlError readError = versionReadError();
    if (isDamage(readError)) {
        qWarning() << Q_FUNC_INFO << "Database file is damaged:" << readError.text()
                   << "- moving it aside and rebuilding";
        if (!moveDamagedFileAside() || !openDatabase())
            return false;
        reset = true;
        buildSchema(false);
        const QSqlError rebuildError = versionReadError();
        if (rebuildError.isValid()) {
            qWarning() << Q_FUNC_INFO << "Rebuilt database is unreadable too:"
                       << rebuildError.text();
            mDb.close();
            return false;
        }
    }

    updateClearDate(false);

    if (reset) {
        QSqlQuery insert(mDb);
        insert.prepare(QStringLiteral("INSERT INTO version VALUES (:ver)"));
        insert.bindValue(QStringLiteral(":ver"), SchemaVersion);
        // Without the row the next start resets again, which is safe.
        if (!insert.exec())
            qWarning() << Q_FUNC_INFO << "Unable to store schema version" << insert.lastError().text();
        emit dbReseted();
    }
    return true;
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
        const QDate stored(select.value(2).toInt(), select.value(1).toInt(), select.value(0).toInt());
        qDebug() << "Last clear date found:" << stored;
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

bool DaemonDatabase::checkVersion()
{
    if (!mDb.tables(QSql::Tables).contains(QStringLiteral("version"))) {
        qDebug() << "DB schema changed, version table not found. Reseting all";
        return true;
    }

    QSqlQuery query(mDb);
    if (!query.exec(QStringLiteral("SELECT * FROM version"))) {
        qCritical() << "Failed to check version table!";
        return true;
    }

    bool ok = false;
    qlonglong version = 0;
    if (query.next() && !query.value(0).isNull())
        version = query.value(0).toLongLong(&ok);
    if (!ok) {
        qWarning() << "Could not check database version, reseting all";
        return true;
    }
    if (version < SchemaVersion) {
        qDebug() << "DB version is lower than needed, reseting all";
        return true;
    }
    return false;
}

bool DaemonDatabase::openDatabase()
{
    // Created here rather than by SQLite, so that the file is the user's only from the start.
    if (!QFileInfo::exists(mDbName)) {
        QFile file(mDbName);
        // A failure here shows up as a failed open below.
        file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    if (!mDb.open()) {
        qWarning() << Q_FUNC_INFO << "Unable to open database" << mDbName << mDb.lastError().text();
        return false;
    }
    restrictPermissions();
    return true;
}

void DaemonDatabase::restrictPermissions()
{
    if (!QFile::setPermissions(mDbName, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        qWarning() << Q_FUNC_INFO << "Unable to restrict the permissions of" << mDbName;
}

void DaemonDatabase::buildSchema(bool reset)
{
    // Failures are expected: DROP of a missing table, CREATE of an existing one. Creating over
    // an existing schema is what keeps its data.
    QSqlQuery query(mDb);
    if (reset) {
        for (const char *table : {"items", "clear_date", "version", "seen_items", "shown_items"})
            query.exec(QStringLiteral("DROP TABLE ") + QLatin1String(table));
    }
    query.exec(QStringLiteral("CREATE TABLE version (version INT NOT NULL);"));
    query.exec(QStringLiteral("CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                              "quillnet_id TEXT NOT NULL,homeview_id INT NOT NULL,"
                              "likes INT NOT NULL,comments INT NOT NULL);"));
    query.exec(QStringLiteral("CREATE TABLE clear_date (day INT NOT NULL,month INT NOT NULL,"
                              "year INT NOT NULL);"));
    query.exec(QStringLiteral("CREATE TABLE seen_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);"));
    query.exec(QStringLiteral("CREATE TABLE shown_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);"));
}

QSqlError DaemonDatabase::versionReadError()
{
    QSqlQuery query(mDb);
    if (!query.exec(QStringLiteral("SELECT version FROM version")))
        return query.lastError();
    // An empty table is fine here; a row that cannot be stepped to is not.
    if (!query.next() && query.lastError().isValid())
        return query.lastError();
    return QSqlError();
}

bool DaemonDatabase::moveDamagedFileAside()
{
    mDb.close();

    // The damaged file is kept for inspection as "<name>.corrupt-<yyyyMMddhhmmss>" (local
    // time; ".<n>" appended if that name is taken). Its journal files get the same suffix, so
    // that SQLite cannot replay them into the new file.
    QString suffix = QStringLiteral(".corrupt-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    const QString stamped = suffix;
    for (int n = 1; QFileInfo::exists(mDbName + suffix); ++n)
        suffix = stamped + QLatin1Char('.') + QString::number(n);

    if (!QFile::rename(mDbName, mDbName + suffix)) {
        qWarning() << Q_FUNC_INFO << "Unable to move the damaged database" << mDbName << "aside";
        return false;
    }
    qWarning() << Q_FUNC_INFO << "Damaged database kept as" << mDbName + suffix;

    for (const char *companion : {"-journal", "-wal", "-shm"}) {
        const QString path = mDbName + QLatin1String(companion);
        if (QFileInfo::exists(path) && !QFile::rename(path, path + suffix) && !QFile::remove(path))
            qWarning() << Q_FUNC_INFO << "Unable to move" << path << "aside";
    }
    return true;
}
