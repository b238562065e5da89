// The shared helpers: web addresses, link-safe file operations and locks, logged texts, the bounded
// reader and kept prepared statements. The SQLite file helpers are tested through their users on
// real files: a link in place of the file moved aside in tst_qncache, damage and locks told apart
// there and in tst_daemondatabase, which also stores an absent post id as a bindable text; removing
// trees without following links through Utils::clearDirectory (tst_utils).
#include "platform/support/boundedreader.h"
#include "platform/support/files.h"
#include "platform/support/logtext.h"
#include "platform/support/sqlitefile.h"
#include "platform/support/statementcache.h"
#include "platform/support/webaddress.h"
#include "testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QTest>

#include <array>

#include <unistd.h>

class TestSupport : public QObject
{
    Q_OBJECT

private slots:
    void withPath()
    {
        // Base, path, joined.
        const QList<std::array<const char *, 3>> rows = {
                {"http://h:1", "/me", "http://h:1/me"},
                {"http://h/api", "/me", "http://h/api/me"},
                {"http://h/api//", "/oauth/token", "http://h/api/oauth/token"},
                {"http://h/api?x=1#f", "/me", "http://h/api/me"}, // query and fragment dropped
                {"http://h/a%20b/", "/me", "http://h/a%20b/me"},
        };
        for (const auto &[base, path, joined] : rows)
            QCOMPARE(Support::withPath(QUrl(base), path).toString(QUrl::FullyEncoded), QString::fromLatin1(joined));
    }

    void userOnlyFilesAndLocks()
    {
        QTemporaryDir root;
        QCOMPARE(::chmod(QFile::encodeName(root.path()).constData(), 0705), 0);
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

        // A lock file left behind, empty or naming anything, locks nobody out; a held one does, and
        // names its holder; it is free again once the descriptor is gone.
        qint64 holder = -1;
        QVERIFY(Support::lockExclusively(dangling, &holder) < 0);
        QCOMPARE(holder, 0);
        const QString lock = root.filePath(QStringLiteral("lock"));
        ::close(Support::lockExclusively(lock, &holder));
        QCOMPARE(modeOf(lock), 0600);
        for (const QByteArray &left : {QByteArray(), QByteArray("4711\n"), QByteArray("garbage")}) {
            QVERIFY(writeFile(lock, left));
            const int fd = Support::lockExclusively(lock, &holder);
            QVERIFY(fd >= 0);
            QCOMPARE(Support::lockExclusively(lock, &holder), -1);
            QCOMPARE(holder, qint64(::getpid()));
            ::close(fd);
        }
    }

    void moveAsideTakesCompanionsAndCounts()
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

    void loggedTextsAreBounded()
    {
        const QString fits(Support::MaxLoggedLength, QLatin1Char('a'));
        QCOMPARE(Support::logText(fits), fits);
        const QString huge(8 * 1024 * 1024, QLatin1Char('b'));
        QCOMPARE(Support::logText(huge),
                 QString(Support::MaxLoggedLength, QLatin1Char('b')) + QStringLiteral("... (8388608 characters)"));
    }

    void boundedReaderRefusesOnceWithAReason_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<QString>("problem"); // empty: the list reads
        QTest::addColumn<int>("status");
        const int pastEnd = QDataStream::ReadPastEnd;
        const int corrupt = QDataStream::ReadCorruptData;
        // A string list of at most 3 texts of at most 4 characters, as the read file holds one.
        QTest::newRow("texts, empty and null")
                << QByteArray("00000003 00000002 0061 00000000 ffffffff") << QString() << int(QDataStream::Ok);
        QTest::newRow("nothing") << QByteArray() << "at byte 0: cut short" << pastEnd;
        QTest::newRow("count over the limit")
                << QByteArray("00000004") << "at byte 4: a count of 4, over the limit of 3" << corrupt;
        QTest::newRow("count past the bytes")
                << QByteArray("00000002 00000000") << "2 entries cannot fit in 4 bytes" << pastEnd;
        QTest::newRow("text over the limit") << QByteArray("00000001 0000000a 00610062006300640065")
                                             << "a text of 10 bytes, over the limit of 8" << corrupt;
        QTest::newRow("text past the bytes")
                << QByteArray("00000001 00000004 0061") << "a text of 4 bytes in 2" << pastEnd;
        QTest::newRow("odd text length") << QByteArray("00000001 00000001 00") << "odd length" << corrupt;
        QTest::newRow("trailing byte") << QByteArray("00000000 00") << "at byte 4: 1 bytes after the end" << corrupt;
    }

    void boundedReaderRefusesOnceWithAReason()
    {
        QFETCH(QByteArray, hex);
        QFETCH(QString, problem);
        QFETCH(int, status);
        QDataStream in(QByteArray::fromHex(hex.replace(' ', "")));
        Support::BoundedReader reader(in);
        QStringList list;
        const bool read = reader.readStringList(&list, 3, 4) && reader.expectEnd();
        QCOMPARE(read, problem.isEmpty());
        QCOMPARE(int(in.status()), status);
        if (read) {
            QCOMPARE(list, QStringList({"a", "", QString()}));
            QVERIFY(!list.at(1).isNull() && list.at(2).isNull());
            return;
        }
        QVERIFY2(reader.problem().contains(problem), qPrintable(reader.problem()));
        // Refused once: later reads read nothing and the first reason stays.
        const QString first = reader.problem();
        quint8 byte = 0;
        QVERIFY(!reader.read(&byte) && !reader.fail(QStringLiteral("later")));
        QCOMPARE(reader.problem(), first);
        QCOMPARE(int(in.status()), status);
    }

    void keptStatementsAreReusedResetAndNested()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("kept.db"));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("kept"));
            db.setDatabaseName(file);
            QVERIFY(db.open());
            QSqlQuery(db).exec(QStringLiteral("CREATE TABLE t (id INTEGER, name TEXT)"));
            Support::StatementCache cache;
            const QString insert = QStringLiteral("INSERT INTO t VALUES (?, ?)");
            const QString select = QStringLiteral("SELECT name FROM t WHERE id >= :id ORDER BY id");

            // Reused with new values: positional values do not pile up from one use to the next.
            for (int id = 1; id <= 3; ++id) {
                auto statement = cache.statement(db, insert);
                QVERIFY(statement.isPrepared());
                statement.query().addBindValue(id);
                statement.query().addBindValue(QStringLiteral("n%1").arg(id));
                QVERIFY2(statement.query().exec(), qPrintable(statement.query().lastError().text()));
            }
            QCOMPARE(cache.size(), 1);

            // A use inside a use of the same text gets its own statement; the outer rows are intact.
            QStringList outerRows;
            QStringList innerRows;
            {
                auto outer = cache.statement(db, select);
                outer.query().bindValue(QStringLiteral(":id"), 1);
                QVERIFY(outer.query().exec());
                while (outer.query().next()) {
                    outerRows << outer.query().value(0).toString();
                    auto inner = cache.statement(db, select);
                    inner.query().bindValue(QStringLiteral(":id"), 3);
                    QVERIFY(inner.query().exec() && inner.query().next());
                    innerRows << inner.query().value(0).toString();
                }
            }
            QCOMPARE(outerRows, QStringList({"n1", "n2", "n3"}));
            QCOMPARE(innerRows, QStringList({"n3", "n3", "n3"}));
            QCOMPARE(cache.size(), 2);

            // A read left half-way is finished when its use ends, so that it holds no lock on the file.
            {
                auto half = cache.statement(db, select);
                half.query().bindValue(QStringLiteral(":id"), 1);
                QVERIFY(half.query().exec() && half.query().next());
            }
            QVERIFY(!cache.statement(db, select).query().isActive());

            // A text that does not prepare is not kept; once it can prepare, it is.
            const QString later = QStringLiteral("SELECT COUNT(*) FROM later");
            QVERIFY(!cache.statement(db, later).isPrepared());
            QSqlQuery(db).exec(QStringLiteral("CREATE TABLE later (x)"));
            QVERIFY(cache.statement(db, later).query().exec());
            QCOMPARE(cache.size(), 3);

            // Beyond the limit, texts are prepared for one use only.
            for (int i = 0; i < Support::StatementCache::MaxStatements + 5; ++i) {
                auto statement = cache.statement(db, QStringLiteral("SELECT %1").arg(i));
                QVERIFY(statement.query().exec() && statement.query().next());
                QCOMPARE(statement.query().value(0).toInt(), i);
            }
            QCOMPARE(cache.size(), Support::StatementCache::MaxStatements);
            cache.clear();
            QCOMPARE(cache.size(), 0);
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("kept"));
    }
};

QTEST_GUILESS_MAIN(TestSupport)
#include "tst_support.moc"
