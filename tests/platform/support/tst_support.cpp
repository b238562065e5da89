// The shared helpers: web addresses, link-safe file operations, SQLite file preparation and error
// classes judged on real SQLite files, id lists.
#include "platform/support/files.h"
#include "platform/support/ids.h"
#include "platform/support/logtext.h"
#include "platform/support/sqlitefile.h"
#include "platform/support/webaddress.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QTest>

namespace {

// An SQLite file with one table and one row.
bool makeDatabase(const QString &path)
{
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("maker"));
        db.setDatabaseName(path);
        ok = db.open() && QSqlQuery(db).exec(QStringLiteral("CREATE TABLE t (v TEXT)"))
                && QSqlQuery(db).exec(QStringLiteral("INSERT INTO t VALUES ('kept')"));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    return ok;
}

// The error of reading the table of the file through a fresh connection.
QSqlError readError(const QString &path, const QString &connection)
{
    QSqlError error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10"));
        if (!db.open())
            return db.lastError();
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT * FROM t")) || !query.next())
            error = query.lastError();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return error;
}

} // namespace

class TestSupport : public QObject
{
    Q_OBJECT

private slots:
    void webAddresses_data();
    void webAddresses();
    void withPath_data();
    void withPath();
    void removeContentsKeepsListedEntriesAndLinkTargets();
    void userOnlyDirectoriesAndFiles();
    void moveAsideTakesCompanionsAndCounts();
    void prepareDatabaseFileReplacesLinks_data();
    void prepareDatabaseFileReplacesLinks();
    void errorClassesOfRealFiles();
    void idsTextsAndLoggedValues();
};

void TestSupport::webAddresses_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("web");
    QTest::newRow("http") << "http://127.0.0.1:8080/api" << true;
    QTest::newRow("https, upper case scheme") << "HTTPS://example.org" << true;
    QTest::newRow("file") << "file:///etc/passwd" << false;
    QTest::newRow("ftp") << "ftp://example.org/x" << false;
    QTest::newRow("no host") << "http:///path" << false;
    QTest::newRow("relative") << "/just/a/path" << false;
    QTest::newRow("empty") << "" << false;
}

void TestSupport::webAddresses()
{
    QFETCH(QString, url);
    QFETCH(bool, web);
    QCOMPARE(Support::isWebAddress(QUrl(url)), web);
}

void TestSupport::withPath_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("joined");
    QTest::newRow("bare host") << "http://h:1"
                               << "/me"
                               << "http://h:1/me";
    QTest::newRow("base path") << "http://h/api"
                               << "/me"
                               << "http://h/api/me";
    QTest::newRow("trailing slashes") << "http://h/api//"
                                      << "/oauth/token"
                                      << "http://h/api/oauth/token";
    QTest::newRow("query and fragment dropped") << "http://h/api?x=1#f"
                                                << "/me"
                                                << "http://h/api/me";
    QTest::newRow("encoded base kept") << "http://h/a%20b/"
                                       << "/me"
                                       << "http://h/a%20b/me";
}

void TestSupport::withPath()
{
    QFETCH(QString, base);
    QFETCH(QString, path);
    QFETCH(QString, joined);
    QCOMPARE(Support::withPath(QUrl(base), path).toString(QUrl::FullyEncoded), joined);
}

void TestSupport::removeContentsKeepsListedEntriesAndLinkTargets()
{
    QTemporaryDir root;
    const QString tree = root.filePath(QStringLiteral("tree"));
    const QString outside = root.filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(tree + QStringLiteral("/a/b")) && QDir().mkpath(tree + QStringLiteral("/keep/deep")));
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(writeFile(outside + QStringLiteral("/precious"), "x"));
    QVERIFY(writeFile(tree + QStringLiteral("/a/b/.hidden"), "x"));
    QVERIFY(writeFile(tree + QStringLiteral("/keep/deep/file"), "x"));
    QVERIFY(QFile::link(outside, tree + QStringLiteral("/a/dirlink")));
    QVERIFY(QFile::link(outside + QStringLiteral("/precious"), tree + QStringLiteral("/filelink")));

    QVERIFY(!Support::removeContents(tree, {tree + QStringLiteral("/keep/deep")}));
    QCOMPARE(QDir(tree).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList {QStringLiteral("keep")});
    QVERIFY(QFileInfo::exists(tree + QStringLiteral("/keep/deep/file")));
    QCOMPARE(readFile(outside + QStringLiteral("/precious")), QByteArray("x"));

    QVERIFY(Support::removeTree(tree));
    QVERIFY(!QFileInfo::exists(tree));
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/precious")));
}

void TestSupport::userOnlyDirectoriesAndFiles()
{
    QTemporaryDir root;
    QVERIFY(QFile::setPermissions(root.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                          | QFile::ExeOther | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser));
    QVERIFY(Support::makeUserOnlyPath(root.filePath(QStringLiteral("a/b/c"))));
    for (const char *level : {"a", "a/b", "a/b/c"})
        QCOMPARE(modeOf(root.filePath(QLatin1String(level))), 0700);
    QCOMPARE(modeOf(root.path()), 0705);
    QVERIFY(Support::makeUserOnlyPath(root.filePath(QStringLiteral("a/b"))));

    const QString file = root.filePath(QStringLiteral("db"));
    QVERIFY(Support::createUserOnlyFile(file));
    QCOMPARE(modeOf(file), 0600);
    QVERIFY(!Support::createUserOnlyFile(file));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Not a directory"));
    QVERIFY(!Support::makeUserOnlyPath(file + QStringLiteral("/below")));

    const QString dangling = root.filePath(QStringLiteral("dangling"));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("target")), dangling));
    QVERIFY(!Support::createUserOnlyFile(dangling));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("target"))));
}

void TestSupport::moveAsideTakesCompanionsAndCounts()
{
    QTemporaryDir root;
    const QString db = root.filePath(QStringLiteral("x.db"));
    QVERIFY(writeFile(db, "one") && writeFile(db + QStringLiteral("-journal"), "j"));
    const QString first = Support::moveAside(db);
    QVERIFY2(first.startsWith(db + QStringLiteral(".corrupt-")), qPrintable(first));
    QCOMPARE(readFile(first), QByteArray("one"));
    QVERIFY(!QFileInfo::exists(db) && !QFileInfo::exists(db + QStringLiteral("-journal")));
    QCOMPARE(readFile(db + QStringLiteral("-journal") + first.mid(db.size())), QByteArray("j"));

    // Within the same second the name is taken: a counter keeps both.
    QVERIFY(writeFile(db, "two"));
    const QString second = Support::moveAside(db);
    QVERIFY(!second.isEmpty() && second != first);
    QCOMPARE(readFile(first), QByteArray("one"));
    QCOMPARE(readFile(second), QByteArray("two"));

    QVERIFY(Support::moveAside(root.filePath(QStringLiteral("missing"))).isEmpty());
}

void TestSupport::prepareDatabaseFileReplacesLinks_data()
{
    QTest::addColumn<bool>("dangling");
    QTest::newRow("link to another program's database") << false;
    QTest::newRow("dangling link") << true;
}

void TestSupport::prepareDatabaseFileReplacesLinks()
{
    QFETCH(bool, dangling);
    QTemporaryDir root;
    const QString target = root.filePath(QStringLiteral("other.db"));
    const QString db = root.filePath(QStringLiteral("ours.db"));
    if (!dangling) {
        QVERIFY(makeDatabase(target));
        QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    }
    QVERIFY(QFile::link(target, db));

    QVERIFY(Support::prepareDatabaseFile(db));
    const QFileInfo fresh(db);
    QVERIFY(!fresh.isSymLink() && fresh.isFile());
    QCOMPARE(fresh.size(), 0);
    QCOMPARE(modeOf(db), 0600);
    // The link is kept aside, its target untouched (or still not there).
    const QStringList aside
            = QDir(root.path()).entryList({QStringLiteral("ours.db.corrupt-*")}, QDir::System | QDir::AllEntries);
    QCOMPARE(aside.size(), 1);
    QVERIFY(QFileInfo(root.filePath(aside.first())).isSymLink());
    if (dangling) {
        QVERIFY(!QFileInfo::exists(target));
    } else {
        QCOMPARE(modeOf(target), 0604);
        QVERIFY(!readError(target, QStringLiteral("check")).isValid());
    }
}

void TestSupport::errorClassesOfRealFiles()
{
    QTemporaryDir root;
    const QString good = root.filePath(QStringLiteral("good.db"));
    QVERIFY(makeDatabase(good));
    QVERIFY(!readError(good, QStringLiteral("r1")).isValid());

    // A foreign file: "file is not a database".
    const QString foreign = root.filePath(QStringLiteral("foreign.db"));
    QVERIFY(writeFile(foreign, QByteArray(4096, 'z')));
    const QSqlError notADatabase = readError(foreign, QStringLiteral("r2"));
    QVERIFY(Support::isDamage(notADatabase) && !Support::isBusy(notADatabase));

    // A damaged page: "database disk image is malformed".
    const QString damaged = root.filePath(QStringLiteral("damaged.db"));
    QVERIFY(QFile::copy(good, damaged));
    {
        QFile file(damaged);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArray content = file.readAll();
        QVERIFY(content.size() >= 8192);
        // The second page holds the table; its header byte says what kind of page it is.
        content.replace(4096, 16, QByteArray(16, '\xff'));
        file.seek(0);
        file.write(content);
    }
    const QSqlError malformed = readError(damaged, QStringLiteral("r3"));
    QVERIFY2(Support::isDamage(malformed), qPrintable(malformed.text()));

    // An exclusive lock held by another connection: busy, not damage.
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        holder.setDatabaseName(good);
        QVERIFY(holder.open());
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("BEGIN EXCLUSIVE")));
        const QSqlError locked = readError(good, QStringLiteral("r4"));
        QVERIFY2(Support::isBusy(locked) && !Support::isDamage(locked), qPrintable(locked.text()));
        QVERIFY(QSqlQuery(holder).exec(QStringLiteral("ROLLBACK")));
        holder.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));

    QVERIFY(!Support::isDamage(QSqlError()) && !Support::isBusy(QSqlError()));
}

void TestSupport::idsTextsAndLoggedValues()
{
    QCOMPARE(Support::uniqueIds({"b", "a", "b", "", "c", "a", ""}), QStringList({"b", "a", "", "c"}));
    QCOMPARE(Support::uniqueIds({}), QStringList());
    QVERIFY(Support::bindableText(QString()).isEmpty() && !Support::bindableText(QString()).isNull());
    QCOMPARE(Support::bindableText(QStringLiteral("x")), QStringLiteral("x"));

    const QString fits(Support::MaxLoggedLength, QLatin1Char('a'));
    QCOMPARE(Support::logText(fits), fits);
    const QString huge(8 * 1024 * 1024, QLatin1Char('b'));
    QCOMPARE(Support::logText(huge),
             QString(Support::MaxLoggedLength, QLatin1Char('b')) + QStringLiteral("... (8388608 characters)"));
}

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
