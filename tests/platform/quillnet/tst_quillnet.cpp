// The client without a service: what it refuses before sending anything, how init fails without a
// usable address, and cache reads without a usable cache. Calls that reach a service are tested
// against the simulator (tst_quillnetsim) and a byte-exact server (tst_quillnethttp).
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
    void initWithoutServiceFailsAfterReturning_data();
    void initWithoutServiceFailsAfterReturning();
    void callsAreRefusedBeforeAnythingIsSent();
    void cacheReadsWithoutUsableCache();
};

void TestQuillnet::initWithoutServiceFailsAfterReturning_data()
{
    QTest::addColumn<QUrl>("serviceUrl");
    QTest::newRow("no address") << QUrl();
    QTest::newRow("not the web") << QUrl("ftp://127.0.0.1:8080/");
    QTest::newRow("no host") << QUrl("http:///api");
}

void TestQuillnet::initWithoutServiceFailsAfterReturning()
{
    QFETCH(QUrl, serviceUrl);
    QuillnetConfiguration configuration("token");
    configuration.setServiceUrl(serviceUrl);
    Quillnet client(configuration);
    QSignalSpy errors(&client, SIGNAL(error(Qn::QnError)));
    QSignalSpy initialized(&client, SIGNAL(initialized()));
    client.init();
    QCOMPARE(errors.count(), 0);
    QVERIFY(errors.wait());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errorAt(errors).errorType(), QnError::NotAvailableError);
    QCOMPARE(errorAt(errors).quillnetErrorString(), QStringLiteral("No service address configured"));
    QCOMPARE(initialized.count(), 0);
    QVERIFY(!client.isInitialized());
    QVERIFY(client.currentProfileId().isEmpty());
}

void TestQuillnet::callsAreRefusedBeforeAnythingIsSent()
{
    QTemporaryDir dir;
    QnCache cache(cacheConfiguration(dir));
    QuillnetConfiguration configuration("token");
    configuration.setCache(&cache);
    Quillnet client(configuration);
    QSignalSpy errors(&client, SIGNAL(error(Qn::QnError)));
    QSignalSpy feed(&client, SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    const QnDataFilter filter("me", 30, 0);

    // Without a service address nothing can be sent, and the status says so at once.
    const QList<int> unsent {client.retrieveNewsFeed(nullptr, filter, RetrieveFromNetwork),
                             client.retrieveProfilePicture("u1", Qn::SmallPicture), client.retrieveAllNotifications(),
                             client.markNotificationsRead({"n1"})};
    QCOMPARE(unsent, QList<int>(unsent.size(), StatusNotAvailable));

    // Bad arguments are refused first, whatever the service. Only web addresses are fetched
    // (Support::isWebAddress), from the network or the cache.
    QnPosts posts;
    QString location;
    const QList<int> refused {
            client.retrieveData(QUrl()),
            client.retrieveData(QUrl("file:///etc/passwd")),
            client.retrieveData(&location, QUrl("data:text/plain,secret"), RetrieveFromCache),
            client.retrieveData(nullptr, QUrl("http://pics.example/p.jpg"), RetrieveFromCache),
            // Before initialisation there is no signed-in user to default to.
            client.retrieveNewsFeed(&posts, QnDataFilter(), RetrieveFromCache),
            client.retrieveLatestStatusMessage({"a,b"}),
            client.retrieveLatestStatusMessage({}),
            client.retrieveProfilePicture("u1", Qn::PictureType(9)),
            client.retrieveThreads(nullptr, Qn::MessageBoxType(-1), RetrieveFromNetwork),
            client.retrieveMessages(nullptr, QnDataFilter(), RetrieveFromNetwork),
            client.retrieveStatusMessages(&posts, filter, RetrieveFromNetwork),
            client.retrieveProfile(nullptr, "u1", 7),
            client.markNotificationsRead({QString()}),
    };
    QCOMPARE(refused, QList<int>(refused.size(), StatusInvalidArgument));
    QCoreApplication::processEvents();
    QCOMPARE(errors.count(), 0);
    QCOMPARE(feed.count(), 0);
}

void TestQuillnet::cacheReadsWithoutUsableCache()
{
    Quillnet withoutCache {QuillnetConfiguration("token")};
    QVERIFY(!withoutCache.cache());
    QString location;
    QCOMPARE(withoutCache.retrieveData(&location, QUrl("http://x/y"), RetrieveFromCache), int(StatusNoCache));

    QTemporaryDir dir;
    auto cache = std::make_unique<QnCache>(cacheConfiguration(dir));
    QuillnetConfiguration configuration("token");
    configuration.setCache(cache.get());
    Quillnet client(configuration);
    QCOMPARE(client.cache(), cache.get());
    cache->close();
    QnUser user;
    QCOMPARE(client.retrieveProfile(&user, "u1", RetrieveFromCache), int(StatusNoCache));
    // The daemon deletes the cache before the client; the client must notice.
    cache.reset();
    QVERIFY(!client.cache());
    QCOMPARE(client.retrieveProfile(&user, "u1", RetrieveFromCache), int(StatusNoCache));
}

QTEST_GUILESS_MAIN(TestQuillnet)
#include "tst_quillnet.moc"
