#include "database/daemondatabase.h"
#include "databaseinspector.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QString ConnectionName = QStringLiteral("quillnet-daemon-connection");
const QStringList AllTables = {QStringLiteral("clear_date"), QStringLiteral("items"),
                               QStringLiteral("seen_items"), QStringLiteral("shown_items"),
                               QStringLiteral("version")};
// A complete schema apart from the version table, with content that a reset must remove.
const QStringList SchemaWithoutVersion = {
    QStringLiteral("CREATE TABLE items (id INTEGER PRIMARY KEY AUTOINCREMENT,quillnet_id TEXT NOT NULL,"
                   "homeview_id INT NOT NULL,likes INT NOT NULL,comments INT NOT NULL);"),
    QStringLiteral("CREATE TABLE clear_date (day INT NOT NULL,month INT NOT NULL,year INT NOT NULL);"),
    QStringLiteral("CREATE TABLE seen_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);"),
    QStringLiteral("CREATE TABLE shown_items (id TEXT PRIMARY KEY NOT NULL,type TEXT);"),
    QStringLiteral("INSERT INTO items(quillnet_id,homeview_id,likes,comments) VALUES ('p1',77,1,2)"),
    QStringLiteral("INSERT INTO seen_items VALUES ('n1','notif')"),
    QStringLiteral("INSERT INTO clear_date VALUES (3,2,2001)"),
};
const QString VersionTable = QStringLiteral("CREATE TABLE version (version INT NOT NULL);");

QStringList schemaWithVersions(const QStringList &values)
{
    QStringList statements = SchemaWithoutVersion;
    statements << VersionTable;
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

QList<QVariantList> todayRow()
{
    const QDate today = QDate::currentDate();
    return {{today.day(), today.month(), today.year()}};
}

int fileMode(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

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
    void unopenablePathFails_data();
    void unopenablePathFails();
    void forcedClearDateReplacesStoredDate();
    void secondInstanceFindsDataAndNoStaleConnection();

private:
    QTemporaryDir mDir;
};

void TestDaemonDatabase::init()
{
    // Every warning a test does not expect is a fault (a leftover connection, a failed query).
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
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

    QTest::newRow("missing file") << QStringList() << true << QtDebugMsg << noTable;
    QTest::newRow("no version table") << SchemaWithoutVersion << true << QtDebugMsg << noTable;
    QTest::newRow("version 10") << schemaWithVersions({"10"}) << true << QtDebugMsg << tooOld;
    QTest::newRow("empty version table") << schemaWithVersions({}) << true << QtWarningMsg << unreadable;
    QTest::newRow("non-numeric version")
        << schemaWithVersions({"'eleven'"}) << true << QtWarningMsg << unreadable;
    QTest::newRow("null version")
        << (QStringList(SchemaWithoutVersion) << "CREATE TABLE version (version INT)"
                                              << "INSERT INTO version VALUES (NULL)")
        << true << QtWarningMsg << unreadable;
    QTest::newRow("first of two rows old") << schemaWithVersions({"3", "12"}) << true << QtDebugMsg << tooOld;
    QTest::newRow("version 11") << schemaWithVersions({"11"}) << false << QtDebugMsg << QString();
    QTest::newRow("version 12") << schemaWithVersions({"12"}) << false << QtDebugMsg << QString();
    QTest::newRow("version beyond int")
        << schemaWithVersions({"4294967297"}) << false << QtDebugMsg << QString();
    QTest::newRow("first of two rows current")
        << schemaWithVersions({"12", "3"}) << false << QtDebugMsg << QString();
}

void TestDaemonDatabase::versionDecidesReset()
{
    QFETCH(QStringList, setup);
    QFETCH(bool, reset);
    QFETCH(QtMsgType, logType);
    QFETCH(QString, log);

    const QString path = mDir.filePath(QStringLiteral("%1.db").arg(QTest::currentDataTag()));
    if (!setup.isEmpty()) {
        createDatabase(path, setup);
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    }
    const QList<QVariantList> versionsBefore =
        setup.isEmpty() ? QList<QVariantList>() : Inspector(path).rows(QStringLiteral("SELECT * FROM version"));

    DaemonDatabase db(path);
    QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
    QList<QVariantList> versionAtSignal;
    connect(&db, &DaemonDatabase::dbReseted, this, [&] {
        versionAtSignal = Inspector(path).rows(QStringLiteral("SELECT * FROM version"));
    });
    if (!log.isEmpty())
        QTest::ignoreMessage(logType, qPrintable(log));

    QVERIFY(db.init());

    QCOMPARE(fileMode(path), 0600);
    Inspector inspector(path);
    QCOMPARE(inspector.tables(), AllTables);
    if (reset) {
        QCOMPARE(resetSpy.count(), 1);
        QCOMPARE(versionAtSignal, (QList<QVariantList>{{DaemonDatabase::SchemaVersion}}));
        QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM items")), QList<QVariantList>());
        QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM seen_items")), QList<QVariantList>());
        QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM clear_date")), todayRow());
    } else {
        QCOMPARE(resetSpy.count(), 0);
        QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM version")), versionsBefore);
        QCOMPARE(inspector.rows(QStringLiteral("SELECT quillnet_id, homeview_id FROM items")),
                 (QList<QVariantList>{{QStringLiteral("p1"), 77}}));
        QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM seen_items")).size(), 1);
        QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM clear_date")),
                 (QList<QVariantList>{{3, 2, 2001}}));
    }
}

void TestDaemonDatabase::damagedFileIsKeptAndRebuilt_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("sqliteError");
    QTest::addColumn<bool>("versionUnreadable");

    const QString notADatabase = QStringLiteral("file is not a database");

    QByteArray random(8192, '\0');
    QRandomGenerator generator(7);
    for (char &byte : random)
        byte = char(generator.bounded(256));
    QTest::newRow("random bytes") << random << notADatabase << false;
    QTest::newRow("text file") << QByteArray("version=11\n").repeated(200) << notADatabase << false;

    // A real database with its header or its table pages overwritten.
    const QString path = mDir.filePath(QStringLiteral("template.db"));
    QStringList statements = schemaWithVersions({"11"});
    for (int i = 0; i < 300; ++i)
        statements << QStringLiteral("INSERT INTO items(quillnet_id,homeview_id,likes,comments) "
                                     "VALUES ('post %1',%1,0,0)").arg(i);
    createDatabase(path, statements);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray valid = file.readAll();
    QVERIFY(valid.size() > 3 * 4096);

    QByteArray header = valid;
    header.replace(0, 16, "no database here");
    QTest::newRow("damaged header") << header << notADatabase << false;
    QByteArray pages = valid;
    pages.replace(4096, pages.size() - 4096, QByteArray(pages.size() - 4096, '\xa5'));
    QTest::newRow("damaged pages")
        << pages << QStringLiteral("database disk image is malformed") << true;
}

void TestDaemonDatabase::damagedFileIsKeptAndRebuilt()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, sqliteError);
    QFETCH(bool, versionUnreadable);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qndaemon-cache.db"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }

    DaemonDatabase db(path);
    QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Database file is damaged: \"%1").arg(sqliteError)));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Damaged database kept as")));
    if (versionUnreadable)
        QTest::ignoreMessage(QtCriticalMsg, "Failed to check version table!");

    QVERIFY(db.init());
    QCOMPARE(resetSpy.count(), 1);

    const QStringList aside = QDir(dir.path()).entryList({QStringLiteral("qndaemon-cache.db.corrupt-*")});
    QCOMPARE(aside.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^qndaemon-cache\\.db\\.corrupt-\\d{14}$")).match(aside.first()).hasMatch(),
             qPrintable(aside.first()));
    QFile kept(dir.filePath(aside.first()));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), content);

    QCOMPARE(fileMode(path), 0600);
    Inspector inspector(path);
    QCOMPARE(inspector.tables(), AllTables);
    QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM version")),
             (QList<QVariantList>{{DaemonDatabase::SchemaVersion}}));
    QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM clear_date")), todayRow());
}

void TestDaemonDatabase::unopenablePathFails_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("missing directory") << mDir.filePath(QStringLiteral("absent/qndaemon-cache.db"));
    QVERIFY(QDir(mDir.path()).mkpath(QStringLiteral("a-directory")));
    QTest::newRow("directory") << mDir.filePath(QStringLiteral("a-directory"));
}

void TestDaemonDatabase::unopenablePathFails()
{
    QFETCH(QString, path);
    const QStringList before = QDir(mDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    DaemonDatabase db(path);
    QSignalSpy resetSpy(&db, &DaemonDatabase::dbReseted);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Unable to open database")));

    QVERIFY(!db.init());
    QCOMPARE(resetSpy.count(), 0);
    QCOMPARE(QDir(mDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(QDir(mDir.filePath(QStringLiteral("a-directory"))).isEmpty());
}

void TestDaemonDatabase::forcedClearDateReplacesStoredDate()
{
    const QString path = mDir.filePath(QStringLiteral("clear-date.db"));
    createDatabase(path, schemaWithVersions({"11"}));
    DaemonDatabase db(path);
    QVERIFY(db.init());
    Inspector inspector(path);

    db.updateClearDate(false);
    QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM clear_date")), (QList<QVariantList>{{3, 2, 2001}}));
    db.updateClearDate(true);
    QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM clear_date")), todayRow());
}

void TestDaemonDatabase::secondInstanceFindsDataAndNoStaleConnection()
{
    const QString path = mDir.filePath(QStringLiteral("reopen.db"));
    {
        DaemonDatabase first(path);
        QVERIFY(first.init());
        Inspector inspector(path);
        QVERIFY(inspector.exec(QStringLiteral("INSERT INTO shown_items VALUES ('n7','message')")));
    }
    QVERIFY(!QSqlDatabase::contains(ConnectionName));

    DaemonDatabase second(path);
    QSignalSpy resetSpy(&second, &DaemonDatabase::dbReseted);
    QVERIFY(second.init());
    QCOMPARE(resetSpy.count(), 0);
    Inspector inspector(path);
    QCOMPARE(inspector.rows(QStringLiteral("SELECT * FROM shown_items")),
             (QList<QVariantList>{{QStringLiteral("n7"), QStringLiteral("message")}}));
}

QTEST_GUILESS_MAIN(TestDaemonDatabase)
#include "tst_daemondatabase.moc"
