#include "database/daemondatabase.h"
#include "databaseinspector.h"

#include <QDate>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

// Rows 1..count for posts "p1".."p<count>", published as Event Feed items 100 + n.
bool addRows(Inspector &inspector, int count)
{
    inspector.exec("BEGIN");
    for (int n = 1; n <= count; ++n) {
        if (!inspector.exec(QStringLiteral("INSERT INTO items(quillnet_id,homeview_id,likes,comments) "
                                           "VALUES ('p%1',%2,0,0)")
                                    .arg(n)
                                    .arg(100 + n)))
            return false;
    }
    return inspector.exec("COMMIT");
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
    void checksFindChangedAndStaleRows();
    void removeAllItemsForgetsEveryPublication();
    void longListsInOneStatement();
    void hostileIdsAreStoredAndFound();
    void marksAreRecordedOnceForItemTypesOnly();
    void failedStatementsGiveNeutralResults();

private:
    QTemporaryDir mDir;
    int mCount = 0;
    std::unique_ptr<DaemonDatabase> mDb;
    std::unique_ptr<Inspector> mInspector;
};

void TestDaemonDatabaseOperations::init()
{
    // Every warning a test does not expect is a fault; it also catches a leftover connection.
    QTest::failOnWarning(QRegularExpression(".*"));
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
    QTest::addColumn<QString>("stored"); // day, month, year
    QTest::addColumn<bool>("needed");

    const QDate today = QDate::currentDate();
    QTest::newRow("nothing stored") << QString() << false;
    QTest::newRow("today") << today.toString("d,M,yyyy") << false;
    QTest::newRow("yesterday") << today.addDays(-1).toString("d,M,yyyy") << true;
    // A date stored while the clock ran ahead must not hold the clean-up back.
    QTest::newRow("tomorrow") << today.addDays(1).toString("d,M,yyyy") << true;
    QTest::newRow("not a date") << "31,2,2023" << true;
    QTest::newRow("text") << "'x','y','z'" << true;
}

void TestDaemonDatabaseOperations::clearDateDecidesCleanUp()
{
    QFETCH(QString, stored);
    QFETCH(bool, needed);

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

void TestDaemonDatabaseOperations::uncachedBatchFallsBackToNewestRows_data()
{
    QTest::addColumn<int>("cached");
    QTest::addColumn<QStringList>("batch");

    QTest::newRow("40 cached, new posts") << 40 << QStringList {"n1", "n2"};
    QTest::newRow("40 cached, empty batch") << 40 << QStringList();
    QTest::newRow("12 cached, new posts") << 12 << QStringList {"n1"};
    QTest::newRow("nothing cached") << 0 << QStringList {"n1", "n2"};
}

void TestDaemonDatabaseOperations::uncachedBatchFallsBackToNewestRows()
{
    QFETCH(int, cached);
    QFETCH(QStringList, batch);

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

void TestDaemonDatabaseOperations::checksFindChangedAndStaleRows()
{
    // Row ids beyond 32 bits (AUTOINCREMENT continues after the largest) and Event Feed ids
    // beyond 2^31.
    QVERIFY(mInspector->exec("INSERT INTO items VALUES (4294967296,'older',1,0,0)"));
    const qint64 feedId = 5000000000LL;
    const Qn::QnPosts stored = {post("liked", 2, 1),   post("gone", 2, 1), post("commented", 2, 1),
                                post("swapped", 2, 1), post("left", 2, 1), post("same", 2, 1)};
    for (int i = 0; i < stored.size(); ++i)
        mDb->addPostToDb(&stored[i], feedId + i);
    const Qn::QnPosts current
            = {post("liked", 3, 1), post("commented", 2, 2), post("swapped", 1, 2), post("same", 2, 1)};
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
                                   {4294967297LL, "liked", feedId, 3, 1},
                                   {4294967299LL, "commented", feedId + 2, 2, 2},
                                   {4294967300LL, "swapped", feedId + 3, 1, 2},
                                   {4294967302LL, "same", feedId + 5, 2, 1}}));
}

void TestDaemonDatabaseOperations::removeAllItemsForgetsEveryPublication()
{
    QVERIFY(addRows(*mInspector, 3));
    QVERIFY(mDb->markShown("n1", "notif") && mDb->markSeen("n1", "notif"));

    // That every post is then published again is in tst_eventfeedhandler; the notification marks
    // are another matter.
    QVERIFY(mDb->removeAllItems());
    QCOMPARE(mInspector->column("SELECT COUNT(*) FROM items"), QVariantList {0});
    QCOMPARE(mDb->checkShownItems({"n1"}, "notif") + mDb->checkSeenItems({"n1"}, "notif"), (QStringList {"n1", "n1"}));

    // The rows belong to one instance of the Event Feed; a new one takes them away in one step.
    QVERIFY(addRows(*mInspector, 2));
    QCOMPARE(mDb->itemsOwner(), QString());
    QVERIFY(mDb->setItemsOwner("bus/:1.5", false));
    QVERIFY(mDb->setItemsOwner("bus/:1.9", true));
    QCOMPARE(mDb->itemsOwner(), QStringLiteral("bus/:1.9"));
    QCOMPARE(mInspector->column("SELECT COUNT(*) FROM items"), QVariantList {0});

    QVERIFY(mInspector->exec("DROP TABLE items"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("removeAllItems.* Failed to delete items from cache! \"no such table"));
    QVERIFY(!mDb->removeAllItems());
    // All or nothing: the owner stays when its rows cannot go.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("setItemsOwner.* Unable to record the Event Feed"));
    QVERIFY(!mDb->setItemsOwner("bus/:1.12", true));
    QCOMPARE(mDb->itemsOwner(), QStringLiteral("bus/:1.9"));
}

void TestDaemonDatabaseOperations::longListsInOneStatement()
{
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

void TestDaemonDatabaseOperations::hostileIdsAreStoredAndFound()
{
    // Ids come from the network and the bus. A post the service left without an id is stored as
    // the empty text and found again, so that the next pass does not publish it again.
    const QStringList ids = {"it's",
                             "a,b",
                             "x)",
                             "'); DROP TABLE items; --",
                             "x'); DROP TABLE shown_items; --",
                             "' OR '1'='1",
                             ":id ? %1",
                             QStringLiteral("пост 😀")};
    const Qn::QnPosts batch = posts(QStringList(ids) << QString());
    const Qn::QnPost decoy = post("decoy"), newer = post("newer");
    mDb->addPostToDb(&decoy, 1);
    for (const Qn::QnPost &hostile : batch)
        mDb->addPostToDb(&hostile, 2);
    mDb->addPostToDb(&newer, 3);

    // The oldest post of the batch starts the range, so only the newer row is stale.
    mDb->prepareForChecks(batch);
    for (const Qn::QnPost &hostile : batch)
        QCOMPARE(mDb->checkPost(&hostile, nullptr), DaemonDatabase::ItemUnchanged);
    QCOMPARE(mDb->removeStaleItems(), QList<qint64> {3});
    QCOMPARE(mInspector->column("SELECT quillnet_id FROM items ORDER BY id"),
             (QVariantList {"decoy"} << QVariantList(ids.begin(), ids.end()) << ""));

    QVERIFY(mDb->markShown("other", "notif"));
    for (const QString &id : ids)
        QVERIFY(mDb->markShown(id, "notif") && mDb->markSeen(id, "message"));
    QCOMPARE(sorted(mDb->checkShownItems(QStringList(ids) << "absent", "notif")), sorted(ids));
    QCOMPARE(sorted(mDb->checkSeenItems(QStringList(ids) << "other", "message")), sorted(ids));
    QCOMPARE(mDb->checkSeenItems(ids, "notif"), QStringList());
    // Found by their own text, never as patterns.
    QCOMPARE(mDb->shownKeysOf(":id ? %1", "notif") + mDb->shownKeysOf("%", "notif"), QStringList {":id ? %1"});
    QCOMPARE(mDb->itemCount(), ids.size() + 2);
    // Nothing the daemon shows has an empty key.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Empty id$"));
    QVERIFY(!mDb->markShown(QString(), "friendreq"));
    QCOMPARE(mInspector->tables(), Inspector::DaemonTables);
}

void TestDaemonDatabaseOperations::marksAreRecordedOnceForItemTypesOnly()
{
    const QString key = QStringLiteral("t1.1325376000000");
    QVERIFY(mDb->markShown(key, "message"));
    // Callers rely on false here: it tells them the item was recorded before.
    for (const char *type : {"message", "notif"}) {
        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression("^Failed to exec sql query \"UNIQUE constraint failed: shown_items.id"));
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^Failing query: \"INSERT INTO shown_items \\(id,type\\) values"));
        QVERIFY(!mDb->markShown(key, type));
    }
    // One notification's ids together: one already recorded and an empty one do not keep the
    // others out.
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^Failed to exec sql query \"UNIQUE constraint failed: shown_items.id"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Failing query: \"INSERT INTO shown_items"));
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

void TestDaemonDatabaseOperations::failedStatementsGiveNeutralResults()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("checkPost.* No post given$"));
    QCOMPARE(mDb->checkPost(nullptr, nullptr), DaemonDatabase::ItemUnchanged);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("addPostToDb.* No post given$"));
    mDb->addPostToDb(nullptr, 5);

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

QTEST_GUILESS_MAIN(TestDaemonDatabaseOperations)
#include "tst_daemondatabaseoperations.moc"
