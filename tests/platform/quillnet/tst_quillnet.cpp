#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "cachetestdata.h"
#include "platform/quillnet/quillnet.h"

using namespace Qn;

class TestQuillnet : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void initAnswersWithAnErrorAfterReturning_data();
    void initAnswersWithAnErrorAfterReturning();
    void networkRequestsAreRefusedQuietly();
    void cacheReadsAnswerAtOnce();
    void cacheReadsWithoutUsableCache();
    void cacheFailuresBecomeOneCacheError();

private:
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<QnCache> mCache;
};

void TestQuillnet::init()
{
    mDir.reset(new QTemporaryDir);
    QVERIFY(mDir->isValid());
    mCache.reset(new QnCache(cacheConfiguration(*mDir)));
    QVERIFY(mCache->isOpen());
}

void TestQuillnet::cleanup()
{
    mCache.reset();
    mDir.reset();
}

void TestQuillnet::initAnswersWithAnErrorAfterReturning_data()
{
    QTest::addColumn<QUrl>("serviceUrl");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no address") << QUrl() << QStringLiteral("No service address configured");
    QTest::newRow("not the web") << QUrl(QStringLiteral("ftp://127.0.0.1:8080/"))
                                 << QStringLiteral("No service address configured");
    QTest::newRow("no host") << QUrl(QStringLiteral("http:///api")) << QStringLiteral("No service address configured");
}

void TestQuillnet::initAnswersWithAnErrorAfterReturning()
{
    QFETCH(QUrl, serviceUrl);
    QFETCH(QString, reason);
    QuillnetConfiguration configuration(QStringLiteral("token"), 0);
    configuration.setCache(mCache.get());
    configuration.setLocale(QStringLiteral("en_GB"));
    configuration.setServiceUrl(serviceUrl);
    Quillnet client(configuration);
    QCOMPARE(client.cache(), mCache.get());
    QCOMPARE(client.configuration().locale(), QStringLiteral("en_GB"));

    QSignalSpy errors(&client, SIGNAL(error(Qn::QnError)));
    QSignalSpy initialized(&client, SIGNAL(initialized()));
    client.init();
    QCOMPARE(errors.count(), 0);
    QVERIFY(errors.wait());
    QCOMPARE(errors.count(), 1);
    const QnError error = errors.at(0).at(0).value<QnError>();
    QCOMPARE(error.errorType(), QnError::NotAvailableError);
    QCOMPARE(error.quillnetErrorString(), reason);
    QCOMPARE(initialized.count(), 0);
    QVERIFY(!client.isInitialized());
    QVERIFY(client.currentProfileId().isEmpty());
}

void TestQuillnet::networkRequestsAreRefusedQuietly()
{
    QuillnetConfiguration configuration(QStringLiteral("token"));
    configuration.setCache(mCache.get());
    Quillnet client(configuration);
    QSignalSpy errors(&client, SIGNAL(error(Qn::QnError)));
    QSignalSpy feed(&client, SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    QSignalSpy data(&client, SIGNAL(dataRetrieved(QUrl,QString)));

    const QnDataFilter filter(QStringLiteral("me"), 30, 0);
    const QList<int> statuses{
        client.retrieveNewsFeed(nullptr, filter, RetrieveFromNetwork),
        client.retrieveProfilePicture(QStringLiteral("u1"), Qn::SmallPicture),
        client.retrieveFriends(nullptr, filter, RetrieveFromNetwork),
        client.retrieveProfile(nullptr, QStringLiteral("u1"), RetrieveFromNetwork),
        client.retrieveLatestStatusMessage({ QStringLiteral("u1") }),
        client.retrieveAllNotifications(),
        client.retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork),
        client.retrieveMessages(nullptr, QnDataFilter(QStringLiteral("t1"), 1), RetrieveFromNetwork),
        client.markNotificationsRead({ QStringLiteral("n1") }),
    };
    for (int status : statuses)
        QCOMPARE(status, int(StatusNotAvailable));

    // Requests that could never be sent are refused for their arguments first.
    QCOMPARE(client.retrieveData(QUrl()), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveLatestStatusMessage({ QStringLiteral("a,b") }), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveProfilePicture(QStringLiteral("u1"), Qn::PictureType(9)), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveThreads(nullptr, Qn::MessageBoxType(-1), RetrieveFromNetwork), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveLatestStatusMessage({}), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveMessages(nullptr, QnDataFilter(), RetrieveFromNetwork), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveStatusMessages(nullptr, filter, RetrieveFromNetwork), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveProfile(nullptr, QStringLiteral("u1"), 7), int(StatusInvalidArgument));

    QCoreApplication::processEvents();
    QCOMPARE(errors.count(), 0);
    QCOMPARE(feed.count(), 0);
    QCOMPARE(data.count(), 0);
}

void TestQuillnet::cacheReadsAnswerAtOnce()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QnPosts feed;
    for (int i = 0; i < 4; ++i) {
        QnPost post(QStringLiteral("p%1").arg(i));
        post.setFrom(QnUserRef(QStringLiteral("u1"), QStringLiteral("Ann")));
        post.setCreated(now.addSecs(-i));
        feed << post;
    }
    QVERIFY(mCache->storeNewsFeed(QStringLiteral("me"), feed));
    QVERIFY(mCache->storeStatusMessages(QStringLiteral("u1"), { feed.at(2), feed.at(1) }));
    const QnUser ann(QStringLiteral("u1"), QStringLiteral("Ann"));
    QVERIFY(mCache->storeUsers({ ann }));
    QVERIFY(mCache->storeFriends(QStringLiteral("me"), { ann.ref(), QnUserRef(QStringLiteral("u2"), QStringLiteral("Bob")) }));
    QnThread thread(QStringLiteral("t1"));
    thread.setUnread(1);
    QVERIFY(mCache->storeThreads(Qn::Inbox, { thread }));
    QnMessage message(QStringLiteral("m1"));
    message.setContent(QStringLiteral("hi"));
    QVERIFY(mCache->storeMessages(QStringLiteral("t1"), { message }));
    const QUrl url(QStringLiteral("http://pics.example/p.jpg"));
    const QString picture = mCache->storeData(url, "jpeg");
    const QString avatar = mCache->storeProfilePicture(QStringLiteral("u1"), Qn::SmallPicture, "png");

    QuillnetConfiguration configuration(QStringLiteral("token"));
    configuration.setCache(mCache.get());
    Quillnet client(configuration);

    QnPosts posts;
    QCOMPARE(client.retrieveNewsFeed(&posts, QnDataFilter(QStringLiteral("me"), 2, 1), RetrieveFromCache), int(StatusOk));
    QCOMPARE(posts, (QnPosts{ feed.at(1), feed.at(2) }));
    QCOMPARE(client.retrieveNewsFeed(&posts, QnDataFilter(QStringLiteral("nobody"), 30), RetrieveFromCache),
             int(StatusNotFound));
    QVERIFY(posts.isEmpty());
    // Before initialisation there is no signed-in user to default to.
    QCOMPARE(client.retrieveNewsFeed(&posts, QnDataFilter(), RetrieveFromCache), int(StatusInvalidArgument));
    QCOMPARE(client.retrieveStatusMessages(&posts, QnDataFilter(QStringLiteral("u1"), 3)), int(StatusOk));
    QCOMPARE(posts, (QnPosts{ feed.at(1), feed.at(2) }));

    QString location = QStringLiteral("stale");
    QCOMPARE(client.retrieveData(&location, url, RetrieveFromCache), int(StatusOk));
    QCOMPARE(location, picture);
    QCOMPARE(client.retrieveData(&location, QUrl(QStringLiteral("http://pics.example/other.jpg")), RetrieveFromCache),
             int(StatusOk));
    QVERIFY(location.isEmpty());
    QCOMPARE(client.retrieveProfilePicture(&location, QStringLiteral("u1"), Qn::SmallPicture, RetrieveFromCache),
             int(StatusOk));
    QCOMPARE(location, avatar);
    QCOMPARE(client.retrieveProfilePicture(&location, QStringLiteral("u2"), Qn::SmallPicture, RetrieveFromCache),
             int(StatusOk));
    QVERIFY(location.isEmpty());
    QCOMPARE(client.retrieveData(nullptr, url, RetrieveFromCache), int(StatusInvalidArgument));

    QnUser user;
    QCOMPARE(client.retrieveProfile(&user, QStringLiteral("u1"), RetrieveFromCache), int(StatusOk));
    QCOMPARE(user, ann);
    QCOMPARE(client.retrieveProfile(&user, QStringLiteral("u2"), RetrieveFromCache), int(StatusNotFound));

    QnUsers friends;
    QCOMPARE(client.retrieveFriends(&friends, QnDataFilter(QStringLiteral("me")), RetrieveFromCache), int(StatusOk));
    QCOMPARE(friends, (QnUsers{ ann, QnUser(QStringLiteral("u2"), QStringLiteral("Bob")) }));

    QnThreads threads;
    QCOMPARE(client.retrieveThreads(&threads, Qn::Inbox, RetrieveFromCache), int(StatusOk));
    QCOMPARE(threads, QnThreads{ thread });
    QCOMPARE(client.retrieveThreads(&threads, Qn::Updates, RetrieveFromCache), int(StatusNotFound));
    QnMessages messages;
    QCOMPARE(client.retrieveMessages(&messages, QnDataFilter(QStringLiteral("t1"), 1), RetrieveFromCache), int(StatusOk));
    QCOMPARE(messages.first().content(), QStringLiteral("hi"));
}

void TestQuillnet::cacheReadsWithoutUsableCache()
{
    Quillnet withoutCache{ QuillnetConfiguration(QStringLiteral("token")) };
    QVERIFY(!withoutCache.cache());
    QString location;
    QCOMPARE(withoutCache.retrieveData(&location, QUrl(QStringLiteral("http://x/y")), RetrieveFromCache),
             int(StatusNoCache));

    QuillnetConfiguration configuration(QStringLiteral("token"));
    configuration.setCache(mCache.get());
    Quillnet client(configuration);
    mCache->close();
    QnUser user;
    QCOMPARE(client.retrieveProfile(&user, QStringLiteral("u1"), RetrieveFromCache), int(StatusNoCache));
    // The daemon deletes the cache before the client; the client must notice.
    mCache.reset();
    QVERIFY(!client.cache());
    QCOMPARE(client.retrieveProfile(&user, QStringLiteral("u1"), RetrieveFromCache), int(StatusNoCache));
}

void TestQuillnet::cacheFailuresBecomeOneCacheError()
{
    mCache.reset();
    const QnCacheConfiguration cacheConfig = cacheConfiguration(*mDir);
    QVERIFY(makeMalformedDatabase(cacheConfig));
    mCache.reset(new QnCache(cacheConfig));

    QuillnetConfiguration configuration(QStringLiteral("token"));
    configuration.setCache(mCache.get());
    Quillnet client(configuration);
    QSignalSpy errors(&client, SIGNAL(error(Qn::QnError)));

    QnUsers friends;
    QCOMPARE(client.retrieveFriends(&friends, QnDataFilter(QStringLiteral("me")), RetrieveFromCache),
             int(StatusCacheError));
    // The daemon's own use of the cache fails the same way and is reported through the client too.
    QVERIFY(client.cache()->getUserData(QStringLiteral("key1")).isEmpty());
    QCOMPARE(errors.count(), 0);
    QVERIFY(errors.wait());
    QCOMPARE(errors.count(), 1);
    const QnError error = errors.at(0).at(0).value<QnError>();
    QCOMPARE(int(error.errorType()), 6);
    QVERIFY2(error.cacheErrorString().contains(QLatin1String("database disk image is malformed")),
             qPrintable(error.cacheErrorString()));

    // A later failure is reported again.
    QVERIFY(client.cache()->getUserData(QStringLiteral("key2")).isEmpty());
    QTRY_COMPARE(errors.count(), 2);
}

QTEST_GUILESS_MAIN(TestQuillnet)
#include "tst_quillnet.moc"
