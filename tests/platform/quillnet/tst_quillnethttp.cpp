// The client's HTTP side against a byte-exact loopback server: request shapes, broken, hostile and
// oversized answers, timeouts, redirects and time zones.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <memory>
#include <time.h>

#include "cachetestdata.h"
#include "platform/quillnet/qnjson.h"
#include "platform/quillnet/quillnet.h"
#include "rawhttpserver.h"

using namespace Qn;

namespace {

const QByteArray MeAnswer = R"({"user": {"id": "me 1/x", "name": "Mia Example", "first_name": "Mia"}})";

QnError errorAt(const QSignalSpy& spy, int index = 0)
{
    return spy.at(index).at(0).value<QnError>();
}

QByteArray postJson(const QString& id, const QString& created, const QString& author = QStringLiteral("u1"))
{
    return QJsonDocument(QJsonObject{ { "id", id },
                                      { "from", QJsonObject{ { "id", author }, { "name", "Ann" } } },
                                      { "created", created } })
        .toJson(QJsonDocument::Compact);
}

} // namespace

class TestQuillnetHttp : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void initLearnsTheProfileAndSendsCredentials();
    void requestsCarryPathsAndParameters();
    void badAnswersBecomeErrors_data();
    void badAnswersBecomeErrors();
    void invalidEntriesAreDropped();
    void silentServerTimesOut();
    void downloadsLandInFiles();
    void onlyWebAddressesAreFetched_data();
    void onlyWebAddressesAreFetched();
    void redirectsOutOfTheWebAreRefused();
    void timesKeepTheirInstantInEveryZone_data();
    void timesKeepTheirInstantInEveryZone();
    void markingReadSplitsLongLists();
    void damagedCacheIsReportedWithTheAnswer();
    void longListsAreCut();
    void deletingTheClientDropsItsRequests();

private:
    std::unique_ptr<Quillnet> newClient(int transferTimeout = 0);
    bool initClient(Quillnet* client);

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<QnCache> mCache;
    std::unique_ptr<RawHttpServer> mServer;
    QByteArray mTz;
};

void TestQuillnetHttp::init()
{
    mTz = qgetenv("TZ");
    mDir.reset(new QTemporaryDir);
    QVERIFY(mDir->isValid());
    mCache.reset(new QnCache(cacheConfiguration(*mDir)));
    QVERIFY(mCache->isOpen());
    mServer.reset(new RawHttpServer);
    QVERIFY(mServer->listen());
}

void TestQuillnetHttp::cleanup()
{
    mServer.reset();
    mCache.reset();
    mDir.reset();
    if (mTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", mTz);
    tzset();
}

std::unique_ptr<Quillnet> TestQuillnetHttp::newClient(int transferTimeout)
{
    QuillnetConfiguration configuration(QStringLiteral("tok-123"), 0);
    configuration.setCache(mCache.get());
    configuration.setLocale(QStringLiteral("en_GB"));
    configuration.setServiceUrl(mServer->baseUrl());
    configuration.setTransferTimeout(transferTimeout);
    return std::make_unique<Quillnet>(configuration);
}

bool TestQuillnetHttp::initClient(Quillnet* client)
{
    mServer->enqueueJson(MeAnswer);
    QSignalSpy initialized(client, SIGNAL(initialized()));
    client->init();
    return initialized.wait() && client->isInitialized();
}

void TestQuillnetHttp::initLearnsTheProfileAndSendsCredentials()
{
    auto client = newClient();
    QSignalSpy initialized(client.get(), SIGNAL(initialized()));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    mServer->enqueueJson(MeAnswer);
    client->init();
    // A second init while the first runs sends nothing more.
    client->init();
    QCOMPARE(initialized.count(), 0);
    QVERIFY(initialized.wait());
    QCOMPARE(initialized.count(), 1);
    QCOMPARE(errors.count(), 0);
    QVERIFY(client->isInitialized());
    QCOMPARE(client->currentProfileId(), QStringLiteral("me 1/x"));

    QCOMPARE(mServer->requests().size(), 1);
    const RawHttpServer::Request request = mServer->requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/me"));
    QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok-123"));
    QCOMPARE(request.header("Accept-Language"), QByteArray("en-GB"));

    // The signed-in user is in the cache, ready for reads without the network.
    QnUser me;
    QCOMPARE(client->retrieveProfile(&me, QStringLiteral("me 1/x"), RetrieveFromCache), int(StatusOk));
    QCOMPARE(me.firstName(), QStringLiteral("Mia"));
}

void TestQuillnetHttp::requestsCarryPathsAndParameters()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy friends(client.get(), SIGNAL(friendsUpdated(Qn::QnUserRefs)));
    QSignalSpy statuses(client.get(), SIGNAL(latestStatusMessageRetrieved(QStringList,Qn::QnPosts)));

    const auto json = [](const QByteArray& body) { return RawHttpServer::response(200, body); };
    mServer->route("/users/me%201%2Fx/feed", json(R"({"data": []})"));
    mServer->route("/users/me%201%2Fx/friends",
                   json(R"({"data": [{"id": "f1", "name": "Fay", "first_name": "Fay", "birthday": "02/03/1990"}]})"));
    mServer->route("/statuses/", json(QByteArray(R"({"data": [)")
                                      + postJson(QStringLiteral("s1"), QStringLiteral("2024-01-02T03:04:05Z"), QStringLiteral("a")) + ","
                                      + postJson(QStringLiteral("s2"), QStringLiteral("2024-01-02T03:04:05Z"), QStringLiteral("stranger"))
                                      + "]}"));
    mServer->route("/threads?", json(R"({"data": []})"));
    mServer->route("/threads/", json(R"({"data": []})"));
    mServer->route("/users/f1/picture", RawHttpServer::response(200, "\x89PNG", "image/png"));

    // Feed of the signed-in user: the subject defaults to them and is encoded into the path.
    QCOMPARE(client->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30, 0), RetrieveFromNetwork), int(StatusOk));
    QnDataFilter page(QString(), 50, 50);
    page.setFields({ QStringLiteral("first_name"), QStringLiteral("birthday"), QStringLiteral("bad name;") });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ignoring field name.*bad name")));
    QCOMPARE(client->retrieveFriends(nullptr, page, RetrieveFromNetwork), int(StatusOk));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("dropping status .*s2.*not asked for")));
    QCOMPARE(client->retrieveLatestStatusMessage({ QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("a") }), int(StatusOk));
    QCOMPARE(client->retrieveThreads(nullptr, Qn::Outbox, RetrieveFromNetwork), int(StatusOk));
    QCOMPARE(client->retrieveMessages(nullptr, QnDataFilter(QStringLiteral("t/9"), 1), RetrieveFromNetwork), int(StatusOk));
    QCOMPARE(client->retrieveProfilePicture(QStringLiteral("f1"), Qn::SmallPicture), int(StatusOk));

    QTRY_COMPARE(mServer->requests().size(), 7);
    QTRY_COMPARE(statuses.count(), 1);
    QCOMPARE(friends.count(), 1);
    QStringList targets;
    for (const RawHttpServer::Request& request : mServer->requests())
        targets << QString::fromLatin1(request.target);
    // Answers may be served in any order; the set of requests is what matters.
    QStringList expected{
        QStringLiteral("/me"),
        QStringLiteral("/users/me%201%2Fx/feed?limit=30"),
        QStringLiteral("/users/me%201%2Fx/friends?limit=50&offset=50&fields=birthday,first_name"),
        QStringLiteral("/statuses/latest?ids=a,b"),
        QStringLiteral("/threads?folder=1"),
        QStringLiteral("/threads/t%2F9/messages?limit=1"),
        QStringLiteral("/users/f1/picture?type=1"),
    };
    targets.sort();
    expected.sort();
    QCOMPARE(targets, expected);

    // The friend page went into the cache as full profiles and as the owner's friend list.
    QCOMPARE(friends.at(0).at(0).value<QnUserRefs>(), QnUserRefs{ QnUserRef(QStringLiteral("f1"), QStringLiteral("Fay")) });
    QnUsers cachedFriends;
    QCOMPARE(client->retrieveFriends(&cachedFriends, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cachedFriends.size(), 1);
    QCOMPARE(cachedFriends.first().birthday(), QStringLiteral("02/03/1990"));
    // The status answer carries the ids asked for and only their authors' posts.
    QCOMPARE(statuses.at(0).at(0).toStringList(), (QStringList{ QStringLiteral("a"), QStringLiteral("b") }));
    const QnPosts posts = statuses.at(0).at(1).value<QnPosts>();
    QCOMPARE(posts.size(), 1);
    QCOMPARE(posts.first().id(), QStringLiteral("s1"));
    QnPosts cached;
    QCOMPARE(client->retrieveStatusMessages(&cached, QnDataFilter(QStringLiteral("a"), 3)), int(StatusOk));
    QCOMPARE(cached, posts);
    QCOMPARE(client->retrieveStatusMessages(&cached, QnDataFilter(QStringLiteral("stranger"), 3)), int(StatusNotFound));
}

void TestQuillnetHttp::badAnswersBecomeErrors_data()
{
    QTest::addColumn<QByteArray>("request"); // "init" or "notifications"
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text"); // expected in the service or transport text

    const QByteArray meHeader = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
    QTest::newRow("not json") << QByteArray("init") << RawHttpServer::response(200, "<html>hi</html>", "text/html") << 4
                              << QStringLiteral("not JSON");
    QTest::newRow("array") << QByteArray("init") << RawHttpServer::response(200, "[1, 2]") << 4
                           << QStringLiteral("not a JSON object");
    QTest::newRow("no user") << QByteArray("init") << RawHttpServer::response(200, "{}") << 4
                             << QStringLiteral("not an object");
    QTest::newRow("id not a string") << QByteArray("init")
                                     << RawHttpServer::response(200, R"({"user": {"id": 7, "name": "x"}})") << 4
                                     << QStringLiteral("\"id\" is not a string");
    QTest::newRow("name missing") << QByteArray("init") << RawHttpServer::response(200, R"({"user": {"id": "7"}})") << 4
                                  << QStringLiteral("\"name\" is missing");
    QTest::newRow("truncated body") << QByteArray("init") << meHeader + "Content-Length: 200\r\n\r\n" + MeAnswer.left(20)
                                    << 2 << QString();
    QTest::newRow("cut without length") << QByteArray("init")
                                        << meHeader + "Connection: close\r\n\r\n" + MeAnswer.left(30) << 4
                                        << QStringLiteral("not JSON");
    QTest::newRow("dropped") << QByteArray("init") << QByteArray() << 2 << QString();
    QTest::newRow("garbage status line") << QByteArray("init") << QByteArray("SMTP ready\r\n\r\n") << 2 << QString();
    QTest::newRow("token expired") << QByteArray("init")
                                   << RawHttpServer::response(401, R"({"error": {"code": "invalid_token", "message": "expired"}})")
                                   << 1 << QStringLiteral("invalid_token: expired");
    QTest::newRow("401 other") << QByteArray("init")
                               << RawHttpServer::response(401, R"({"error": {"code": "mfa_required", "message": "no"}})")
                               << 3 << QStringLiteral("mfa_required: no");
    QTest::newRow("server error") << QByteArray("init")
                                  << RawHttpServer::response(500, R"({"error": {"code": "server_error", "message": "boom"}})")
                                  << 3 << QStringLiteral("server_error: boom");
    QTest::newRow("html error") << QByteArray("init") << RawHttpServer::response(503, "<h1>down</h1>", "text/html") << 3
                                << QStringLiteral("HTTP 503");
    QTest::newRow("error code wrong type")
        << QByteArray("init") << RawHttpServer::response(401, R"({"error": {"code": 5, "message": []}})") << 3
        << QStringLiteral("HTTP 401");
    QTest::newRow("redirect") << QByteArray("init")
                              << RawHttpServer::response(302, "", "", "Location: http://127.0.0.1:1/me\r\n") << 3
                              << QStringLiteral("HTTP 302");
    QTest::newRow("announced too big") << QByteArray("init") << meHeader + "Content-Length: 900000000\r\n\r\n{\"user\":" << 4
                                       << QStringLiteral("larger than");
    QTest::newRow("sent too big") << QByteArray("init")
                                  << meHeader + "Connection: close\r\n\r\n{\"user\": \"" + QByteArray(5 * 1024 * 1024, 'x') + "\"}"
                                  << 4 << QStringLiteral("larger than");
    QTest::newRow("count missing") << QByteArray("notifications")
                                   << RawHttpServer::response(200, R"({"friend_requests": [], "event_invitations": [], "notifications": []})")
                                   << 4 << QStringLiteral("unread_threads");
    QTest::newRow("count negative")
        << QByteArray("notifications")
        << RawHttpServer::response(200, R"({"friend_requests": [], "event_invitations": [], "notifications": [], "unread_threads": -1})")
        << 4 << QStringLiteral("unread_threads");
    QTest::newRow("list not an array")
        << QByteArray("notifications")
        << RawHttpServer::response(200, R"({"friend_requests": {}, "event_invitations": [], "notifications": [], "unread_threads": 1})")
        << 4 << QStringLiteral("friend_requests");
}

void TestQuillnetHttp::badAnswersBecomeErrors()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(int, type);
    QFETCH(QString, text);

    auto client = newClient();
    if (request == "notifications")
        QVERIFY(initClient(client.get()));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QSignalSpy initialized(client.get(), SIGNAL(initialized()));
    QSignalSpy notifications(client.get(),
                             SIGNAL(allNotificationsRetrieved(Qn::QnUsers,Qn::QnEvents,Qn::QnNotificationList,quint32)));
    // The transport tries again (up to three times) when a connection closes before an answer;
    // every try gets the same.
    for (int i = 0; i < 4; ++i)
        mServer->enqueue(answer);
    if (request == "init")
        client->init();
    else
        QCOMPARE(client->retrieveAllNotifications(), int(StatusOk));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type %1").arg(type)));
    QVERIFY(errors.wait());
    QCOMPARE(errors.count(), 1);
    const QnError error = errorAt(errors);
    QCOMPARE(int(error.errorType()), type);
    const QString all = error.quillnetErrorString() + QLatin1Char('|') + error.replyErrorString();
    QVERIFY2(all.contains(text), qPrintable(all));
    if (type == 2)
        QVERIFY2(!error.replyErrorString().isEmpty(), "a transport failure carries the transport's text");
    QCOMPARE(initialized.count(), 0);
    QCOMPARE(notifications.count(), 0);
    if (request == "init") {
        QVERIFY(!client->isInitialized());
        QVERIFY(client->currentProfileId().isEmpty());
        QnUser user;
        QCOMPARE(client->retrieveProfile(&user, QStringLiteral("me 1/x"), RetrieveFromCache), int(StatusNotFound));
    }
}

void TestQuillnetHttp::invalidEntriesAreDropped()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy feed(client.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));

    const QList<QByteArray> entries{
        postJson(QStringLiteral("good"), QStringLiteral("2024-05-01T10:15:00+02:00")),
        R"({"id": "no-time", "from": {"id": "u1", "name": "Ann"}})",
        postJson(QStringLiteral("local-time"), QStringLiteral("2024-05-01T10:15:00")),
        R"({"id": "neg", "from": {"id": "u1", "name": "Ann"}, "created": "2024-05-01T10:15:00Z", "likes": -1})",
        R"({"id": "frac", "from": {"id": "u1", "name": "Ann"}, "created": "2024-05-01T10:15:00Z", "comments": 1.5})",
        R"({"id": "badref", "from": {"id": "u1", "name": "Ann"}, "created": "2024-05-01T10:15:00Z", "to": [{"id": ""}]})",
        R"({"id": "badlink", "from": {"id": "u1", "name": "Ann"}, "created": "2024-05-01T10:15:00Z", "link": {"link": 3}})",
        R"({"id": "", "from": {"id": "u1", "name": "Ann"}, "created": "2024-05-01T10:15:00Z"})",
        R"("just text")",
        R"({"id": "nulls", "from": {"id": "u1", "name": "Ann"}, "created": "2024-05-01T10:15:00.5Z", "message": null, "to": null})",
    };
    mServer->enqueueJson("{\"data\": [" + entries.join(',') + "]}");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("dropping an invalid entry")));
    for (int i = 1; i < 8; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("dropping an invalid entry")));
    QCOMPARE(client->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
    QVERIFY(feed.wait());
    const QnPosts posts = feed.at(0).at(0).value<QnPosts>();
    QCOMPARE(posts.size(), 2);
    QCOMPARE(posts.at(0).id(), QStringLiteral("good"));
    QCOMPARE(posts.at(1).id(), QStringLiteral("nulls"));
    QCOMPARE(posts.at(1).created().toMSecsSinceEpoch() % 1000, qint64(500));
    QCOMPARE(errors.count(), 0);
    QnPosts cached;
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, posts);
}

void TestQuillnetHttp::silentServerTimesOut()
{
    auto client = newClient(300);
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type 2")));
    client->init(); // nothing queued: the server never answers
    QVERIFY(errors.wait(10000));
    QCOMPARE(int(errorAt(errors).errorType()), 2);
    QVERIFY2(errorAt(errors).replyErrorString().contains(QLatin1String("No progress within 300 ms")),
             qPrintable(errorAt(errors).replyErrorString()));
    // The client hung up; a later init may run again.
    QTRY_COMPARE(mServer->abandoned(), 1);
    QVERIFY(initClient(client.get()));
}

void TestQuillnetHttp::downloadsLandInFiles()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy data(client.get(), SIGNAL(dataRetrieved(QUrl,QString)));
    QSignalSpy pictures(client.get(), SIGNAL(profilePictureUpdated(QString,Qn::PictureType,QString)));
    QByteArray jpeg("\xff\xd8\xff\xe0", 4);
    jpeg += QByteArray(100000, '\x01') + QByteArray("\0end", 4);
    const QUrl url(mServer->baseUrl().toString() + QStringLiteral("/pictures/p1.jpg?size=big"));

    QString location = QStringLiteral("stale");
    QCOMPARE(client->retrieveData(&location, url, RetrieveFromCache), int(StatusOk));
    QVERIFY(location.isEmpty());
    mServer->enqueue(RawHttpServer::response(200, jpeg, "image/jpeg"));
    QCOMPARE(client->retrieveData(url), int(StatusOk));
    QVERIFY(data.wait());
    QCOMPARE(data.at(0).at(0).toUrl(), url);
    const QString file = data.at(0).at(1).toString();
    QVERIFY(file.startsWith(mCache->path()));
    QFile stored(file);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), jpeg);
    QCOMPARE(client->retrieveData(&location, url, RetrieveFromCache), int(StatusOk));
    QCOMPARE(location, file);
    // Addresses from the service's content are fetched without the user's token.
    QVERIFY(mServer->requests().last().header("Authorization").isEmpty());

    mServer->enqueue(RawHttpServer::response(200, "GIF89a", "image/gif"));
    QCOMPARE(client->retrieveProfilePicture(QStringLiteral("u7"), Qn::SmallPicture), int(StatusOk));
    QVERIFY(pictures.wait());
    QCOMPARE(pictures.at(0).at(0).toString(), QStringLiteral("u7"));
    QCOMPARE(pictures.at(0).at(1).value<Qn::PictureType>(), Qn::SmallPicture);
    QFile avatar(pictures.at(0).at(2).toString());
    QVERIFY(avatar.open(QIODevice::ReadOnly));
    QCOMPARE(avatar.readAll(), QByteArray("GIF89a"));
    QCOMPARE(mServer->requests().last().header("Authorization"), QByteArray("Bearer tok-123"));
    QCOMPARE(client->retrieveProfilePicture(&location, QStringLiteral("u7"), Qn::SmallPicture, RetrieveFromCache), int(StatusOk));
    QCOMPARE(location, avatar.fileName());
}

void TestQuillnetHttp::onlyWebAddressesAreFetched_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("file") << QUrl(QStringLiteral("file:///etc/passwd"));
    QTest::newRow("data") << QUrl(QStringLiteral("data:text/plain,secret"));
    QTest::newRow("qrc") << QUrl(QStringLiteral("qrc:/icon.png"));
    QTest::newRow("ftp") << QUrl(QStringLiteral("ftp://127.0.0.1/x.png"));
    QTest::newRow("no host") << QUrl(QStringLiteral("http:///x.png"));
    QTest::newRow("relative") << QUrl(QStringLiteral("/pictures/p1.jpg"));
}

void TestQuillnetHttp::onlyWebAddressesAreFetched()
{
    QFETCH(QUrl, url);
    auto client = newClient();
    QSignalSpy data(client.get(), SIGNAL(dataRetrieved(QUrl,QString)));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refusing address")));
    QCOMPARE(client->retrieveData(url), int(StatusInvalidArgument));
    QString location;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refusing address")));
    QCOMPARE(client->retrieveData(&location, url, RetrieveFromCache), int(StatusInvalidArgument));
    QCoreApplication::processEvents();
    QCOMPARE(data.count(), 0);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(mServer->requests().size(), 0);
}

void TestQuillnetHttp::redirectsOutOfTheWebAreRefused()
{
    auto client = newClient();
    QSignalSpy data(client.get(), SIGNAL(dataRetrieved(QUrl,QString)));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    const QUrl bad(mServer->baseUrl().toString() + QStringLiteral("/bad.png"));
    const QUrl good(mServer->baseUrl().toString() + QStringLiteral("/good.png"));

    mServer->enqueue(RawHttpServer::response(302, "", "", "Location: file:///etc/passwd\r\n"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type 4")));
    QCOMPARE(client->retrieveData(bad), int(StatusOk));
    QVERIFY(errors.wait());
    QCOMPARE(int(errorAt(errors).errorType()), 4);
    QVERIFY(errorAt(errors).quillnetErrorString().contains(QLatin1String("redirect")));
    QString location;
    QCOMPARE(client->retrieveData(&location, bad, RetrieveFromCache), int(StatusOk));
    QVERIFY(location.isEmpty());

    // A redirect within the web is followed; the file is kept under the address asked for.
    mServer->enqueue(RawHttpServer::response(301, "", "", "Location: /moved.png\r\n"));
    mServer->enqueue(RawHttpServer::response(200, "PNGDATA", "image/png"));
    QCOMPARE(client->retrieveData(good), int(StatusOk));
    QVERIFY(data.wait());
    QCOMPARE(data.at(0).at(0).toUrl(), good);
    QCOMPARE(mServer->requests().last().target, QByteArray("/moved.png"));
    QCOMPARE(client->retrieveData(&location, good, RetrieveFromCache), int(StatusOk));
    QCOMPARE(location, data.at(0).at(1).toString());
    QCOMPARE(errors.count(), 1);
}

void TestQuillnetHttp::timesKeepTheirInstantInEveryZone_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::newRow("utc") << QByteArray("UTC0");
    QTest::newRow("india") << QByteArray("IST-5:30");
    QTest::newRow("new york") << QByteArray("EST5EDT,M3.2.0,M11.1.0");
    QTest::newRow("helsinki") << QByteArray("EET-2EEST,M3.5.0/3,M10.5.0/4");
    QTest::newRow("chatham") << QByteArray("<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45");
}

void TestQuillnetHttp::timesKeepTheirInstantInEveryZone()
{
    QFETCH(QByteArray, zone);
    qputenv("TZ", zone);
    tzset();

    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy threads(client.get(), SIGNAL(threadsRetrieved(Qn::MessageBoxType,Qn::QnThreads)));
    // 03:30 local on the night Helsinki's clocks jump from 03:00 to 04:00, and 01:30 in New York
    // during the hour that happens twice: the offsets decide.
    mServer->enqueueJson(R"({"data": [
        {"id": "t1", "updated_time": "2024-03-31T03:30:00.250+03:00", "unread": 1, "senders": [{"id": "u1", "name": "Ann"}]},
        {"id": "t2", "updated_time": "2023-11-05T01:30:00-05:00", "unread": 0, "senders": []},
        {"id": "t3", "updated_time": "2023-11-05T01:30:00-04:00", "unread": 2, "senders": []}]})");
    QCOMPARE(client->retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork), int(StatusOk));
    QVERIFY(threads.wait());
    const QnThreads received = threads.at(0).at(1).value<QnThreads>();
    QCOMPARE(received.size(), 3);
    const QList<qint64> expected{ 1711845000250LL, 1699165800000LL, 1699162200000LL };
    for (int i = 0; i < 3; ++i)
        QCOMPARE(received.at(i).updatedTime().toMSecsSinceEpoch(), expected.at(i));

    // Read back from the cache under yet another zone: the same instants.
    qputenv("TZ", "HST10");
    tzset();
    QnThreads cached;
    QCOMPARE(client->retrieveThreads(&cached, Qn::Inbox, RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached.size(), 3);
    for (const QnThread& thread : std::as_const(cached)) {
        const int index = thread.id().mid(1).toInt() - 1;
        QCOMPARE(thread.updatedTime().toMSecsSinceEpoch(), expected.at(index));
        QCOMPARE(thread, received.at(index));
    }
}

void TestQuillnetHttp::markingReadSplitsLongLists()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QStringList ids;
    for (int i = 0; i < 250; ++i)
        ids << QStringLiteral("n%1").arg(i);
    ids << QStringLiteral("n0") << QString();
    for (int i = 0; i < 3; ++i)
        mServer->enqueue("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    QCOMPARE(client->markNotificationsRead(ids), int(StatusOk));
    QTRY_COMPARE(mServer->requests().size(), 4);
    QStringList sent;
    for (int i = 1; i < 4; ++i) {
        const RawHttpServer::Request& request = mServer->requests().at(i);
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/notifications/read"));
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok-123"));
        const QJsonArray part = QJsonDocument::fromJson(request.body).object().value("ids").toArray();
        QVERIFY(part.size() <= 100);
        for (const QJsonValue& id : part)
            sent << id.toString();
    }
    sent.sort();
    ids.removeLast();
    ids.removeLast();
    ids.sort();
    QCOMPARE(sent, ids);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no notification ids")));
    QCOMPARE(client->markNotificationsRead({ QString() }), int(StatusInvalidArgument));
    QCoreApplication::processEvents();
    QCOMPARE(errors.count(), 0);
}

void TestQuillnetHttp::damagedCacheIsReportedWithTheAnswer()
{
    mCache.reset();
    const QnCacheConfiguration cacheConfig = cacheConfiguration(*mDir);
    QVERIFY(makeMalformedDatabase(cacheConfig));
    mCache.reset(new QnCache(cacheConfig));

    auto client = newClient();
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QSignalSpy initialized(client.get(), SIGNAL(initialized()));
    mServer->enqueueJson(MeAnswer);
    client->init();
    QVERIFY(initialized.wait());
    // The answer itself was good: the client is ready, and the cache failure is reported apart.
    QVERIFY(client->isInitialized());
    QTRY_COMPARE(errors.count(), 1);
    const QnError error = errorAt(errors);
    QCOMPARE(int(error.errorType()), 6);
    QVERIFY2(error.cacheErrorString().contains(QLatin1String("database disk image is malformed")),
             qPrintable(error.cacheErrorString()));
}

void TestQuillnetHttp::longListsAreCut()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy threads(client.get(), SIGNAL(threadsRetrieved(Qn::MessageBoxType,Qn::QnThreads)));
    QJsonArray many;
    for (int i = 0; i < QnJson::MaxListEntries + 50; ++i)
        many.append(QJsonObject{ { "id", QStringLiteral("t%1").arg(i) },
                                 { "updated_time", "2024-05-01T08:15:00Z" },
                                 { "unread", 0 },
                                 { "senders", QJsonArray() } });
    mServer->enqueueJson(QJsonDocument(QJsonObject{ { "data", many } }).toJson(QJsonDocument::Compact));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("holds 1050 entries; reading 1000")));
    QCOMPARE(client->retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork), int(StatusOk));
    QVERIFY(threads.wait());
    const QnThreads received = threads.at(0).at(1).value<QnThreads>();
    QCOMPARE(received.size(), QnJson::MaxListEntries);
    QCOMPARE(received.last().id(), QStringLiteral("t999"));
}

void TestQuillnetHttp::deletingTheClientDropsItsRequests()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy feed(client.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    QCOMPARE(client->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
    QTRY_COMPARE(mServer->requests().size(), 2);
    client.reset();
    // The answer comes after the client has gone: nothing may use it.
    mServer->enqueueJson(R"({"data": []})");
    QTRY_COMPARE(mServer->abandoned(), 1);
    QCOMPARE(feed.count(), 0);
}

QTEST_GUILESS_MAIN(TestQuillnetHttp)
#include "tst_quillnethttp.moc"
