#include "database/daemondatabase.h"
#include "databaseinspector.h"
#include "testfiles.h"

#include <QLoggingCategory>
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QSemaphore>
#include <QThread>

#include <algorithm>
#include <memory>

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
    statements << "CREATE TABLE version (version INT);";
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

const QList<QVariantList> CurrentVersion = {{DaemonDatabase::SchemaVersion}};

// Rows 1..count for posts "p1".."p<count>", published as Event Feed items 100 + n.
bool addRows(Inspector &inspector, int count)
{
    return inspector.exec(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 WHERE %1 > 0 UNION ALL SELECT i + 1 FROM n "
                                         "WHERE i < %1) INSERT INTO items(quillnet_id,homeview_id,likes,comments) "
                                         "SELECT 'p' || i, 100 + i, 0, 0 FROM n")
                                  .arg(count));
}

Qn::QnPost post(const QString &id, int likes = 0, int comments = 0)
{
    Qn::QnPost result(id);
    result.setLikes(likes);
    result.setCommentCount(comments);
    return result;
}

Qn::QnPosts posts(const QStringList &ids)
{
    Qn::QnPosts result;
    for (const QString &id : ids)
        result << post(id);
    return result;
}

template<typename List>
List sorted(List list)
{
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

class TestDaemonDatabase : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        // Every warning a test does not expect is a fault (a leftover connection, a failed query).
        QTest::failOnWarning(QRegularExpression(".*"));
        QVERIFY(mDir.isValid());
    }

    void cleanup()
    {
        QLoggingCategory::setFilterRules(QString());
        mInspector.reset();
        mDb.reset();
    }

    void contentDecidesReset_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QByteArray>("damaged"); // the file's bytes, instead of a setup
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QtMsgType>("logType");
        QTest::addColumn<QStringList>("logs");
        const auto row = [](const char *tag, const QStringList &setup, bool reset, QtMsgType type = QtDebugMsg,
                            const QString &log = QString()) {
            QTest::newRow(tag) << setup << QByteArray() << reset << type
                               << (log.isEmpty() ? QStringList() : QStringList {log});
        };

        const QString noTable = QStringLiteral("DB schema changed, version table not found. Reseting all");
        const QString tooOld = QStringLiteral("DB version is lower than needed, reseting all");
        const QString unreadable = QStringLiteral("Could not check database version, reseting all");

        row("missing file", {}, true, QtDebugMsg, noTable);
        row("no version table", SchemaWithoutVersion, true, QtDebugMsg, noTable);
        row("version 10", withVersions({"10"}), true, QtDebugMsg, tooOld);
        row("empty version table", withVersions({}), true, QtWarningMsg, unreadable);
        row("non-numeric version", withVersions({"'eleven'"}), true, QtWarningMsg, unreadable);
        row("null version", withVersions({"NULL"}), true, QtWarningMsg, unreadable);
        row("first of two rows old", withVersions({"3", "12"}), true, QtDebugMsg, tooOld);
        row("version 11", withVersions({"11"}), false);
        row("version beyond int", withVersions({"4294967297"}), false);
        row("first of two rows current", withVersions({"12", "3"}), false);

        // Damaged: garbage, and a real database (one page per table) with its table pages overwritten.
        const QString kept = QStringLiteral("Damaged database kept as");
        QTest::newRow("garbage") << QStringList() << QByteArray("\x01garbage\xff").repeated(1000) << true
                                 << QtWarningMsg
                                 << QStringList {"Database file is damaged: \"file is not a database", kept};
        const QString path = mDir.filePath("template.db");
        createDatabase(path, withVersions({"11"}));
        QByteArray pages = readFile(path);
        QVERIFY(pages.size() > 3 * 4096);
        pages.replace(4096, pages.size() - 4096, QByteArray(pages.size() - 4096, '\xa5'));
        QTest::newRow("damaged pages") << QStringList() << pages << true << QtWarningMsg
                                       << QStringList {"Failed to check version table!",
                                                       "Database file is damaged: \"database disk image is malformed",
                                                       kept};
    }

    void contentDecidesReset()
    {
        QFETCH(QStringList, setup);
        QFETCH(QByteArray, damaged);
        QFETCH(bool, reset);
        QFETCH(QtMsgType, logType);
        QFETCH(QStringList, logs);

        QTemporaryDir dir;
        const QString path = dir.filePath("qndaemon-cache.db");
        QList<QVariantList> versionsBefore;
        if (!damaged.isEmpty()) {
            QVERIFY(writeFile(path, damaged));
        } else if (!setup.isEmpty()) {
            createDatabase(path, setup);
            versionsBefore = Inspector(path).rows("SELECT * FROM version");
            // Readable by others, as an older daemon may have left it.
            QVERIFY(QFile::setPermissions(path,
                                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        }

        DaemonDatabase db(path);
        QList<QList<QVariantList>> versionsAtSignal;
        connect(&db, &DaemonDatabase::dbReseted, this,
                [&] { versionsAtSignal << Inspector(path).rows("SELECT * FROM version"); });
        for (const QString &log : logs)
            QTest::ignoreMessage(logType, QRegularExpression(log));

        QVERIFY(db.init());

        if (!damaged.isEmpty()) {
            // Kept, renamed, and nothing else left beside the new file.
            const QStringList files = QDir(dir.path()).entryList(QDir::Files);
            QCOMPARE(files.size(), 2);
            QVERIFY2(QRegularExpression("^qndaemon-cache\\.db\\.corrupt-\\d{14}$").match(files.last()).hasMatch(),
                     qPrintable(files.last()));
            QCOMPARE(readFile(dir.filePath(files.last())), damaged);
        }
        QCOMPARE(modeOf(path), 0600);
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

    void fileDamagedWhileInUseIsRebuilt()
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
        QCOMPARE_LE(QFileInfo(path + "-wal").size(), 1024 * 1024);

        // Everything into the file, then its pages after the first overwritten; another connection's
        // commit makes the daemon's connection read them from the file again.
        {
            Inspector other(path);
            QVERIFY(other.exec("PRAGMA wal_checkpoint(TRUNCATE)"));
            const QByteArray pages = readFile(path);
            QVERIFY(pages.size() > 4096 && writeFile(path, pages.left(4096) + QByteArray(pages.size() - 4096, '\x5a')));
            QVERIFY(other.exec("CREATE TABLE touched (x)"));
        }

        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("Database file is damaged - moving it aside and rebuilding"));
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
        QCOMPARE(Inspector(path).rows("SELECT * FROM version"), CurrentVersion);
    }

    void unopenablePathFails()
    {
        QVERIFY(QDir(mDir.path()).mkpath("a-directory"));
        const QStringList before = QDir(mDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        for (const char *name : {"absent/qndaemon-cache.db", "a-directory"}) {
            DaemonDatabase db(mDir.filePath(name));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Unable to create|is not a regular file"));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Unable to open database"));
            QVERIFY2(!db.init(), name);
        }
        QCOMPARE(QDir(mDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QVERIFY(QDir(mDir.filePath("a-directory")).isEmpty());
    }

    void lockedFileIsNeverReset()
    {
        const QString path = mDir.filePath(QStringLiteral("locked.db"));
        createDatabase(path, withVersions({"11"}));

        // Held for longer than the start waits: the start gives up. Held briefly: the start waits it out.
        // Either way the content stays.
        for (const bool waitedOut : {false, true}) {
            // Another program's connection, working while it holds an exclusive lock.
            QSemaphore lockTaken;
            const std::unique_ptr<QThread> holder(QThread::create([&] {
                Inspector other(path);
                other.exec("BEGIN EXCLUSIVE");
                lockTaken.release();
                QThread::msleep(waitedOut ? 300 : 1000);
                other.exec("ROLLBACK");
            }));
            holder->start();
            lockTaken.acquire();
            DaemonDatabase db(path);
            if (!waitedOut) {
                db.setLockTimeout(100);
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("stayed locked by another program"));
            }
            QCOMPARE(db.init(), waitedOut);
            holder->wait();
            Inspector inspector(path);
            QCOMPARE(inspector.rows("SELECT quillnet_id FROM items"), QList<QVariantList> {{"p1"}});
            QCOMPARE(inspector.clearDate(), QDate(2001, 2, 3));
        }
    }

    // Operations, each on a database of its own.
    void clearDateDecidesCleanUp_data()
    {
        QTest::addColumn<QString>("stored"); // day, month, year
        QTest::addColumn<bool>("needed");

        const QDate today = QDate::currentDate();
        QTest::newRow("nothing stored") << QString() << false;
        QTest::newRow("today") << today.toString("d,M,yyyy") << false;
        QTest::newRow("yesterday") << today.addDays(-1).toString("d,M,yyyy") << true;
        // A date stored while the clock ran ahead must not hold the clean-up back.
        QTest::newRow("tomorrow") << today.addDays(1).toString("d,M,yyyy") << true;
        QTest::newRow("not a date") << "31,2,2023" << true;
    }

    void clearDateDecidesCleanUp()
    {
        QFETCH(QString, stored);
        QFETCH(bool, needed);

        QVERIFY(openDatabase());
        QVERIFY(mInspector->exec("DELETE FROM clear_date"));
        if (!stored.isEmpty())
            QVERIFY(mInspector->exec("INSERT INTO clear_date VALUES (" + stored + ")"));
        const QDate before = mInspector->clearDate();

        QCOMPARE(mDb->isClearNeeded(), needed);
        // Unforced, a stored date stays and a missing one becomes today; forced, today replaces it.
        mDb->updateClearDate(false);
        QCOMPARE(mInspector->clearDate(), stored.isEmpty() ? QDate::currentDate() : before);
        mDb->updateClearDate(true);
        QCOMPARE(mInspector->clearDate(), QDate::currentDate());
        QVERIFY(!mDb->isClearNeeded());
    }

    void uncachedBatchFallsBackToNewestRows_data()
    {
        QTest::addColumn<int>("cached");
        QTest::addColumn<QStringList>("batch");

        QTest::newRow("40 cached, new posts") << 40 << QStringList {"n1", "n2"};
        QTest::newRow("40 cached, empty batch") << 40 << QStringList();
        QTest::newRow("12 cached, new posts") << 12 << QStringList {"n1"};
        QTest::newRow("nothing cached") << 0 << QStringList {"n1", "n2"};
    }

    void uncachedBatchFallsBackToNewestRows()
    {
        QFETCH(int, cached);
        QFETCH(QStringList, batch);

        QVERIFY(openDatabase());
        QVERIFY(addRows(*mInspector, cached));
        if (cached > 0) {
            // A previous pass over a range, with leftovers: the fallback must not act on them.
            mDb->prepareForChecks(posts({QStringLiteral("p%1").arg(cached / 2)}));
            QVERIFY(mDb->hasItemsToRemove());
        }

        mDb->prepareForChecks(posts(batch));
        QCOMPARE(mDb->isCheckListEmpty(), cached == 0);
        qint64 homeviewId = -7;
        for (const Qn::QnPost &newPost : posts(batch))
            QCOMPARE(mDb->checkPost(&newPost, &homeviewId), DaemonDatabase::ItemAdd);
        QVERIFY(!mDb->hasItemsToRemove());

        // The newest 30 rows are on the list, the older ones are not.
        for (int n = cached; n >= 1; --n) {
            const Qn::QnPost cachedPost = post(QStringLiteral("p%1").arg(n));
            QCOMPARE(mDb->checkPost(&cachedPost, &homeviewId),
                     n > cached - 30 ? DaemonDatabase::ItemUnchanged : DaemonDatabase::ItemAdd);
        }
        QVERIFY(mDb->isCheckListEmpty());
        QCOMPARE(homeviewId, qint64(-7));
    }

    void checksAndMarksTakeAnyIds()
    {
        QVERIFY(openDatabase());
        // Row ids beyond 32 bits (AUTOINCREMENT continues after the largest), Event Feed ids beyond
        // 2^31, and post ids as the network may send them. A post the service left without an id is
        // stored as the empty text and found again, so that the next pass does not publish it again.
        QVERIFY(mInspector->exec("INSERT INTO items VALUES (4294967296,'older',1,0,0)"));
        const qint64 feedId = 5000000000LL;
        const QStringList ids = {
                "it's", "a,b", "x)", "'); DROP TABLE items; --", "' OR '1'='1", ":id ? %1", QStringLiteral("пост 😀")};
        // Liked, gone, commented, swapped, left and the same.
        const QStringList postIds = {ids[0], ids[3], ids[5], ids[6], ids[4], QString()};
        Qn::QnPosts stored;
        for (int i = 0; i < postIds.size(); ++i) {
            stored << post(postIds[i], 2, 1);
            mDb->addPostToDb(&stored[i], feedId + i);
        }
        const Qn::QnPosts current
                = {post(postIds[0], 3, 1), post(postIds[2], 2, 2), post(postIds[3], 1, 2), post(postIds[5], 2, 1)};
        const QList<qint64> updatedIds = {feedId, feedId + 2, feedId + 3, -7};

        mDb->prepareForChecks(current);
        for (int i = 0; i < current.size(); ++i) {
            qint64 out = -7;
            QCOMPARE(mDb->checkPost(&current[i], &out),
                     updatedIds[i] == -7 ? DaemonDatabase::ItemUnchanged : DaemonDatabase::ItemUpdate);
            QCOMPARE(out, updatedIds[i]);
            // Its entry is used up: a second check in the same pass sees a new post.
            QCOMPARE(mDb->checkPost(&current[i], &out), DaemonDatabase::ItemAdd);
        }
        QVERIFY(mDb->hasItemsToRemove());
        QCOMPARE(sorted(mDb->removeStaleItems()), (QList<qint64> {feedId + 1, feedId + 4}));
        QCOMPARE(mInspector->rows("SELECT * FROM items ORDER BY id"),
                 (QList<QVariantList> {{4294967296LL, "older", 1, 0, 0},
                                       {4294967297LL, postIds[0], feedId, 3, 1},
                                       {4294967299LL, postIds[2], feedId + 2, 2, 2},
                                       {4294967300LL, postIds[3], feedId + 3, 1, 2},
                                       {4294967302LL, "", feedId + 5, 2, 1}}));
        QCOMPARE(mDb->itemCount(), 5);

        // The same ids as marks, which come from the network and the bus too.
        QVERIFY(mDb->markShown("other", "notif"));
        for (const QString &id : ids)
            QVERIFY(mDb->markShown(id, "notif") && mDb->markSeen(id, "message"));
        QCOMPARE(sorted(mDb->checkShownItems(QStringList(ids) << "absent", "notif")), sorted(ids));
        QCOMPARE(sorted(mDb->checkSeenItems(QStringList(ids) << "other", "message")), sorted(ids));
        // Found by their own text, never as patterns.
        QCOMPARE(mDb->shownKeysOf(":id ? %1", "notif") + mDb->shownKeysOf("%", "notif"), QStringList {":id ? %1"});
    }

    void longListsInOneStatement()
    {
        QVERIFY(openDatabase());
        // Thousands of per-row debug lines say nothing here.
        QLoggingCategory::setFilterRules("*.debug=false");

        QVERIFY(addRows(*mInspector, 1200));
        // The oldest cached post early in a long id list, a newer one at its end.
        QStringList feed;
        for (int n = 0; n < 1000; ++n)
            feed << QStringLiteral("new%1").arg(n);
        feed.insert(499, "p4");
        mDb->prepareForChecks(posts(feed << "p900"
                                         << "p4"));
        for (const Qn::QnPost &feedPost : posts({"p900", "p4"}))
            QCOMPARE(mDb->checkPost(&feedPost, nullptr), DaemonDatabase::ItemUnchanged);
        QVERIFY(mDb->hasItemsToRemove());

        // All or nothing: "p999" sorts last, so earlier rows of the deletion have gone when it refuses.
        QVERIFY(mInspector->exec("CREATE TRIGGER keep BEFORE DELETE ON items WHEN OLD.quillnet_id = 'p999' "
                                 "BEGIN SELECT RAISE(ABORT, 'kept'); END"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Failed to delete items from cache! \"kept"));
        QVERIFY(mDb->removeStaleItems().isEmpty());
        QCOMPARE(mInspector->column("SELECT COUNT(*) FROM items"), QVariantList {1200});

        // The list stays for a later try.
        QVERIFY(mInspector->exec("DROP TRIGGER keep"));
        QList<qint64> expected;
        for (int n = 5; n <= 1200; ++n) {
            if (n != 900)
                expected << 100 + n;
        }
        QCOMPARE(sorted(mDb->removeStaleItems()), expected);
        QCOMPARE(mInspector->column("SELECT quillnet_id FROM items ORDER BY id"),
                 (QVariantList {"p1", "p2", "p3", "p4", "p900"}));

        // Long lists of seen and shown ids too; a repeated id is answered once.
        QVERIFY(mInspector->exec(
                "INSERT INTO shown_items VALUES ('k5','notif'),('k700','notif'),('k1099','notif'),('k6','event')"));
        QStringList keys;
        for (int n = 0; n < 1100; ++n)
            keys << QStringLiteral("k%1").arg(n);
        QCOMPARE(sorted(mDb->checkShownItems(keys << "k5", "notif")), (QStringList {"k1099", "k5", "k700"}));
    }

    void marksAreRecordedOnceForItemTypesOnly()
    {
        QVERIFY(openDatabase());
        const QString key = QStringLiteral("t1.1325376000000");
        QVERIFY(mDb->markShown(key, "message"));
        const auto expectRecordedBefore = [] {
            QTest::ignoreMessage(
                    QtWarningMsg,
                    QRegularExpression("^Failed to exec sql query \"UNIQUE constraint failed: shown_items.id"));
            QTest::ignoreMessage(QtDebugMsg,
                                 QRegularExpression("^Failing query: \"INSERT INTO shown_items \\(id,type\\) values"));
        };
        // Callers rely on false here: it tells them the item was recorded before.
        for (const char *type : {"message", "notif"}) {
            expectRecordedBefore();
            QVERIFY(!mDb->markShown(key, type));
        }
        // One notification's ids together: one already recorded and an empty one do not keep the
        // others out.
        expectRecordedBefore();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Empty id$"));
        QCOMPARE(mDb->markShown(QStringList {"t3.1", key, QString(), "t4.1"}, "message"), 2);
        QCOMPARE(sorted(mDb->checkShownItems({"t3.1", "t4.1", key}, "message")), (QStringList {key, "t3.1", "t4.1"}));
        QCOMPARE(mDb->markShown(QStringList(), "message"), 0);
        QVERIFY(mInspector->exec("DELETE FROM shown_items WHERE id IN ('t3.1', 't4.1')"));

        QVERIFY(mDb->markSeen(key, "message"));
        QCOMPARE(mDb->checkShownItems({key, key, "t2.1"}, "message"), QStringList {key});
        QCOMPARE(mDb->checkShownItems({key}, "notif"), QStringList());
        // A thread's keys by its id alone.
        QCOMPARE(mDb->shownKeysOf("t1", "message") + mDb->seenKeysOf("t", "message"), QStringList {key});

        for (const QString &type :
             {QStringLiteral("foo"), QString(), QStringLiteral("Message"), QStringLiteral("message' OR '1'='1")}) {
            for (int i = 0; i < 4; ++i)
                QTest::ignoreMessage(
                        QtWarningMsg,
                        QRegularExpression("Unknown type: " + QRegularExpression::escape('"' + type + '"') + '$'));
            QVERIFY(!mDb->markShown("n2", type));
            QVERIFY(!mDb->markSeen("n2", type));
            QCOMPARE(mDb->checkShownItems({key}, type) + mDb->checkSeenItems({key}, type), QStringList());
        }
        QCOMPARE(mInspector->rows("SELECT * FROM shown_items") + mInspector->rows("SELECT * FROM seen_items"),
                 (QList<QVariantList> {{key, "message"}, {key, "message"}}));
    }

    void itemsGoAllOrNothing()
    {
        QVERIFY(openDatabase());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("checkPost.* No post given$"));
        QCOMPARE(mDb->checkPost(nullptr, nullptr), DaemonDatabase::ItemUnchanged);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("addPostToDb.* No post given$"));
        mDb->addPostToDb(nullptr, 5);

        QVERIFY(addRows(*mInspector, 3));
        QVERIFY(mDb->markShown("n1", "notif") && mDb->markSeen("n1", "notif"));
        // That every post is then published again is in tst_eventfeedhandler; the notification marks
        // are another matter.
        QVERIFY(mDb->removeAllItems());
        QCOMPARE(mInspector->column("SELECT COUNT(*) FROM items"), QVariantList {0});
        QCOMPARE(mDb->checkShownItems({"n1"}, "notif") + mDb->checkSeenItems({"n1"}, "notif"),
                 (QStringList {"n1", "n1"}));

        // The rows belong to one instance of the Event Feed; a new one takes them away in one step.
        QVERIFY(addRows(*mInspector, 2));
        QCOMPARE(mDb->itemsOwner(), QString());
        QVERIFY(mDb->setItemsOwner("bus/:1.5", false));
        QVERIFY(mDb->setItemsOwner("bus/:1.9", true));
        QCOMPARE(mDb->itemsOwner(), QStringLiteral("bus/:1.9"));
        QCOMPARE(mInspector->column("SELECT COUNT(*) FROM items"), QVariantList {0});

        // A failed load leaves nothing of the previous pass's list to remove.
        QVERIFY(addRows(*mInspector, 2));
        mDb->prepareForChecks(posts({"p1"}));
        QVERIFY(mDb->hasItemsToRemove());
        QVERIFY(mInspector->exec("DROP TABLE items"));
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("^Failed to fetch last qn id for the group \"no such table"));
        mDb->prepareForChecks(posts({"p1"}));
        QVERIFY(!mDb->hasItemsToRemove());
        QVERIFY(mDb->removeStaleItems().isEmpty());
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("removeAllItems.* Failed to delete items from cache! \"no such table"));
        QVERIFY(!mDb->removeAllItems());
        // The owner stays when its rows cannot go.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("setItemsOwner.* Unable to record the Event Feed"));
        QVERIFY(!mDb->setItemsOwner("bus/:1.12", true));
        QCOMPARE(mDb->itemsOwner(), QStringLiteral("bus/:1.9"));

        // Empty id lists run no query, which would fail and warn now, whatever the type.
        QVERIFY(mInspector->exec("DROP TABLE shown_items"));
        QCOMPARE(mDb->checkShownItems({}, "notif") + mDb->checkSeenItems({}, "foo"), QStringList());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to exec sql query \"no such table"));
        QVERIFY(!mDb->markShown("n1", "notif"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("checkItems.* query execution failed \"no such table"));
        QCOMPARE(mDb->checkShownItems({"n1"}, "notif"), QStringList());

        QVERIFY(mInspector->exec("DROP TABLE clear_date"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to request last clear date \"no such table"));
        QVERIFY(!mDb->isClearNeeded());
    }

private:
    // A new database for the operations; the daemon's connection allows one at a time.
    [[nodiscard]] bool openDatabase()
    {
        const QString path = mDir.filePath(QStringLiteral("ops-%1.db").arg(++mCount));
        mDb = std::make_unique<DaemonDatabase>(path);
        if (!mDb->init())
            return false;
        mInspector = std::make_unique<Inspector>(path);
        return true;
    }

    QTemporaryDir mDir;
    int mCount = 0;
    std::unique_ptr<DaemonDatabase> mDb;
    std::unique_ptr<Inspector> mInspector;
};

QTEST_GUILESS_MAIN(TestDaemonDatabase)
#include "tst_daemondatabase.moc"
