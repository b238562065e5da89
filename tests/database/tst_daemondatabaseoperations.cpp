#include "database/daemondatabase.h"
#include "databaseinspector.h"

#include <QDate>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <memory>

namespace {

const QStringList AllTables = {QStringLiteral("clear_date"), QStringLiteral("items"),
                               QStringLiteral("seen_items"), QStringLiteral("shown_items"),
                               QStringLiteral("version")};

// Rows "q0".."q<count-1>" with homeview ids 10000 + n, in one transaction.
bool addRows(Inspector &inspector, int count)
{
    inspector.database().transaction();
    for (int n = 0; n < count; ++n) {
        if (!inspector.exec(QStringLiteral("INSERT INTO items(quillnet_id,homeview_id,likes,comments) "
                                           "VALUES ('q%1',%2,0,0)").arg(n).arg(10000 + n)))
            return false;
    }
    return inspector.database().commit();
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

QString dateRow(const QDate &date)
{
    return QStringLiteral("INSERT INTO clear_date VALUES (%1,%2,%3)").arg(date.day()).arg(date.month()).arg(date.year());
}

} // namespace

class TestDaemonDatabaseOperations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void clearDateDecidesCleanUp_data();
    void clearDateDecidesCleanUp();
    void uncachedBatchFallsBackToNewestRows_data();
    void uncachedBatchFallsBackToNewestRows();
    void staleRowsInRangeAreRemoved();
    void changedCountsUpdateRow_data();
    void changedCountsUpdateRow();
    void sixtyFourBitIdsRoundTrip();
    void longListsAreSplit_data();
    void longListsAreSplit();
    void unusualIdsAreStoredAndFound_data();
    void unusualIdsAreStoredAndFound();
    void postWithoutIdIsFoundAgain_data();
    void postWithoutIdIsFoundAgain();
    void marksAreRecordedOncePerTable();
    void unknownTypesAreRefused_data();
    void unknownTypesAreRefused();
    void emptyIdListsRunNoQuery();
    void failedStatementsGiveNeutralResults();

private:
    QTemporaryDir mDir;
    int mCount = 0;
    std::unique_ptr<DaemonDatabase> mDb;
    std::unique_ptr<Inspector> mInspector;
};

void TestDaemonDatabaseOperations::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    QVERIFY(mDir.isValid());
    const QString path = mDir.filePath(QStringLiteral("ops-%1.db").arg(++mCount));
    mDb = std::make_unique<DaemonDatabase>(path);
    QVERIFY(mDb->init());
    mInspector = std::make_unique<Inspector>(path);
}

void TestDaemonDatabaseOperations::cleanup()
{
    QLoggingCategory::setFilterRules(QString());
    mInspector.reset();
    mDb.reset();
}

void TestDaemonDatabaseOperations::clearDateDecidesCleanUp_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("needed");
    QTest::addColumn<QString>("log");

    const QDate today = QDate::currentDate();
    QTest::newRow("nothing stored") << QString() << false << QString();
    QTest::newRow("today") << dateRow(today) << false << QString();
    QTest::newRow("yesterday") << dateRow(today.addDays(-1)) << true << QString();
    QTest::newRow("tomorrow") << dateRow(today.addDays(1)) << true << QStringLiteral("is later than today");
    QTest::newRow("far future") << dateRow(QDate(2100, 1, 1)) << true << QStringLiteral("is later than today");
    QTest::newRow("not a date") << QStringLiteral("INSERT INTO clear_date VALUES (31,2,2023)") << true << QString();
    QTest::newRow("text") << QStringLiteral("INSERT INTO clear_date VALUES ('x','y','z')") << true << QString();
}

void TestDaemonDatabaseOperations::clearDateDecidesCleanUp()
{
    QFETCH(QString, stored);
    QFETCH(bool, needed);
    QFETCH(QString, log);

    QVERIFY(mInspector->exec(QStringLiteral("DELETE FROM clear_date")));
    if (!stored.isEmpty())
        QVERIFY(mInspector->exec(stored));
    if (!log.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(log));

    QCOMPARE(mDb->isClearNeeded(), needed);
    if (needed) {
        // What the daemon does after cleaning: from then on, nothing more today.
        mDb->updateClearDate(true);
        QVERIFY(!mDb->isClearNeeded());
    }
}

void TestDaemonDatabaseOperations::uncachedBatchFallsBackToNewestRows_data()
{
    QTest::addColumn<int>("cached");
    QTest::addColumn<QStringList>("batch");

    QTest::newRow("40 cached, new posts") << 40 << QStringList{"n1", "n2"};
    QTest::newRow("40 cached, empty batch") << 40 << QStringList();
    QTest::newRow("12 cached, new posts") << 12 << QStringList{"n1"};
    QTest::newRow("nothing cached") << 0 << QStringList{"n1", "n2"};
}

void TestDaemonDatabaseOperations::uncachedBatchFallsBackToNewestRows()
{
    QFETCH(int, cached);
    QFETCH(QStringList, batch);

    for (int n = 1; n <= cached; ++n) {
        const Qn::QnPost cachedPost = post(QStringLiteral("p%1").arg(n));
        mDb->addPostToDb(&cachedPost, 100 + n);
    }
    if (cached > 0) {
        // A previous pass over a range, with leftovers: the fallback must not act on them.
        mDb->prepareForChecks(posts({QStringLiteral("p%1").arg(cached / 2)}));
        QVERIFY(mDb->hasItemsToRemove());
    }

    QTest::ignoreMessage(QtDebugMsg, "No id found, fetching 30 latest..");
    mDb->prepareForChecks(posts(batch));
    QCOMPARE(mDb->isCheckListEmpty(), cached == 0);
    QVERIFY(!mDb->hasItemsToRemove());

    qint64 homeviewId = -7;
    for (const QString &id : batch) {
        const Qn::QnPost newPost = post(id);
        QCOMPARE(mDb->checkPost(&newPost, &homeviewId), DaemonDatabase::ItemAdd);
    }
    QVERIFY(!mDb->hasItemsToRemove());

    // The newest 30 rows are on the list, the older ones are not.
    for (int n = cached; n >= 1; --n) {
        const Qn::QnPost cachedPost = post(QStringLiteral("p%1").arg(n));
        QCOMPARE(mDb->checkPost(&cachedPost, &homeviewId),
                 n > cached - 30 ? DaemonDatabase::ItemUnchanged : DaemonDatabase::ItemAdd);
    }
    QVERIFY(mDb->isCheckListEmpty());
    QCOMPARE(homeviewId, qint64(-7));
    QCOMPARE(mInspector->numbers(QStringLiteral("SELECT COUNT(*) FROM items")), QList<qint64>{qint64(cached)});
}

void TestDaemonDatabaseOperations::staleRowsInRangeAreRemoved()
{
    for (int n = 1; n <= 9; ++n) {
        const Qn::QnPost cachedPost = post(QStringLiteral("p%1").arg(n));
        mDb->addPostToDb(&cachedPost, 100 + n);
    }
    const QStringList feed{"p9", "p7", "p5"};

    QTest::ignoreMessage(QtDebugMsg, "last id from cache \"5\"");
    mDb->prepareForChecks(posts(feed));
    for (const QString &id : feed) {
        const Qn::QnPost feedPost = post(id);
        QCOMPARE(mDb->checkPost(&feedPost, nullptr), DaemonDatabase::ItemUnchanged);
    }
    QVERIFY(mDb->hasItemsToRemove());
    QTest::ignoreMessage(QtDebugMsg, "Item: \"p6\" marked for deletion");
    QTest::ignoreMessage(QtDebugMsg, "Item: \"p8\" marked for deletion");
    QTest::ignoreMessage(QtDebugMsg, "\"6,8\"");
    QCOMPARE(mDb->removeStaleItems(), (QList<qint64>{106, 108}));
    QCOMPARE(mInspector->numbers(QStringLiteral("SELECT id FROM items ORDER BY id")),
             (QList<qint64>{1, 2, 3, 4, 5, 7, 9}));

    // A pass over an empty batch repeats the removal of the last list; the rows are gone already.
    QCOMPARE(mDb->removeStaleItems(), (QList<qint64>{106, 108}));
    QCOMPARE(mInspector->numbers(QStringLiteral("SELECT COUNT(*) FROM items")), QList<qint64>{7});

    mDb->prepareForChecks(posts(feed));
    for (const QString &id : feed) {
        const Qn::QnPost feedPost = post(id);
        mDb->checkPost(&feedPost, nullptr);
    }
    QVERIFY(!mDb->hasItemsToRemove());
}

void TestDaemonDatabaseOperations::changedCountsUpdateRow_data()
{
    QTest::addColumn<int>("likes");
    QTest::addColumn<int>("comments");
    QTest::addColumn<int>("newLikes");
    QTest::addColumn<int>("newComments");
    QTest::addColumn<DaemonDatabase::CheckResult>("result");

    QTest::newRow("like added") << 2 << 1 << 3 << 1 << DaemonDatabase::ItemUpdate;
    QTest::newRow("comment added") << 2 << 1 << 2 << 2 << DaemonDatabase::ItemUpdate;
    QTest::newRow("both dropped to zero") << 2 << 1 << 0 << 0 << DaemonDatabase::ItemUpdate;
    QTest::newRow("counts swapped") << 2 << 1 << 1 << 2 << DaemonDatabase::ItemUpdate;
    QTest::newRow("unchanged") << 2 << 1 << 2 << 1 << DaemonDatabase::ItemUnchanged;
}

void TestDaemonDatabaseOperations::changedCountsUpdateRow()
{
    QFETCH(int, likes);
    QFETCH(int, comments);
    QFETCH(int, newLikes);
    QFETCH(int, newComments);
    QFETCH(DaemonDatabase::CheckResult, result);

    const qint64 homeviewId = 5000000000LL;
    const Qn::QnPost old = post(QStringLiteral("p1"), likes, comments);
    const Qn::QnPost other = post(QStringLiteral("p2"), 4, 4);
    mDb->addPostToDb(&old, homeviewId);
    mDb->addPostToDb(&other, 9);
    const Qn::QnPost current = post(QStringLiteral("p1"), newLikes, newComments);

    mDb->prepareForChecks({current});
    qint64 out = -7;
    if (result == DaemonDatabase::ItemUpdate)
        QTest::ignoreMessage(QtDebugMsg, "Updating post \"p1\"");
    QCOMPARE(mDb->checkPost(&current, &out), result);
    QCOMPARE(out, result == DaemonDatabase::ItemUpdate ? homeviewId : qint64(-7));
    QCOMPARE(mInspector->rows(QStringLiteral("SELECT * FROM items ORDER BY id")),
             (QList<QVariantList>{{1, QStringLiteral("p1"), homeviewId, newLikes, newComments},
                                  {2, QStringLiteral("p2"), 9, 4, 4}}));

    // Its entry is used up: a second check in the same pass sees a new post.
    out = -7;
    QCOMPARE(mDb->checkPost(&current, &out), DaemonDatabase::ItemAdd);
    QCOMPARE(out, qint64(-7));
}

void TestDaemonDatabaseOperations::sixtyFourBitIdsRoundTrip()
{
    // Row ids beyond 32 bits, and AUTOINCREMENT continuing after them.
    QVERIFY(mInspector->exec(QStringLiteral("INSERT INTO items VALUES (4294967296,'old',1,0,0)")));
    const qint64 first = 2147483648LL;
    const qint64 last = std::numeric_limits<qint64>::max();
    const Qn::QnPost a = post(QStringLiteral("a"));
    const Qn::QnPost b = post(QStringLiteral("b"));
    mDb->addPostToDb(&a, first);
    mDb->addPostToDb(&b, last);

    QTest::ignoreMessage(QtDebugMsg, "last id from cache \"4294967297\"");
    mDb->prepareForChecks({a});
    const Qn::QnPost liked = post(QStringLiteral("a"), 1);
    qint64 out = 0;
    QCOMPARE(mDb->checkPost(&liked, &out), DaemonDatabase::ItemUpdate);
    QCOMPARE(out, first);
    QCOMPARE(mDb->removeStaleItems(), QList<qint64>{last});
    QCOMPARE(mInspector->rows(QStringLiteral("SELECT * FROM items ORDER BY id")),
             (QList<QVariantList>{{4294967296LL, QStringLiteral("old"), 1, 0, 0},
                                  {4294967297LL, QStringLiteral("a"), first, 1, 0}}));
}

void TestDaemonDatabaseOperations::longListsAreSplit_data()
{
    QTest::addColumn<bool>("refuseOne");
    QTest::newRow("all rows go") << false;
    QTest::newRow("one row refuses") << true;
}

void TestDaemonDatabaseOperations::longListsAreSplit()
{
    QFETCH(bool, refuseOne);
    // Thousands of per-row debug lines say nothing here.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QVERIFY(addRows(*mInspector, 1200));
    // The oldest cached post in the first part of the id list, a newer one in a later part.
    QStringList feed;
    for (int n = 0; n < 1000; ++n)
        feed << QStringLiteral("new%1").arg(n);
    feed.insert(499, QStringLiteral("q3"));
    feed << QStringLiteral("q900") << QStringLiteral("q3");

    mDb->prepareForChecks(posts(feed));
    for (const QString &id : {QStringLiteral("q900"), QStringLiteral("q3")}) {
        const Qn::QnPost feedPost = post(id);
        QCOMPARE(mDb->checkPost(&feedPost, nullptr), DaemonDatabase::ItemUnchanged);
    }
    QVERIFY(mDb->hasItemsToRemove());

    if (refuseOne) {
        // "q999" sorts last, so earlier parts of the deletion have run when it refuses.
        QVERIFY(mInspector->exec(QStringLiteral("CREATE TRIGGER keep BEFORE DELETE ON items "
                                                "WHEN OLD.quillnet_id = 'q999' BEGIN SELECT RAISE(ABORT, 'kept'); END")));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to delete items from cache! \"kept")));
        QVERIFY(mDb->removeStaleItems().isEmpty());
        QCOMPARE(mInspector->numbers(QStringLiteral("SELECT COUNT(*) FROM items")), QList<qint64>{1200});
    } else {
        QList<qint64> removed = mDb->removeStaleItems();
        QCOMPARE(removed.size(), 1200 - 3 - 2);
        std::sort(removed.begin(), removed.end());
        QCOMPARE(removed.first(), qint64(10004));
        QCOMPARE(removed.last(), qint64(11199));
        QVERIFY(!removed.contains(10900));
        QCOMPARE(mInspector->texts(QStringLiteral("SELECT quillnet_id FROM items ORDER BY id")),
                 (QStringList{"q0", "q1", "q2", "q3", "q900"}));
    }

    // The same split for the seen and shown ids; a repeated id is answered once.
    for (const char *key : {"k5", "k700", "k1099"})
        QVERIFY(mInspector->exec(QStringLiteral("INSERT INTO shown_items VALUES ('%1','notif')").arg(QLatin1String(key))));
    QVERIFY(mInspector->exec(QStringLiteral("INSERT INTO shown_items VALUES ('k6','event')")));
    QStringList keys;
    for (int n = 0; n < 1100; ++n)
        keys << QStringLiteral("k%1").arg(n);
    keys << QStringLiteral("k5");
    QStringList shown = mDb->checkShownItems(keys, QStringLiteral("notif"));
    shown.sort();
    QCOMPARE(shown, (QStringList{"k1099", "k5", "k700"}));
}

void TestDaemonDatabaseOperations::unusualIdsAreStoredAndFound_data()
{
    QTest::addColumn<QString>("id");
    QTest::newRow("apostrophe") << QStringLiteral("it's");
    QTest::newRow("comma") << QStringLiteral("a,b");
    QTest::newRow("parenthesis") << QStringLiteral("x)");
    QTest::newRow("drop items") << QStringLiteral("'); DROP TABLE items; --");
    QTest::newRow("drop shown") << QStringLiteral("x'); DROP TABLE shown_items; --");
    QTest::newRow("always true") << QStringLiteral("' OR '1'='1");
    QTest::newRow("double quotes") << QStringLiteral("say \"hi\"");
    QTest::newRow("placeholders") << QStringLiteral(":id ? %1");
    QTest::newRow("unicode") << QStringLiteral("пост 😀");
    QTest::newRow("long") << QString(5000, QLatin1Char('x'));
}

void TestDaemonDatabaseOperations::unusualIdsAreStoredAndFound()
{
    QFETCH(QString, id);

    const Qn::QnPost decoy = post(QStringLiteral("decoy"));
    const Qn::QnPost unusual = post(id);
    const Qn::QnPost newer = post(QStringLiteral("newer"));
    mDb->addPostToDb(&decoy, 1);
    mDb->addPostToDb(&unusual, 2);
    mDb->addPostToDb(&newer, 3);

    QTest::ignoreMessage(QtDebugMsg, "last id from cache \"2\"");
    mDb->prepareForChecks({unusual});
    QCOMPARE(mDb->checkPost(&unusual, nullptr), DaemonDatabase::ItemUnchanged);
    QCOMPARE(mDb->removeStaleItems(), QList<qint64>{3});
    QCOMPARE(mInspector->texts(QStringLiteral("SELECT quillnet_id FROM items ORDER BY id")),
             (QStringList{QStringLiteral("decoy"), id}));

    QVERIFY(mDb->markShown(QStringLiteral("other"), QStringLiteral("notif")));
    QVERIFY(mDb->markShown(id, QStringLiteral("notif")));
    QCOMPARE(mDb->checkShownItems({id, QStringLiteral("absent")}, QStringLiteral("notif")), QStringList{id});
    QCOMPARE(mDb->checkSeenItems({id}, QStringLiteral("notif")), QStringList());
    QVERIFY(mDb->markSeen(id, QStringLiteral("message")));
    QCOMPARE(mDb->checkSeenItems({QStringLiteral("other"), id}, QStringLiteral("message")), QStringList{id});
    QCOMPARE(mInspector->rows(QStringLiteral("SELECT * FROM seen_items")),
             (QList<QVariantList>{{id, QStringLiteral("message")}}));
    QCOMPARE(mInspector->tables(), AllTables);
}

void TestDaemonDatabaseOperations::postWithoutIdIsFoundAgain_data()
{
    QTest::addColumn<QString>("id");
    QTest::newRow("null") << QString();
    QTest::newRow("empty") << QStringLiteral("");
}

void TestDaemonDatabaseOperations::postWithoutIdIsFoundAgain()
{
    QFETCH(QString, id);

    // Recorded once, so that the next pass does not publish it again.
    const Qn::QnPost noId = post(id);
    const Qn::QnPost newer = post(QStringLiteral("newer"));
    mDb->addPostToDb(&noId, 77);
    mDb->addPostToDb(&newer, 78);
    QCOMPARE(mInspector->texts(QStringLiteral("SELECT quillnet_id FROM items ORDER BY id")),
             (QStringList{QString(), QStringLiteral("newer")}));
    QTest::ignoreMessage(QtDebugMsg, "last id from cache \"1\"");
    mDb->prepareForChecks({noId});
    QCOMPARE(mDb->checkPost(&noId, nullptr), DaemonDatabase::ItemUnchanged);
    QVERIFY(mDb->hasItemsToRemove());

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Empty id$")));
    QVERIFY(!mDb->markShown(id, QStringLiteral("friendreq")));
    QCOMPARE(mInspector->rows(QStringLiteral("SELECT * FROM shown_items")), QList<QVariantList>());
}

void TestDaemonDatabaseOperations::marksAreRecordedOncePerTable()
{
    const QString key = QStringLiteral("t1.1325376000000");
    QVERIFY(mDb->markShown(key, QStringLiteral("message")));

    // Callers rely on false here: it tells them the item was recorded before.
    for (const QString &type : {QStringLiteral("message"), QStringLiteral("notif")}) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
            QStringLiteral("^Failed to exec sql query \"UNIQUE constraint failed: shown_items.id")));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(
            QStringLiteral("^Failing query: \"INSERT INTO shown_items \\(id,type\\) values")));
        QVERIFY(!mDb->markShown(key, type));
    }
    QVERIFY(mDb->markSeen(key, QStringLiteral("message")));

    QCOMPARE(mInspector->rows(QStringLiteral("SELECT * FROM shown_items")),
             (QList<QVariantList>{{key, QStringLiteral("message")}}));
    QCOMPARE(mDb->checkShownItems({key, key, QStringLiteral("t2.1")}, QStringLiteral("message")), QStringList{key});
    QCOMPARE(mDb->checkShownItems({key}, QStringLiteral("notif")), QStringList());
}

void TestDaemonDatabaseOperations::unknownTypesAreRefused_data()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("foo") << QStringLiteral("foo");
    QTest::newRow("empty") << QString();
    QTest::newRow("other case") << QStringLiteral("Notif");
    QTest::newRow("trailing blank") << QStringLiteral("notif ");
    QTest::newRow("injection") << QStringLiteral("notif' OR '1'='1");
}

void TestDaemonDatabaseOperations::unknownTypesAreRefused()
{
    QFETCH(QString, type);

    QVERIFY(mDb->markShown(QStringLiteral("n1"), QStringLiteral("notif")));
    const QRegularExpression log(QStringLiteral("Unknown type: ")
                                 + QRegularExpression::escape(QLatin1Char('"') + type + QLatin1Char('"')) + QLatin1Char('$'));
    for (int i = 0; i < 4; ++i)
        QTest::ignoreMessage(QtWarningMsg, log);

    QVERIFY(!mDb->markShown(QStringLiteral("n2"), type));
    QVERIFY(!mDb->markSeen(QStringLiteral("n2"), type));
    QCOMPARE(mDb->checkShownItems({QStringLiteral("n1")}, type), QStringList());
    QCOMPARE(mDb->checkSeenItems({QStringLiteral("n1")}, type), QStringList());
    QCOMPARE(mInspector->rows(QStringLiteral("SELECT * FROM shown_items")),
             (QList<QVariantList>{{QStringLiteral("n1"), QStringLiteral("notif")}}));
    QCOMPARE(mInspector->rows(QStringLiteral("SELECT * FROM seen_items")), QList<QVariantList>());
}

void TestDaemonDatabaseOperations::emptyIdListsRunNoQuery()
{
    // Any query would fail now and warn.
    QVERIFY(mInspector->exec(QStringLiteral("DROP TABLE shown_items")));
    QVERIFY(mInspector->exec(QStringLiteral("DROP TABLE seen_items")));

    QCOMPARE(mDb->checkShownItems({}, QStringLiteral("notif")), QStringList());
    QCOMPARE(mDb->checkSeenItems({}, QStringLiteral("foo")), QStringList());
}

void TestDaemonDatabaseOperations::failedStatementsGiveNeutralResults()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("checkPost.* No post given$")));
    QCOMPARE(mDb->checkPost(nullptr, nullptr), DaemonDatabase::ItemUnchanged);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("addPostToDb.* No post given$")));
    mDb->addPostToDb(nullptr, 5);

    QVERIFY(mInspector->exec(QStringLiteral("CREATE TRIGGER full BEFORE INSERT ON items BEGIN SELECT RAISE(ABORT, 'full'); END")));
    const Qn::QnPost refused = post(QStringLiteral("refused"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("addPostToDb.* Error: Insert failed\\.\\s+\"full")));
    mDb->addPostToDb(&refused, 5);
    QCOMPARE(mInspector->numbers(QStringLiteral("SELECT COUNT(*) FROM items")), QList<qint64>{0});
    QVERIFY(mInspector->exec(QStringLiteral("DROP TRIGGER full")));

    // A failed count update still updates the Event Feed item.
    const Qn::QnPost p1 = post(QStringLiteral("p1"), 1);
    const Qn::QnPost p2 = post(QStringLiteral("p2"));
    mDb->addPostToDb(&p1, 11);
    mDb->addPostToDb(&p2, 12);
    QVERIFY(mInspector->exec(QStringLiteral("CREATE TRIGGER frozen BEFORE UPDATE ON items BEGIN SELECT RAISE(ABORT, 'frozen'); END")));
    mDb->prepareForChecks({p1});
    const Qn::QnPost liked = post(QStringLiteral("p1"), 2);
    qint64 out = 0;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to update row in cache! \"frozen")));
    QCOMPARE(mDb->checkPost(&liked, &out), DaemonDatabase::ItemUpdate);
    QCOMPARE(out, qint64(11));
    QCOMPARE(mInspector->numbers(QStringLiteral("SELECT likes FROM items WHERE quillnet_id='p1'")), QList<qint64>{1});
    QVERIFY(mDb->hasItemsToRemove());

    // A failed load leaves nothing of the previous list to remove.
    QVERIFY(mInspector->exec(QStringLiteral("DROP TABLE items")));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Failed to fetch last qn id for the group \"no such table")));
    mDb->prepareForChecks({p1});
    QVERIFY(mDb->isCheckListEmpty());
    QVERIFY(!mDb->hasItemsToRemove());
    QVERIFY(mDb->removeStaleItems().isEmpty());

    QVERIFY(mInspector->exec(QStringLiteral("DROP TABLE shown_items")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to exec sql query \"no such table")));
    QVERIFY(!mDb->markShown(QStringLiteral("n1"), QStringLiteral("notif")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("checkItems.* query execution failed \"no such table")));
    QCOMPARE(mDb->checkShownItems({QStringLiteral("n1")}, QStringLiteral("notif")), QStringList());

    QVERIFY(mInspector->exec(QStringLiteral("DROP TABLE clear_date")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to request last clear date \"no such table")));
    QVERIFY(!mDb->isClearNeeded());
}

QTEST_GUILESS_MAIN(TestDaemonDatabaseOperations)
#include "tst_daemondatabaseoperations.moc"
