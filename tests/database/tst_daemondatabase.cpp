#include "database/daemondatabase.h"
#include "databaseinspector.h"
#include "testfiles.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QSemaphore>
#include <QThread>

namespace {

// A complete schema apart from the version table, with content that a reset must remove.
const QStringList SchemaWithoutVersion = {
        "CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT,quillnet_id TEXT NOT NULL,"
        "homeview_id INT NOT NULL,likes INT NOT NULL,comments INT NOT NULL);",
        "CREATE TABLE clear_date (day INT NOT NULL,month INT NOT NULL,year INT NOT NULL);",
        "CREATE TABLE seen_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);",
        "CREATE TABLE shown_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);",
        "INSERT INTO items(quillnet_id,homeview_id,likes,comments) VALUES ('p1',77,1,2)",
        "INSERT INTO seen_items VALUES ('n1','notif')",
        "INSERT INTO clear_date VALUES (3,2,2001)",
};

QStringList withVersions(const QStringList &values)
{
    QStringList statements = SchemaWithoutVersion;
    statements << "CREATE TABLE version (version INT NOT NULL);";
    for (const QString &value : values)
        statements << QStringLiteral("INSERT INTO version VALUES (%1)").arg(value);
    return statements;
}

void createDatabase(const QString &path, const QStringList &statements)
{
    Inspector db(path);
    for (const QString &statement : statements)
        QVERIFY2(db.exec(statement), qPrintable(statement));
}

const QFileDevice::Permissions UserOnly
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;

const QList<QVariantList> CurrentVersion = {{DaemonDatabase::SchemaVersion}};

} // namespace

class TestDaemonDatabase : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void versionDecidesReset_data();
    void versionDecidesReset();
    void damagedFileIsKeptAndRebuilt_data();
    void damagedFileIsKeptAndRebuilt();
    void fileDamagedWhileInUseIsRebuilt();
    void unopenablePathFails();
    void lockedFileIsNeverReset();

private:
    QTemporaryDir mDir;
};

void TestDaemonDatabase::init()
{
    // Every warning a test does not expect is a fault (a leftover connection, a failed query).
    QTest::failOnWarning(QRegularExpression(".*"));
    QVERIFY(mDir.isValid());
}

void TestDaemonDatabase::versionDecidesReset_data()
{
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QtMsgType>("logType");
    QTest::addColumn<QString>("log");

    const QString noTable = QStringLiteral("DB schema changed, version table not found. Reseting all");
    const QString tooOld = QStringLiteral("DB version is lower than needed, reseting all");
    const QString unreadable = QStringLiteral("Could not check database version, reseting all");
    const QStringList nullVersion = QStringList(SchemaWithoutVersion) << "CREATE TABLE version (version INT)"
                                                                      << "INSERT INTO version VALUES (NULL)";

    QTest::newRow("missing file") << QStringList() << true << QtDebugMsg << noTable;
    QTest::newRow("no version table") << SchemaWithoutVersion << true << QtDebugMsg << noTable;
    QTest::newRow("version 10") << withVersions({"10"}) << true << QtDebugMsg << tooOld;
    QTest::newRow("empty version table") << withVersions({}) << true << QtWarningMsg << unreadable;
    QTest::newRow("non-numeric version") << withVersions({"'eleven'"}) << true << QtWarningMsg << unreadable;
    QTest::newRow("null version") << nullVersion << true << QtWarningMsg << unreadable;
    QTest::newRow("first of two rows old") << withVersions({"3", "12"}) << true << QtDebugMsg << tooOld;
    QTest::newRow("version 11") << withVersions({"11"}) << false << QtDebugMsg << QString();
    QTest::newRow("version 12") << withVersions({"12"}) << false << QtDebugMsg << QString();
    QTest::newRow("version beyond int") << withVersions({"4294967297"}) << false << QtDebugMsg << QString();
    QTest::newRow("first of two rows current") << withVersions({"12", "3"}) << false << QtDebugMsg << QString();
}

void TestDaemonDatabase::versionDecidesReset()
{
    QFETCH(QStringList, setup);
    QFETCH(bool, reset);
    QFETCH(QtMsgType, logType);
    QFETCH(QString, log);

    const QString path = mDir.filePath(QTest::currentDataTag() + QStringLiteral(".db"));
    QList<QVariantList> versionsBefore;
    if (!setup.isEmpty()) {
        createDatabase(path, setup);
        versionsBefore = Inspector(path).rows("SELECT * FROM version");
        // Readable by others, as an older daemon may have left it.
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
    }

    DaemonDatabase db(path);
    QList<QList<QVariantList>> versionsAtSignal;
    connect(&db, &DaemonDatabase::dbReseted, this,
            [&] { versionsAtSignal << Inspector(path).rows("SELECT * FROM version"); });
    if (!log.isEmpty())
        QTest::ignoreMessage(logType, qPrintable(log));

    QVERIFY(db.init());

    QCOMPARE(QFile::permissions(path), UserOnly);
    Inspector inspector(path);
    QCOMPARE(inspector.tables(), Inspector::DaemonTables);
    QCOMPARE(inspector.rows("SELECT * FROM version"), reset ? CurrentVersion : versionsBefore);
    // The slots run inside init and rely on the version row being there.
    QCOMPARE(versionsAtSignal, reset ? QList<QList<QVariantList>> {CurrentVersion} : QList<QList<QVariantList>>());
    QCOMPARE(inspector.rows("SELECT quillnet_id, homeview_id FROM items")
                     + inspector.rows("SELECT id, type FROM seen_items"),
             reset ? QList<QVariantList>() : (QList<QVariantList> {{"p1", 77}, {"n1", "notif"}}));
    QCOMPARE(inspector.clearDate(), reset ? QDate::currentDate() : QDate(2001, 2, 3));
}

void TestDaemonDatabase::damagedFileIsKeptAndRebuilt_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("sqliteError");
    QTest::addColumn<bool>("versionUnreadable");

    QTest::newRow("garbage") << QByteArray("\x01garbage\xff").repeated(1000) << "file is not a database" << false;

    // A real database, one page per table, with its header or its table pages overwritten.
    const QString path = mDir.filePath("template.db");
    createDatabase(path, withVersions({"11"}));
    const QByteArray valid = readFile(path);
    QVERIFY(valid.size() > 3 * 4096);

    QTest::newRow("damaged header") << QByteArray(valid).replace(0, 16, "no database here") << "file is not a database"
                                    << false;
    QTest::newRow("damaged pages") << QByteArray(valid).replace(4096, valid.size() - 4096,
                                                                QByteArray(valid.size() - 4096, '\xa5'))
                                   << "database disk image is malformed" << true;
}

void TestDaemonDatabase::damagedFileIsKeptAndRebuilt()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, sqliteError);
    QFETCH(bool, versionUnreadable);

    QTemporaryDir dir;
    const QString path = dir.filePath("qndaemon-cache.db");
    QVERIFY(writeFile(path, content));

    DaemonDatabase db(path);
    QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Database file is damaged: \"" + sqliteError));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Damaged database kept as"));
    if (versionUnreadable)
        QTest::ignoreMessage(QtWarningMsg, "Failed to check version table!");

    QVERIFY(db.init());
    QCOMPARE(resetSpy.count(), 1);

    // Kept, renamed, and nothing else left beside the new file.
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 2);
    QVERIFY2(QRegularExpression("^qndaemon-cache\\.db\\.corrupt-\\d{14}$").match(files.last()).hasMatch(),
             qPrintable(files.last()));
    QCOMPARE(readFile(dir.filePath(files.last())), content);

    QCOMPARE(QFile::permissions(path), UserOnly);
    Inspector inspector(path);
    QCOMPARE(inspector.tables(), Inspector::DaemonTables);
    QCOMPARE(inspector.rows("SELECT * FROM version"), CurrentVersion);
    QCOMPARE(inspector.clearDate(), QDate::currentDate());
}

void TestDaemonDatabase::fileDamagedWhileInUseIsRebuilt()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("qndaemon-cache.db");
    DaemonDatabase db(path);
    QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
    QVERIFY(db.init());
    resetSpy.clear();
    // Enough marks for pages of their own beyond the first, and for a long run's write-ahead log,
    // which stays small.
    for (int i = 0; i < 1500; ++i)
        QVERIFY(db.markShown(QStringLiteral("n%1-%2").arg(i).arg(QString(200, QLatin1Char('x'))), "notif"));
    QVERIFY2(QFileInfo(path + "-wal").size() <= 1024 * 1024,
             qPrintable(QString::number(QFileInfo(path + "-wal").size())));

    // Everything into the file, then its pages after the first overwritten; another connection's
    // commit makes the daemon's connection read them from the file again.
    {
        Inspector other(path);
        QVERIFY(other.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.size() > 4096);
        QVERIFY(file.seek(4096));
        QVERIFY(file.write(QByteArray(file.size() - 4096, '\x5a')) > 0);
        file.close();
        QVERIFY(other.exec("CREATE TABLE touched (x)"));
    }

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Database file is damaged - moving it aside and rebuilding"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Damaged database kept as"));
    // Every query fails until the rebuild, which is made once, after the calls that found the damage
    // have returned; then the file is usable again.
    for (int call = 0; call < 2; ++call) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("query execution failed"));
        QCOMPARE(db.checkShownItems({"n1"}, "notif"), QStringList());
    }
    QCOMPARE(resetSpy.count(), 0);
    QTRY_COMPARE(resetSpy.count(), 1);
    QVERIFY(db.markShown("n1", "notif"));
    QCOMPARE(db.checkShownItems({"n1", "n2"}, "notif"), QStringList {"n1"});
    QVERIFY(!QDir(dir.path()).entryList({"qndaemon-cache.db.corrupt-*"}, QDir::Files).isEmpty());
    Inspector inspector(path);
    QCOMPARE(inspector.rows("SELECT * FROM version"), CurrentVersion);
}

void TestDaemonDatabase::unopenablePathFails()
{
    QVERIFY(QDir(mDir.path()).mkpath("a-directory"));
    const QStringList before = QDir(mDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const char *name : {"absent/qndaemon-cache.db", "a-directory"}) {
        DaemonDatabase db(mDir.filePath(name));
        QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Unable to create|is not a regular file"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Unable to open database"));
        QVERIFY2(!db.init(), name);
        QCOMPARE(resetSpy.count(), 0);
    }
    QCOMPARE(QDir(mDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(QDir(mDir.filePath("a-directory")).isEmpty());
}

namespace {

// Another program's connection that holds an exclusive lock on the file for a while.
class LockHolder : public QThread
{
public:
    LockHolder(const QString &path, int holdMs)
        : mPath(path)
        , mHoldMs(holdMs)
    {}
    QSemaphore lockTaken;

protected:
    void run() override
    {
        const QString name = QStringLiteral("holder");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(mPath);
            db.open();
            QSqlQuery(db).exec(QStringLiteral("BEGIN EXCLUSIVE"));
            lockTaken.release();
            // Models the other program's work while it holds the lock.
            QThread::msleep(mHoldMs);
            QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }

private:
    const QString mPath;
    const int mHoldMs;
};

} // namespace

void TestDaemonDatabase::lockedFileIsNeverReset()
{
    const QString path = mDir.filePath(QStringLiteral("locked.db"));
    createDatabase(path, withVersions({"11"}));

    {
        // Held for longer than the start waits: the start gives up and the content stays.
        LockHolder holder(path, 1000);
        holder.start();
        holder.lockTaken.acquire();
        DaemonDatabase db(path);
        db.setLockTimeout(100);
        QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("stayed locked by another program"));
        QVERIFY(!db.init());
        QCOMPARE(resetSpy.count(), 0);
        holder.wait();
    }
    QCOMPARE(Inspector(path).rows("SELECT quillnet_id FROM items"), QList<QVariantList> {{"p1"}});

    // Held briefly: the start waits it out and keeps everything.
    LockHolder holder(path, 300);
    holder.start();
    holder.lockTaken.acquire();
    DaemonDatabase db(path);
    QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
    QVERIFY(db.init());
    QCOMPARE(resetSpy.count(), 0);
    holder.wait();
    Inspector inspector(path);
    QCOMPARE(inspector.rows("SELECT quillnet_id FROM items"), QList<QVariantList> {{"p1"}});
    QCOMPARE(inspector.clearDate(), QDate(2001, 2, 3));
}

QTEST_GUILESS_MAIN(TestDaemonDatabase)
#include "tst_daemondatabase.moc"
