// The cache on its own: persistence with hostile keys, permissions, files it cannot use or must not
// touch, a database locked by someone else, order and paging of lists, clean-up that never follows
// links, and all-or-nothing writes.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <unistd.h>

#include "database/databaseinspector.h"
#include "simclient.h"
#include "testfiles.h"

using namespace Qn;
using namespace Qt::StringLiterals;

namespace {

const QFileDevice::Permissions OwnerOnlyFile
        = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;

QnPost post(const QString &id, const QString &author, const QDateTime &created)
{
    QnPost p(id);
    p.setFrom(QnUserRef(author, author.toUpper()));
    p.setMessage(QStringLiteral("message of ") + id);
    p.setCreated(created);
    return p;
}

} // namespace

class TestQnCache : public QObject, public SimClientFixture
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(openCache()); }
    void cleanup() { stop(); }

    void userDataIsKeptAndInstancesUseTheirOwnConnections()
    {
        const QString hostile = QStringLiteral("it's'; DROP TABLE user_data; --");
        QVERIFY(mCache->getUserData("canceled_logins").isEmpty());
        QVERIFY(mCache->updateUserData("canceled_logins", "1"));
        QVERIFY(mCache->updateUserData("canceled_logins", "2"));
        QVERIFY(mCache->updateUserData(hostile, hostile));
        QVERIFY(!mCache->updateUserData(QString(), "x"));
        // On disk: another instance, with a connection of its own, reads it.
        QnCache second(cacheConfiguration(*mDir));
        QCOMPARE(second.getUserData("canceled_logins"), u"2"_s);
        QCOMPARE(second.getUserData(hostile), hostile);

        // A closed instance gives neutral results and leaves the others working.
        QVERIFY(second.close());
        QVERIFY(!second.isOpen());
        QVERIFY(!second.close());
        QVERIFY(second.getUserData("canceled_logins").isEmpty());
        QVERIFY(!second.updateUserData("k", "w"));
        QVERIFY(!second.removePosts(QDateTime::currentDateTime()));
        bool ok = true;
        QVERIFY(second.newsFeed("me", -1, 0, &ok).isEmpty());
        QVERIFY(!ok);
        QVERIFY(mCache->updateUserData("k", "still first"));
        QCOMPARE(mCache->getUserData("k"), u"still first"_s);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no database name"));
        QVERIFY(!QnCache(QnCacheConfiguration()).isOpen());
    }

    void downloadsAndTheDatabaseAreForTheUserOnly()
    {
        // The folders and the database file that the cache creates are checked in the daemon's process
        // test (tst_daemonprocess, under umask 022); here the downloads, and a database file that others
        // could read before.
        const QString stored = mCache->storeData(QUrl("http://pics.example/a.png"), "png");
        QCOMPARE(QFileInfo(stored).permissions(), OwnerOnlyFile);
        const QnCacheConfiguration configuration = cacheConfiguration(*mDir);
        QVERIFY(mCache->close());
        QFile::setPermissions(configuration.databaseName(),
                              OwnerOnlyFile | QFileDevice::ReadOther | QFileDevice::ReadGroup);
        QVERIFY(QnCache(configuration).isOpen());
        QCOMPARE(QFileInfo(configuration.databaseName()).permissions(), OwnerOnlyFile);
    }

    void unusableFileIsMovedAsideAndRebuilt_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("warning");
        const QString damaged = QStringLiteral("is damaged"), link = QStringLiteral("is a link; moving it aside");
        QTest::newRow("not a database") << "garbage" << damaged;
        QTest::newRow("damaged page") << "malformed" << damaged;
        QTest::newRow("link to another program's database") << "link" << link;
        QTest::newRow("dangling link") << "dangling" << link;
    }

    void unusableFileIsMovedAsideAndRebuilt()
    {
        QFETCH(QString, kind);
        QFETCH(QString, warning);
        for (int i = 0; i < 50 && kind == "malformed"; ++i)
            QVERIFY(mCache->updateUserData(QStringLiteral("key%1").arg(i), QString(200, QLatin1Char('v'))));
        mCache.reset();
        const QnCacheConfiguration configuration = cacheConfiguration(*mDir);
        const QString name = configuration.databaseName();
        QVERIFY(QDir().mkpath(QFileInfo(name).path()));
        // Another program's database, for the links to point at.
        const QString foreign = mDir->filePath("foreign.db");
        QVERIFY(Inspector(foreign).exec("CREATE TABLE precious (x TEXT)"));
        QVERIFY(QFile::setPermissions(foreign, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        const QByteArray foreignBytes = readFile(foreign);

        QByteArray kept;
        if (kind == "garbage") {
            kept = QByteArray("not a database ").repeated(300);
            QVERIFY(writeFile(name, kept));
        } else if (kind == "malformed") {
            QVERIFY(damageDatabase(name));
            kept = readFile(name);
        } else {
            QVERIFY(QFile::remove(name));
            QVERIFY(QFile::link(kind == "link" ? foreign : mDir->filePath("missing.db"), name));
        }

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        QnCache cache(configuration);
        QVERIFY(cache.isOpen());
        QVERIFY(cache.getUserData("key1").isEmpty());
        QVERIFY(cache.updateUserData("k", "v"));
        QCOMPARE(cache.getUserData("k"), u"v"_s);
        QVERIFY(!QFileInfo(name).isSymLink());
        QCOMPARE(modeOf(name), 0600);
        // What was there is kept, renamed, for inspection: a link as a link.
        const QDir folder = QFileInfo(name).dir();
        const QStringList aside = folder.entryList({"qncache.db.corrupt-*"}, QDir::Files | QDir::System);
        QCOMPARE(aside.size(), 1);
        if (kept.isEmpty())
            QVERIFY(QFileInfo(folder.filePath(aside.first())).isSymLink());
        else
            QCOMPARE(readFile(folder.filePath(aside.first())), kept);
        // Nothing was written through a link, nor created at its target.
        QCOMPARE(readFile(foreign), foreignBytes);
        QCOMPARE(modeOf(foreign), 0604);
        QVERIFY(!QFileInfo::exists(mDir->filePath("missing.db")));
    }

    void lockedDatabaseIsOpenedOnALaterUse()
    {
        QVERIFY(mCache->updateUserData("k", "v"));
        mCache.reset();
        auto locker = std::make_unique<Inspector>(cacheConfiguration(*mDir).databaseName());
        QVERIFY(locker->exec("BEGIN EXCLUSIVE"));

        // SQLite waits for the lock before it gives up; the cache does not give up for the run.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("locked by another process; trying again"));
        QnCache cache(cacheConfiguration(*mDir));
        QVERIFY(!cache.isOpen());
        QVERIFY(locker->exec("COMMIT"));
        locker.reset();
        QTRY_VERIFY(cache.isOpen());
        QCOMPARE(cache.getUserData("k"), u"v"_s);
    }

    void listsKeepTheServiceOrderAndPages()
    {
        // An owner id as hostile as the service may send one, stored and found like any other.
        const QString me = QStringLiteral("me'), ('x'); DROP TABLE feed; --");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // The service's order, not the creation order, is the feed's order (later pages and paged reads
        // are in tst_quillnetsim).
        QnPost full = post("p2", "u1", now.addSecs(-10));
        full.setTo({QnUserRef("u2", "Bob")});
        full.setLinkInfo(QnLinkInfo("http://l", "n", QString(), "d"));
        full.setLikes(5);
        full.setUpdated(now);
        QVERIFY(mCache->storeNewsFeed(me,
                                      {full, post("p1", "u1", now.addSecs(-5)), post("p3", "u2", now.addSecs(-20))}));
        QVERIFY(mCache->storeNewsFeed("other", {post("x1", "u9", now)}));
        QCOMPARE(idsOf(mCache->newsFeed(me)), (QStringList {"p2", "p1", "p3"}));
        QCOMPARE(mCache->newsFeed(me, 1).first(), full);
        // A fresh first page replaces the feed of its owner only.
        QVERIFY(mCache->storeNewsFeed(me, {post("p5", "u1", now)}));
        QCOMPARE(idsOf(mCache->newsFeed(me)), QStringList {"p5"});
        QCOMPARE(idsOf(mCache->newsFeed("other")), QStringList {"x1"});

        // Friends come in full where their profile is cached, with id and name otherwise.
        QnUser ann("u1", "Ann Lee");
        ann.setBirthday("03/04/1980");
        QVERIFY(mCache->storeUsers({ann}));
        QVERIFY(mCache->storeFriends(me, {QnUserRef("u1", "Ann"), QnUserRef("u2", "Bob")}));
        QVERIFY(mCache->storeFriends(me, {QnUserRef("u3", "Cid")}, 2));
        QCOMPARE(mCache->friends(me), (QnUsers {ann, QnUser("u2", "Bob"), QnUser("u3", "Cid")}));
        bool ok = false;
        QVERIFY(!mCache->user("u2", &ok).isValid());
        QVERIFY(ok);
        QVERIFY(mCache->storeFriends(me, {QnUserRef("u2", "Bob")}));
        QCOMPARE(idsOf(mCache->friends(me)), QStringList {"u2"});
    }

    void removePostsDropsOldPostsEverywhere()
    {
        const QDateTime now = QDateTime::currentDateTime();
        QVERIFY(mCache->storeNewsFeed("me",
                                      {post("new", "u1", now.addSecs(-3600)), post("old", "u1", now.addDays(-3)),
                                       post("undated", "u2", QDateTime())}));
        QVERIFY(mCache->storeStatusMessages("u1",
                                            {post("old", "u1", now.addDays(-3)), post("s2", "u1", now.addDays(-2)),
                                             post("s3", "u1", now.addSecs(-60))}));
        QVERIFY(mCache->removePosts(now.addDays(-1)));
        QCOMPARE(idsOf(mCache->newsFeed("me")), (QStringList {"new", "undated"}));
        QCOMPARE(idsOf(mCache->statusMessages("u1")), QStringList {"s3"});

        // A post without a creation time ages from the moment it was cached.
        QVERIFY(mCache->removePosts(now.addSecs(-1800)));
        QCOMPARE(idsOf(mCache->newsFeed("me")), QStringList {"undated"});
        QVERIFY(mCache->removePosts(QDateTime::currentDateTime().addSecs(60)));
        QVERIFY(mCache->newsFeed("me").isEmpty());
        QVERIFY(mCache->statusMessages("u1").isEmpty());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("invalid date"));
        QVERIFY(!mCache->removePosts(QDateTime()));
    }

    void clearDiskCacheRemovesDownloadsOnly()
    {
        // The database lies inside the download folder here, which clearing must survive.
        mCache.reset();
        QnCacheConfiguration configuration;
        configuration.setPath(mDir->filePath("files"));
        configuration.setDatabaseName(mDir->filePath("files/qncache.db"));
        QnCache cache(configuration);
        QVERIFY(cache.updateUserData("k", "v"));
        const QUrl url("http://pics.example/one.jpg?size=2");
        const QString picture = cache.storeData(url, "jpeg bytes");
        QVERIFY(picture.endsWith(".jpg"));
        QCOMPARE(cache.dataLocation(url), picture);
        const QString avatar = cache.storeProfilePicture("u1", Qn::SmallPicture, "png bytes");
        QCOMPARE(cache.profilePictureLocation("u1", Qn::SmallPicture), avatar);
        QVERIFY(cache.profilePictureLocation("u1", Qn::LargePicture).isEmpty());

        // Things outside the folder, reachable through links inside it.
        QVERIFY(QDir(mDir->path()).mkdir("outside"));
        const QString outsideFile = mDir->filePath("outside/keep.txt");
        QVERIFY(QFile(outsideFile).open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(mDir->filePath("outside"), mDir->filePath("files/dirlink")));
        QVERIFY(QFile::link(outsideFile, mDir->filePath("files/filelink")));
        QVERIFY(QDir().mkpath(mDir->filePath("files/sub/deeper")));
        QVERIFY(QFile(mDir->filePath("files/sub/deeper/x")).open(QIODevice::WriteOnly));

        QVERIFY(cache.clearDiskCache());
        QVERIFY(QFileInfo::exists(outsideFile));
        QCOMPARE(QDir(configuration.path())
                         .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                 QStringList {"qncache.db"});
        QVERIFY(cache.dataLocation(url).isEmpty());
        QVERIFY(cache.profilePictureLocation("u1", Qn::SmallPicture).isEmpty());
        QCOMPARE(cache.getUserData("k"), u"v"_s);
        QVERIFY(!cache.storeData(url, "again").isEmpty());
    }

    void downloadOnAFullDiskIsNotKept()
    {
        // The downloads on a file system of their own, full, and the database elsewhere (XDG_CACHE_HOME
        // on another disk): a picture that the disk cut short must not become the download.
        if (::geteuid() != 0)
            QSKIP("mounting a file system needs root");
        const QString files = mDir->filePath("full");
        QVERIFY(QDir().mkpath(files));
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", files}) != 0)
            QSKIP("mount refused a tmpfs");
        const auto unmount = qScopeGuard([&files] { QProcess::execute("umount", {"-l", files}); });
        // Filled up by a file larger than the file system.
        QVERIFY(!writeFile(files + "/filler", QByteArray(128 * 1024, 'x')));
        QnCacheConfiguration configuration;
        configuration.setPath(files);
        configuration.setDatabaseName(mDir->filePath("elsewhere.db"));
        QnCache cache(configuration);
        const QUrl url("http://pics.example/cut.png");
        QVERIFY(cache.storeData(url, QByteArray(1000, 'p')).isEmpty());
        QVERIFY(cache.dataLocation(url).isEmpty());
        QCOMPARE(QDir(files).entryList(QDir::Files), QStringList {"filler"});
        // Space again: stored whole.
        QVERIFY(QFile::remove(files + "/filler"));
        const QString stored = cache.storeData(url, QByteArray(1000, 'p'));
        QCOMPARE(QFileInfo(stored).size(), 1000);
    }

    void oneAnswerIsStoredWhollyOrNotAtAll()
    {
        const QnUser ann("ann", "Ann");
        const QnUser bob("bob", "Bob");
        QVERIFY(mCache->storeFriendPage("me", {ann}));
        // Make the database refuse one row in the middle of a compound write.
        for (const char *table : {"friends", "statuses"})
            QVERIFY(Inspector(mCache->databaseName())
                            .exec(QStringLiteral("CREATE TRIGGER refuse_%1 BEFORE INSERT ON %1 WHEN NEW.%2 = 'bad' "
                                                 "BEGIN SELECT RAISE(ABORT, 'refused'); END")
                                          .arg(table, table == QLatin1String("friends") ? "friend_id" : "user_id")));

        QSignalSpy errors(mCache.get(), &QnCache::databaseError);
        QVERIFY(!mCache->storeFriendPage("me", {bob, QnUser("bad", "Bad")}));
        QVERIFY(errors.count() > 0);
        // Neither Bob's profile nor the replaced list went in: the old page is still there.
        QVERIFY(!mCache->user("bob").isValid());
        QCOMPARE(idsOf(mCache->friends("me")), QStringList {"ann"});
        const QnPost good = post("s1", "ann", QDateTime::currentDateTimeUtc());
        QVERIFY(!mCache->storeLatestStatusMessages({good, post("s2", "bad", QDateTime::currentDateTimeUtc())}));
        QVERIFY(mCache->statusMessages("ann").isEmpty());

        // The cache goes on working after the failed writes.
        QVERIFY(mCache->storeLatestStatusMessages({good}));
        QCOMPARE(idsOf(mCache->statusMessages("ann")), QStringList {"s1"});
        QVERIFY(mCache->storeFriendPage("me", {bob}, 1));
        QCOMPARE(mCache->friends("me"), (QnUsers {ann, bob}));
    }
};

QTEST_GUILESS_MAIN(TestQnCache)
#include "tst_qncache.moc"
