#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include "cachetestdata.h"
#include "platform/quillnet/qncache.h"

using namespace Qn;

namespace {

const QFileDevice::Permissions OwnerOnlyDir = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
    | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;
const QFileDevice::Permissions OwnerOnlyFile =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;

QnPost post(const QString& id, const QString& author, const QDateTime& created)
{
    QnPost p(id);
    p.setFrom(QnUserRef(author, author.toUpper()));
    p.setMessage(QStringLiteral("message of ") + id);
    p.setCreated(created);
    return p;
}

QStringList ids(const QnPosts& posts)
{
    QStringList result;
    for (const QnPost& p : posts)
        result << p.id();
    return result;
}

QStringList ids(const QnUsers& users)
{
    QStringList result;
    for (const QnUser& u : users)
        result << u.id();
    return result;
}

} // namespace

class TestQnCache : public QObject
{
    Q_OBJECT

private slots:
    void userDataSurvivesReopening();
    void foldersAndFilesAreForTheUserOnly();
    void garbageFileIsMovedAsideAndRebuilt();
    void damagedDatabaseIsReportedNotReplaced();
    void instancesUseTheirOwnConnections();
    void closedCacheGivesNeutralResults();

    void newsFeedKeepsServiceOrderAndPages();
    void friendsComeWithCachedProfiles();
    void threadsAndMessagesLatestFirst();
    void removePostsDropsOldPostsEverywhere();
    void clearDiskCacheRemovesDownloadsOnly();
    void oneAnswerIsStoredWhollyOrNotAtAll();
};

void TestQnCache::userDataSurvivesReopening()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString awkward = QStringLiteral("it's'; DROP TABLE user_data; --");
    {
        QnCache cache(cacheConfiguration(dir));
        QVERIFY(cache.isOpen());
        QVERIFY(cache.getUserData(QStringLiteral("canceled_logins")).isEmpty());
        QVERIFY(cache.updateUserData(QStringLiteral("canceled_logins"), QStringLiteral("1")));
        QVERIFY(cache.updateUserData(QStringLiteral("canceled_logins"), QStringLiteral("2")));
        QVERIFY(cache.updateUserData(awkward, awkward));
        QVERIFY(!cache.updateUserData(QString(), QStringLiteral("x")));
        QVERIFY(cache.close());
    }
    QnCache cache(cacheConfiguration(dir));
    QCOMPARE(cache.getUserData(QStringLiteral("canceled_logins")), QStringLiteral("2"));
    QCOMPARE(cache.getUserData(awkward), awkward);
    QVERIFY(cache.getUserData(QStringLiteral("missing")).isEmpty());
}

void TestQnCache::foldersAndFilesAreForTheUserOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A folder that exists already is not ours to change.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("home")));
    const QString home = dir.filePath(QStringLiteral("home"));
    const QFileDevice::Permissions homeMode = QFileInfo(home).permissions();

    QnCacheConfiguration configuration;
    configuration.setDatabaseName(home + QStringLiteral("/.quillnet/private/qncache.db"));
    configuration.setPath(home + QStringLiteral("/cache/qncache"));
    QnCache cache(configuration);
    QVERIFY(cache.isOpen());

    QCOMPARE(QFileInfo(home).permissions(), homeMode);
    for (const QString& created : { QStringLiteral("/.quillnet"), QStringLiteral("/.quillnet/private"),
                                    QStringLiteral("/cache"), QStringLiteral("/cache/qncache") })
        QCOMPARE(QFileInfo(home + created).permissions(), OwnerOnlyDir);
    QCOMPARE(QFileInfo(configuration.databaseName()).permissions(), OwnerOnlyFile);

    const QString stored = cache.storeData(QUrl(QStringLiteral("http://pics.example/a.png")), "png");
    QVERIFY(!stored.isEmpty());
    QCOMPARE(QFileInfo(stored).permissions(), OwnerOnlyFile);
    cache.close();

    // An existing database readable by others is tightened when opened.
    QFile::setPermissions(configuration.databaseName(), OwnerOnlyFile | QFileDevice::ReadOther | QFileDevice::ReadGroup);
    QnCache again(configuration);
    QVERIFY(again.isOpen());
    QCOMPARE(QFileInfo(configuration.databaseName()).permissions(), OwnerOnlyFile);
}

void TestQnCache::garbageFileIsMovedAsideAndRebuilt()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QnCacheConfiguration configuration = cacheConfiguration(dir);
    QVERIFY(QDir().mkpath(QFileInfo(configuration.databaseName()).path()));
    const QByteArray garbage = QByteArray("not a database ").repeated(300);
    {
        QFile file(configuration.databaseName());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(garbage);
    }

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("is not a database; moved to")));
    QnCache cache(configuration);
    QVERIFY(cache.isOpen());
    QVERIFY(cache.updateUserData(QStringLiteral("k"), QStringLiteral("v")));
    QCOMPARE(cache.getUserData(QStringLiteral("k")), QStringLiteral("v"));

    const QStringList aside = QDir(QFileInfo(configuration.databaseName()).path())
                                  .entryList({ QStringLiteral("qncache.db.broken-*") }, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(QFileInfo(configuration.databaseName()).path() + QLatin1Char('/') + aside.first());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), garbage);
}

void TestQnCache::damagedDatabaseIsReportedNotReplaced()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QnCacheConfiguration configuration = cacheConfiguration(dir);
    QVERIFY(makeMalformedDatabase(configuration));

    QnCache cache(configuration);
    QSignalSpy errors(&cache, &QnCache::databaseError);
    QVERIFY(cache.getUserData(QStringLiteral("key1")).isEmpty());
    QCOMPARE(errors.count(), 1);
    QVERIFY2(errors.at(0).at(0).toString().contains(QLatin1String("database disk image is malformed")),
             qPrintable(errors.at(0).at(0).toString()));
    QVERIFY(cache.lastError().contains(QLatin1String("malformed")));
    // The daemon decides what happens to a damaged cache; the file stays where it is.
    QVERIFY(QDir(QFileInfo(configuration.databaseName()).path())
                .entryList({ QStringLiteral("*.broken-*") }, QDir::Files)
                .isEmpty());
}

void TestQnCache::instancesUseTheirOwnConnections()
{
    QTemporaryDir dir;
    QTemporaryDir other;
    QVERIFY(dir.isValid() && other.isValid());
    QnCache first(cacheConfiguration(dir));
    QnCache second(cacheConfiguration(dir));
    QnCache third(cacheConfiguration(other));
    QVERIFY(first.updateUserData(QStringLiteral("k"), QStringLiteral("from first")));
    QVERIFY(third.updateUserData(QStringLiteral("k"), QStringLiteral("from third")));
    QCOMPARE(second.getUserData(QStringLiteral("k")), QStringLiteral("from first"));
    QVERIFY(second.close());
    // Closing one instance leaves the others working.
    QCOMPARE(first.getUserData(QStringLiteral("k")), QStringLiteral("from first"));
    QCOMPARE(third.getUserData(QStringLiteral("k")), QStringLiteral("from third"));
}

void TestQnCache::closedCacheGivesNeutralResults()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QnCache cache(cacheConfiguration(dir));
    QVERIFY(cache.updateUserData(QStringLiteral("k"), QStringLiteral("v")));
    QVERIFY(cache.close());
    QVERIFY(!cache.isOpen());
    QVERIFY(!cache.close());
    QVERIFY(cache.getUserData(QStringLiteral("k")).isEmpty());
    QVERIFY(!cache.updateUserData(QStringLiteral("k"), QStringLiteral("w")));
    QVERIFY(!cache.removePosts(QDateTime::currentDateTime()));
    bool ok = true;
    QVERIFY(cache.newsFeed(QStringLiteral("me"), -1, 0, &ok).isEmpty());
    QVERIFY(!ok);

    QnCacheConfiguration unnamed;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no database name")));
    QVERIFY(!QnCache(unnamed).isOpen());
}

void TestQnCache::newsFeedKeepsServiceOrderAndPages()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QnCache cache(cacheConfiguration(dir));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // The service's order, not the creation order, is the feed's order.
    QnPost full = post(QStringLiteral("p2"), QStringLiteral("u1"), now.addSecs(-10));
    full.setTo({ QnUserRef(QStringLiteral("u2"), QStringLiteral("Bob")) });
    full.setLinkInfo(QnLinkInfo(QStringLiteral("http://l"), QStringLiteral("n"), QString(), QStringLiteral("d")));
    full.setPicture(QStringLiteral("http://pics.example/p2.jpg"));
    full.setLikes(5);
    full.setCommentCount(1);
    full.setUpdated(now);
    QVERIFY(cache.storeNewsFeed(QStringLiteral("me"),
                                { full, post(QStringLiteral("p1"), QStringLiteral("u1"), now.addSecs(-5)),
                                  post(QStringLiteral("p3"), QStringLiteral("u2"), now.addSecs(-20)) }));
    QVERIFY(cache.storeNewsFeed(QStringLiteral("me"), { post(QStringLiteral("p4"), QStringLiteral("u3"), now.addSecs(-30)) }, 3));
    QVERIFY(cache.storeNewsFeed(QStringLiteral("other"), { post(QStringLiteral("x1"), QStringLiteral("u9"), now) }));

    QCOMPARE(ids(cache.newsFeed(QStringLiteral("me"))),
             (QStringList{ QStringLiteral("p2"), QStringLiteral("p1"), QStringLiteral("p3"), QStringLiteral("p4") }));
    QCOMPARE(cache.newsFeed(QStringLiteral("me"), 1).first(), full);
    QCOMPARE(ids(cache.newsFeed(QStringLiteral("me"), 2, 1)), (QStringList{ QStringLiteral("p1"), QStringLiteral("p3") }));

    // A fresh first page replaces the feed.
    QVERIFY(cache.storeNewsFeed(QStringLiteral("me"), { post(QStringLiteral("p5"), QStringLiteral("u1"), now) }));
    QCOMPARE(ids(cache.newsFeed(QStringLiteral("me"))), QStringList{ QStringLiteral("p5") });
    QCOMPARE(ids(cache.newsFeed(QStringLiteral("other"))), QStringList{ QStringLiteral("x1") });
}

void TestQnCache::friendsComeWithCachedProfiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QnCache cache(cacheConfiguration(dir));
    QnUser ann(QStringLiteral("u1"), QStringLiteral("Ann Lee"));
    ann.setBirthday(QStringLiteral("03/04/1980"));
    ann.setMobilePhone(QStringLiteral("+358 40 1"));
    QVERIFY(cache.storeUsers({ ann }));
    QVERIFY(cache.storeFriends(QStringLiteral("me"), { QnUserRef(QStringLiteral("u1"), QStringLiteral("Ann")),
                                                       QnUserRef(QStringLiteral("u2"), QStringLiteral("Bob")) }));
    QVERIFY(cache.storeFriends(QStringLiteral("me"), { QnUserRef(QStringLiteral("u3"), QStringLiteral("Cid")) }, 2));

    const QnUsers friends = cache.friends(QStringLiteral("me"));
    QCOMPARE(ids(friends), (QStringList{ QStringLiteral("u1"), QStringLiteral("u2"), QStringLiteral("u3") }));
    QCOMPARE(friends.at(0), ann);
    QCOMPARE(friends.at(1), QnUser(QStringLiteral("u2"), QStringLiteral("Bob")));
    QCOMPARE(cache.user(QStringLiteral("u1")), ann);
    bool ok = false;
    QVERIFY(!cache.user(QStringLiteral("u2"), &ok).isValid());
    QVERIFY(ok);

    QVERIFY(cache.storeFriends(QStringLiteral("me"), { QnUserRef(QStringLiteral("u2"), QStringLiteral("Bob")) }, 0));
    QCOMPARE(ids(cache.friends(QStringLiteral("me"))), QStringList{ QStringLiteral("u2") });
}

void TestQnCache::threadsAndMessagesLatestFirst()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QnCache cache(cacheConfiguration(dir));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QnThread older(QStringLiteral("t1"));
    older.setUpdatedTime(now.addSecs(-60));
    QnThread newer(QStringLiteral("t2"));
    newer.setUpdatedTime(now);
    newer.setUnread(1);
    newer.setSenders({ QnUserRef(QStringLiteral("u2"), QString()) });
    QnThread sent(QStringLiteral("t3"));
    QVERIFY(cache.storeThreads(Qn::Inbox, { older, newer }));
    QVERIFY(cache.storeThreads(Qn::Outbox, { sent }));
    QCOMPARE(cache.threads(Qn::Inbox), (QnThreads{ newer, older }));

    QnMessage first(QStringLiteral("m1"));
    first.setContent(QStringLiteral("first"));
    first.setCreated(now.addSecs(-30));
    QnMessage latest(QStringLiteral("m2"));
    latest.setContent(QStringLiteral("latest"));
    latest.setCreated(now);
    QVERIFY(cache.storeMessages(QStringLiteral("t2"), { first, latest }));
    const QnMessages messages = cache.messages(QStringLiteral("t2"), 1);
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.first().content(), QStringLiteral("latest"));
    QCOMPARE(messages.first().threadId(), QStringLiteral("t2"));
    QVERIFY(cache.messages(QStringLiteral("t1")).isEmpty());
}

void TestQnCache::removePostsDropsOldPostsEverywhere()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QnCache cache(cacheConfiguration(dir));
    const QDateTime now = QDateTime::currentDateTime();
    QVERIFY(cache.storeNewsFeed(QStringLiteral("me"),
                                { post(QStringLiteral("new"), QStringLiteral("u1"), now.addSecs(-3600)),
                                  post(QStringLiteral("old"), QStringLiteral("u1"), now.addDays(-3)),
                                  post(QStringLiteral("undated"), QStringLiteral("u2"), QDateTime()) }));
    QVERIFY(cache.storeStatusMessages(QStringLiteral("u1"),
                                      { post(QStringLiteral("old"), QStringLiteral("u1"), now.addDays(-3)),
                                        post(QStringLiteral("s2"), QStringLiteral("u1"), now.addDays(-2)),
                                        post(QStringLiteral("s3"), QStringLiteral("u1"), now.addSecs(-60)) }));

    QVERIFY(cache.removePosts(now.addDays(-1)));
    QCOMPARE(ids(cache.newsFeed(QStringLiteral("me"))), (QStringList{ QStringLiteral("new"), QStringLiteral("undated") }));
    QCOMPARE(ids(cache.statusMessages(QStringLiteral("u1"))), QStringList{ QStringLiteral("s3") });

    // A post without a creation time ages from the moment it was cached.
    QVERIFY(cache.removePosts(now.addSecs(-1800)));
    QCOMPARE(ids(cache.newsFeed(QStringLiteral("me"))), QStringList{ QStringLiteral("undated") });
    QVERIFY(cache.removePosts(QDateTime::currentDateTime().addSecs(60)));
    QVERIFY(cache.newsFeed(QStringLiteral("me")).isEmpty());
    QVERIFY(cache.statusMessages(QStringLiteral("u1")).isEmpty());

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("invalid date")));
    QVERIFY(!cache.removePosts(QDateTime()));
}

void TestQnCache::clearDiskCacheRemovesDownloadsOnly()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The database lies inside the download folder here, which clearing must survive.
    QnCacheConfiguration configuration;
    configuration.setPath(dir.filePath(QStringLiteral("files")));
    configuration.setDatabaseName(dir.filePath(QStringLiteral("files/qncache.db")));
    QnCache cache(configuration);
    QVERIFY(cache.isOpen());
    QVERIFY(cache.updateUserData(QStringLiteral("k"), QStringLiteral("v")));

    const QUrl url(QStringLiteral("http://pics.example/one.jpg?size=2"));
    const QString picture = cache.storeData(url, "jpeg bytes");
    QVERIFY(picture.endsWith(QLatin1String(".jpg")));
    QCOMPARE(cache.dataLocation(url), picture);
    const QString avatar = cache.storeProfilePicture(QStringLiteral("u1"), Qn::SmallPicture, "png bytes");
    QCOMPARE(cache.profilePictureLocation(QStringLiteral("u1"), Qn::SmallPicture), avatar);
    QVERIFY(cache.profilePictureLocation(QStringLiteral("u1"), Qn::LargePicture).isEmpty());

    // Things outside the folder, reachable through links inside it.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("outside")));
    const QString outsideFile = dir.filePath(QStringLiteral("outside/keep.txt"));
    QFile(outsideFile).open(QIODevice::WriteOnly);
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("outside")), dir.filePath(QStringLiteral("files/dirlink"))));
    QVERIFY(QFile::link(outsideFile, dir.filePath(QStringLiteral("files/filelink"))));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("files/sub/deeper"))));
    QFile(dir.filePath(QStringLiteral("files/sub/deeper/x"))).open(QIODevice::WriteOnly);

    QVERIFY(cache.clearDiskCache());
    QVERIFY(QFileInfo::exists(outsideFile));
    QCOMPARE(QDir(configuration.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList{ QStringLiteral("qncache.db") });
    QVERIFY(cache.dataLocation(url).isEmpty());
    QVERIFY(cache.profilePictureLocation(QStringLiteral("u1"), Qn::SmallPicture).isEmpty());
    QCOMPARE(cache.getUserData(QStringLiteral("k")), QStringLiteral("v"));

    // Downloads work again afterwards.
    QVERIFY(!cache.storeData(url, "again").isEmpty());
}

void TestQnCache::oneAnswerIsStoredWhollyOrNotAtAll()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QnCacheConfiguration configuration = cacheConfiguration(dir);
    QnCache cache(configuration);
    QVERIFY(cache.isOpen());
    const QnUser ann(QStringLiteral("ann"), QStringLiteral("Ann"));
    QVERIFY(cache.storeFriendPage(QStringLiteral("me"), { ann }));

    // Make the database refuse one row in the middle of a compound write.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("saboteur"));
        db.setDatabaseName(configuration.databaseName());
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("CREATE TRIGGER refuse_friend BEFORE INSERT ON friends WHEN NEW.friend_id = 'bad' "
                                          "BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        QVERIFY(query.exec(QStringLiteral("CREATE TRIGGER refuse_status BEFORE INSERT ON statuses WHEN NEW.user_id = 'bad' "
                                          "BEGIN SELECT RAISE(ABORT, 'refused'); END")));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("saboteur"));

    QSignalSpy errors(&cache, &QnCache::databaseError);
    const QnUser bob(QStringLiteral("bob"), QStringLiteral("Bob"));
    const QnUser bad(QStringLiteral("bad"), QStringLiteral("Bad"));
    QVERIFY(!cache.storeFriendPage(QStringLiteral("me"), { bob, bad }));
    QVERIFY(errors.count() > 0);
    // Neither Bob's profile nor the replaced list went in: the old page is still there.
    QVERIFY(!cache.user(QStringLiteral("bob")).isValid());
    QCOMPARE(ids(cache.friends(QStringLiteral("me"))), QStringList{ QStringLiteral("ann") });

    QnPost good = post(QStringLiteral("s1"), QStringLiteral("ann"), QDateTime::currentDateTimeUtc());
    QnPost refused = post(QStringLiteral("s2"), QStringLiteral("bad"), QDateTime::currentDateTimeUtc());
    QVERIFY(!cache.storeLatestStatusMessages({ good, refused }));
    QVERIFY(cache.statusMessages(QStringLiteral("ann")).isEmpty());
    // The cache goes on working after the failed writes.
    QVERIFY(cache.storeLatestStatusMessages({ good }));
    QCOMPARE(ids(cache.statusMessages(QStringLiteral("ann"))), QStringList{ QStringLiteral("s1") });
    QVERIFY(cache.storeFriendPage(QStringLiteral("me"), { bob }, 1));
    QCOMPARE(ids(cache.friends(QStringLiteral("me"))), (QStringList{ QStringLiteral("ann"), QStringLiteral("bob") }));
    QCOMPARE(cache.user(QStringLiteral("bob")), bob);
}

QTEST_GUILESS_MAIN(TestQnCache)
#include "tst_qncache.moc"
