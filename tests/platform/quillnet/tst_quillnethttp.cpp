// The client's HTTP side against a byte-exact loopback server: request shapes and credentials,
// broken, hostile, endless and oversized answers, list bounds, redirects, time zones and the
// environment's proxy; and what the
// client refuses before sending anything, without a service or a usable cache. Failures the
// simulator can produce (error statuses, malformed and cut bodies, expired tokens) are in
// tst_quillnetsim.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTest>

#include <time.h>

#include "platform/quillnet/environmentproxy.h"
#include "platform/quillnet/qnjson.h"
#include "rawhttpserver.h"
#include "simclient.h"
#include "testfiles.h"

using namespace Qn;
using namespace Qt::StringLiterals;

namespace {

// Longer than any token before the client and the account shared one definition (4096).
const QString Token = "tok-" + QString(4996, 'x');
const QByteArray MeAnswer = R"({"user": {"id": "me 1/x", "name": "Mia Example", "first_name": "Mia"}})";
const QByteArray Ann = R"("from": {"id": "u1", "name": "Ann"})";

QByteArray postJson(const QByteArray &id, const QByteArray &created, const QByteArray &author = "u1")
{
    return R"({"id": ")" + id + R"(", "from": {"id": ")" + author + R"(", "name": "A"}, "created": ")" + created
            + "\"}";
}

QByteArray json(const QByteArray &body)
{
    return RawHttpServer::response(200, body);
}

// Switches the process to a POSIX time zone ("EST5EDT,M3.2.0,M11.1.0"); null restores the zone the
// process started with.
void setTimeZone(const char *zone)
{
    static const QByteArray original = qgetenv("TZ");
    const QByteArray value = zone ? QByteArray(zone) : original;
    if (value.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", value);
    tzset();
}

} // namespace

class TestQuillnetHttp : public QObject, public SimClientFixture
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(openCache());
        mServer.reset(new RawHttpServer);
        QVERIFY(mServer->listen());
        QuillnetConfiguration configuration(Token);
        configuration.setLocale("en_GB");
        configuration.setServiceUrl(mServer->baseUrl());
        QVERIFY(newClient(configuration, false));
    }

    void cleanup()
    {
        stop();
        mServer.reset();
        setTimeZone(nullptr);
    }

    void requestsCarryPathsParametersAndCredentials()
    {
        QSignalSpy initialized(mClient.get(), SIGNAL(initialized()));
        mServer->enqueueJson(MeAnswer);
        mClient->init();
        mClient->init(); // a second init while the first runs sends nothing more
        QCOMPARE(initialized.count(), 0);
        QVERIFY(initialized.wait());
        QCOMPARE(mServer->requests().size(), 1);
        QCOMPARE(mClient->currentProfileId(), u"me 1/x"_s);

        QSignalSpy friends(mClient.get(), SIGNAL(friendsUpdated(Qn::QnUserRefs)));
        QSignalSpy statuses(mClient.get(), SIGNAL(latestStatusMessageRetrieved(QStringList, Qn::QnPosts)));
        mServer->enqueue(json(R"({"data": []})"), "/users/me%201%2Fx/feed");
        mServer->enqueue(json(R"({"data": [{"id": "f1", "name": "Fay", "birthday": "02/03/1990"}]})"),
                         "/users/me%201%2Fx/friends");
        mServer->enqueue(json("{\"data\": [" + postJson("s1", "2024-01-02T03:04:05Z", "a") + ","
                              + postJson("s2", "2024-01-02T03:04:05Z", "stranger") + "]}"),
                         "/statuses/");
        mServer->enqueue(json(R"({"data": []})"), "/threads?");
        mServer->enqueue(json(R"({"data": []})"), "/threads/");
        mServer->enqueue(RawHttpServer::response(200, "\x89PNG", "image/png"), "/users/f1/picture");
        // A redirect within the web is followed; the file is kept under the address asked for.
        mServer->enqueue(RawHttpServer::response(301, "", "", "Location: /moved.png\r\n"), "/good.png");
        mServer->enqueue(RawHttpServer::response(200, "PNGDATA", "image/png"), "/moved.png");
        QSignalSpy data(mClient.get(), SIGNAL(dataRetrieved(QUrl, QString)));
        const QUrl good(mServer->baseUrl().toString() + "/good.png");

        // The subject defaults to the signed-in user and is encoded into the path; field names are checked.
        QCOMPARE(mClient->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30, 0), RetrieveFromNetwork),
                 int(StatusOk));
        QnDataFilter page(QString(), 50, 50);
        page.setFields({"first_name", "birthday", "bad name;"});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring field name.*bad name"));
        QCOMPARE(mClient->retrieveFriends(nullptr, page, RetrieveFromNetwork), int(StatusOk));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("dropping status .*s2.*not asked for"));
        QCOMPARE(mClient->retrieveLatestStatusMessage({"a", "b", "a"}), int(StatusOk));
        QCOMPARE(mClient->retrieveThreads(nullptr, Qn::Outbox, RetrieveFromNetwork), int(StatusOk));
        QCOMPARE(mClient->retrieveMessages(nullptr, QnDataFilter("t/9", 1), RetrieveFromNetwork), int(StatusOk));
        QCOMPARE(mClient->retrieveProfilePicture("f1", Qn::SmallPicture), int(StatusOk));
        QCOMPARE(mClient->retrieveData(good), int(StatusOk));

        QTRY_COMPARE(mServer->requests().size(), 9);
        QTRY_VERIFY(statuses.count() == 1 && friends.count() == 1 && data.count() == 1);
        QStringList targets;
        for (const RawHttpServer::Request &request : mServer->requests()) {
            targets << QString::fromLatin1(request.method + ' ' + request.target);
            // Addresses from the service's content are fetched without the user's token.
            const bool content = request.target.endsWith(".png");
            QCOMPARE(request.header("Authorization"), content ? QByteArray() : "Bearer " + Token.toLatin1());
            QVERIFY2(content || request.header("Accept-Language") == "en-GB", request.target);
        }
        targets.sort();
        QCOMPARE(targets,
                 (QStringList {"GET /good.png", "GET /me", "GET /moved.png", "GET /statuses/latest?ids=a,b",
                               "GET /threads/t%2F9/messages?limit=1", "GET /threads?folder=1",
                               "GET /users/f1/picture?type=1", "GET /users/me%201%2Fx/feed?limit=30",
                               "GET /users/me%201%2Fx/friends?limit=50&offset=50&fields=birthday,first_name"}));

        QCOMPARE(friends.at(0).at(0).value<QnUserRefs>(), QnUserRefs {QnUserRef("f1", "Fay")});
        // The status answer carries the ids asked for and only their authors' posts.
        QCOMPARE(statuses.at(0).at(0).toStringList(), (QStringList {"a", "b"}));
        const QnPosts posts = statuses.at(0).at(1).value<QnPosts>();
        QCOMPARE(idsOf(posts), QStringList {"s1"});
        QnPosts cached;
        QCOMPARE(mClient->retrieveStatusMessages(&cached, QnDataFilter("a", 3)), int(StatusOk));
        QCOMPARE(cached, posts);
        QCOMPARE(mClient->retrieveStatusMessages(&cached, QnDataFilter("stranger", 3)), int(StatusNotFound));
        QString location;
        QCOMPARE(data.at(0).at(0).toUrl(), good);
        QCOMPARE(mClient->retrieveData(&location, good, RetrieveFromCache), int(StatusOk));
        QCOMPARE(location, data.at(0).at(1).toString());
        QCOMPARE(readFile(location), QByteArray("PNGDATA"));

        // A client deleted while a request waits for its answer lets the connection go.
        QCOMPARE(mClient->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
        QTRY_COMPARE(mServer->requests().size(), 10);
        mClient.reset();
        QTRY_COMPARE(mServer->abandoned(), 1);
    }

    void badAnswersBecomeErrors_data()
    {
        QTest::addColumn<RequestKind>("kind"); // init, all notifications, the details of event e1, or a picture
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("text"); // expected in the service or transport text

        // One row per rule of the error table that only byte-exact answers reach.
        const auto row = [](const char *tag, RequestKind kind, const QByteArray &answer, int type, const char *text) {
            QTest::newRow(tag) << kind << answer << type << text;
        };
        const QByteArray header = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n";
        const QByteArray noCount = R"({"friend_requests": [], "event_invitations": [], "notifications": [], )";
        row("not an object", InitRequest, json("[1, 2]"), 4, "not a JSON object");
        row("required member missing", InitRequest, json("{}"), 4, "not an object");
        row("received beyond the limit, no length", InitRequest,
            header + "{\"user\": \"" + QByteArray(5 * 1024 * 1024, 'x') + "\"}", 4, "larger than");
        row("count negative", AllNotificationsRequest, json(noCount + R"("unread_threads": -1})"), 4, "unread_threads");
        row("another event", EventDetailsRequest, json(R"({"event": {"id": "e2", "name": "Other"}})"), 4,
            "event details: event e1 answered with e2");
        row("event in a list", EventDetailsRequest, json(R"({"data": [{"id": "e1", "name": "Party"}]})"), 4,
            "event details: ");
        row("no HTTP answer", InitRequest, "SMTP ready\r\n\r\n", 2, "");
        row("401 without invalid_token", InitRequest,
            RawHttpServer::response(401, R"({"error": {"code": "mfa_required", "message": "no"}})"), 3,
            "mfa_required: no");
        row("error body not the error form", InitRequest,
            RawHttpServer::response(503, R"({"error": {"code": 5, "message": []}})"), 3, "HTTP 503");
        row("picture gone", DataRequest, RawHttpServer::response(404, "", "image/png"), 3, "HTTP 404");
        // Sent without the token: no reason for a new login.
        row("picture behind a login", DataRequest,
            RawHttpServer::response(401, R"({"error": {"code": "invalid_token", "message": "no"}})"), 3,
            "invalid_token");
        row("redirect of an API request", InitRequest,
            RawHttpServer::response(302, "", "", "Location: http://127.0.0.1:1/me\r\n"), 3, "HTTP 302");
        row("picture redirected out of the web", DataRequest,
            RawHttpServer::response(302, "", "", "Location: file:///etc/passwd\r\n"), 4, "redirect");
    }

    void badAnswersBecomeErrors()
    {
        QFETCH(RequestKind, kind);
        QFETCH(QByteArray, answer);
        QFETCH(int, type);
        QFETCH(QString, text);
        if (kind != InitRequest)
            QVERIFY(initClient());
        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        QSignalSpy initialized(mClient.get(), SIGNAL(initialized()));
        QSignalSpy answers(
                mClient.get(),
                SIGNAL(allNotificationsRetrieved(Qn::QnUsers, Qn::QnEvents, Qn::QnNotificationList, quint32)));
        QSignalSpy details(mClient.get(), SIGNAL(eventDetailsRetrieved(Qn::QnEvent)));
        QSignalSpy failed(mClient.get(), SIGNAL(requestFailed(Qn::RequestKind, QString)));
        const QUrl picture = mServer->baseUrl().resolved(QUrl(QStringLiteral("/pictures/a%20b.png")));
        // The transport tries again (up to three times) when a connection closes before an answer;
        // every try gets the same.
        for (int i = 0; i < 4; ++i)
            mServer->enqueue(answer);
        if (kind == InitRequest)
            mClient->init();
        else
            QCOMPARE(kind == AllNotificationsRequest       ? mClient->retrieveAllNotifications()
                             : kind == EventDetailsRequest ? mClient->retrieveEventDetails(u"e1"_s)
                                                           : mClient->retrieveData(picture),
                     int(StatusOk));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type %1").arg(type)));
        QVERIFY(errors.wait());
        QCOMPARE(errors.count(), 1);
        QCOMPARE(int(errorAt(errors).errorType()), type);
        const QString all = errorAt(errors).quillnetErrorString() + '|' + errorAt(errors).replyErrorString();
        QVERIFY2(all.contains(text), qPrintable(all));
        if (type == 2)
            QVERIFY2(!errorAt(errors).replyErrorString().isEmpty(), "a transport failure carries the transport's text");
        QCOMPARE(initialized.count() + answers.count() + details.count(), 0);
        // The caller waiting for the answer hears which request it was, before the error.
        const QString subject = kind == EventDetailsRequest ? u"e1"_s
                : kind == DataRequest                       ? QString::fromLatin1(picture.toEncoded())
                                                            : QString();
        QCOMPARE(QList<QVariantList>(failed), QList<QVariantList>({{QVariant::fromValue(kind), subject}}));
        QString location;
        QCOMPARE(mClient->retrieveData(&location, picture, RetrieveFromCache), int(StatusOk));
        QVERIFY(location.isEmpty());
        if (kind != InitRequest)
            return;
        QVERIFY(!mClient->isInitialized() && mClient->currentProfileId().isEmpty());
        QnUser user;
        QCOMPARE(mClient->retrieveProfile(&user, "me 1/x", RetrieveFromCache), int(StatusNotFound));
        // The failed init is over: a later one runs. After a broken exchange the transport may still
        // send that request once more on a new connection; it gets an answer of its own.
        mServer->clearAnswers();
        mServer->enqueueJson(MeAnswer);
        QVERIFY(initClient());
    }

    void abandonedTransferReleasesItsConnection_data()
    {
        QTest::addColumn<QByteArray>("start"); // then 'x' without end
        QTest::addColumn<int>("trickleMs"); // 0: as fast as the client reads
        QTest::addColumn<int>("type");
        QTest::newRow("endless header line") << QByteArray("HTTP/1.1 200 OK\r\nX-Endless: ") << 0 << 2;
        QTest::newRow("endless status line") << QByteArray("HTTP/1.1 200 O") << 0 << 2;
        QTest::newRow("endless chunk size")
                << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") << 0 << 2;
        // Never silent long enough for the transfer timeout: only the request's deadline ends it.
        QTest::newRow("trickling body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n{") << 50 << 2;
        // Refused by its head: the transport ends it alone; no connection of the client is shut down.
        QTest::newRow("body longer than the limit")
                << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5242880\r\n\r\n") << 0 << 4;
    }

    void abandonedTransferReleasesItsConnection()
    {
        QFETCH(QByteArray, start);
        QFETCH(int, trickleMs);
        QFETCH(int, type);
        // Qt's network thread reads such a line as long as bytes keep coming, and never sees the abort
        // of its reply on its own. With a manager shared as the daemon shares it.
        QNetworkAccessManager shared;
        QSignalSpy sharedReplies(&shared, &QNetworkAccessManager::finished);
        QuillnetConfiguration configuration(Token);
        configuration.setServiceUrl(mServer->baseUrl());
        configuration.setTransferTimeout(300);
        configuration.setRequestDeadline(1500);
        configuration.setNetworkAccessManager(&shared);
        mClient.reset(new Quillnet(configuration));
        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        const QRegularExpression shutDown("ended 1 connection\\(s\\) to \"127.0.0.1\" .* still sending");
        mServer->enqueueEndless(start, trickleMs);
        if (trickleMs > 0) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not answered within 1500 ms"));
        } else if (type == 4) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("answer of 5242880 bytes exceeds"));
            QTest::failOnWarning(shutDown);
        } else {
            QTest::ignoreMessage(QtWarningMsg, shutDown);
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type %1").arg(type)));
        mClient->init();
        QVERIFY(errors.wait());
        QCOMPARE(int(errorAt(errors).errorType()), type);
        // The server sees its client go, and the manager serves the next request: a client's with the
        // usual limits, as the short ones are for the broken answer (a busy machine may exceed them).
        QTRY_COMPARE(mServer->abandoned(), 1);
        configuration.setTransferTimeout(0);
        configuration.setRequestDeadline(0);
        QVERIFY(newClient(configuration, false));
        QVERIFY(initClient());
        QCOMPARE(sharedReplies.count(), 2);
    }

    void listAnswersAreReadEntryByEntry()
    {
        QVERIFY(initClient());
        QSignalSpy feed(mClient.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        // Invalid entries go (the strict readers' cases are tested on their own), the others stay, and
        // no more than MaxListEntries entries are read.
        const QList<QByteArray> dropped {"{\"id\": \"no-time\", " + Ann + "}",
                                         postJson("local-time", "2024-05-01T10:15:00"), R"("just text")"};
        QList<QByteArray> entries {postJson("good", "2024-05-01T10:15:00+02:00"),
                                   "{\"id\": \"nulls\", " + Ann
                                           + R"(, "created": "2024-05-01T10:15:00.5Z", "message": null, "to": null})"};
        entries += dropped;
        for (int i = entries.size(); i < QnJson::MaxListEntries + 50; ++i)
            entries << postJson("p" + QByteArray::number(i), "2024-05-01T08:15:00Z");
        mServer->enqueueJson("{\"data\": [" + entries.join(',') + "]}");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("holds 1050 entries; reading 1000"));
        for (int i = 0; i < dropped.size(); ++i)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("dropping an invalid entry"));
        QCOMPARE(mClient->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
        QVERIFY(feed.wait());
        const QnPosts posts = feed.at(0).at(0).value<QnPosts>();
        QCOMPARE(posts.size(), QnJson::MaxListEntries - dropped.size());
        QCOMPARE(idsOf(posts.mid(0, 3)), (QStringList {"good", "nulls", "p5"}));
        QCOMPARE(posts.last().id(), u"p999"_s);
        QCOMPARE(posts.at(1).created().toMSecsSinceEpoch() % 1000, qint64(500));
        QCOMPARE(errors.count(), 0);
        QnPosts cached;
        QCOMPARE(mClient->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
        QCOMPARE(cached, posts);
    }

    void timesKeepTheirInstantInEveryZone()
    {
        QVERIFY(initClient());
        QSignalSpy threads(mClient.get(), SIGNAL(threadsRetrieved(Qn::MessageBoxType, Qn::QnThreads)));
        const QList<qint64> expected {1711845000250LL, 1699165800000LL, 1699162200000LL};
        for (const char *zone : {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "EET-2EEST,M3.5.0/3,M10.5.0/4",
                                 "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45"}) {
            setTimeZone(zone);
            // 03:30 local on the night Helsinki's clocks jump from 03:00 to 04:00, and 01:30 in New York
            // during the hour that happens twice: the offsets decide.
            mServer->enqueueJson(
                    R"({"data": [)"
                    R"({"id": "t1", "updated_time": "2024-03-31T03:30:00.250+03:00", "unread": 1, "senders": []},)"
                    R"({"id": "t2", "updated_time": "2023-11-05T01:30:00-05:00", "unread": 0, "senders": []},)"
                    R"({"id": "t3", "updated_time": "2023-11-05T01:30:00-04:00", "unread": 2, "senders": []}]})");
            threads.clear();
            QCOMPARE(mClient->retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork), int(StatusOk));
            QVERIFY(threads.wait());
            const QnThreads received = threads.at(0).at(1).value<QnThreads>();
            QCOMPARE(idsOf(received), (QStringList {"t1", "t2", "t3"}));
            for (int i = 0; i < 3; ++i)
                QVERIFY2(received.at(i).updatedTime().toMSecsSinceEpoch() == expected.at(i), zone);

            // Read back from the cache under yet another zone: the same instants.
            setTimeZone("HST10");
            QnThreads cached;
            QCOMPARE(mClient->retrieveThreads(&cached, Qn::Inbox, RetrieveFromCache), int(StatusOk));
            QCOMPARE(cached, received);
        }
    }

    void longListsAndBurstsGoOutWhole()
    {
        QVERIFY(initClient());
        const auto inFlight = [this] {
            const QList<QNetworkReply *> replies = mClient->findChildren<QNetworkReply *>();
            return int(std::count_if(replies.cbegin(), replies.cend(), [](QNetworkReply *reply) {
                return !reply->isFinished() && reply->url().path() == u"/statuses/latest";
            }));
        };
        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        QSignalSpy answered(mClient.get(), SIGNAL(latestStatusMessageRetrieved(QStringList, Qn::QnPosts)));
        QSignalSpy failed(mClient.get(), SIGNAL(requestFailed(Qn::RequestKind, QString)));
        int most = 0;
        connect(mClient.get(), &Quillnet::latestStatusMessageRetrieved, this, [&] { most = qMax(most, inFlight()); });
        // Marks go out in lists of at most 100; status requests wait while 6 are in flight, and a failed
        // one makes room as an answered one does.
        QStringList asked, sent;
        for (int i = 0; i < 250; ++i)
            asked << QStringLiteral("n%1").arg(i);
        for (int i = 0; i < 3; ++i)
            mServer->enqueue("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n", "/notifications/read");
        QCOMPARE(mClient->markNotificationsRead(asked + QStringList {"n0", QString()}), int(StatusOk));
        for (int i = 0; i < 25; ++i) {
            asked << QStringLiteral("u%1").arg(i);
            QCOMPARE(mClient->retrieveLatestStatusMessage({asked.last()}), int(StatusOk));
            mServer->enqueue(i % 5 ? json(R"({"data": []})") : RawHttpServer::response(503, "{}"), "/statuses/");
        }
        QCOMPARE(inFlight(), 6);
        QTRY_COMPARE(answered.count() + failed.count(), 25);
        QTRY_COMPARE(mServer->requests().size(), 29);
        QTRY_COMPARE(errors.count(), 5);
        QVERIFY(most <= 6);
        for (const RawHttpServer::Request &request : mServer->requests()) {
            if (request.method != "POST")
                continue;
            QCOMPARE(request.target + ' ' + request.header("Authorization"),
                     "/notifications/read Bearer " + Token.toLatin1());
            const QJsonArray part = QJsonDocument::fromJson(request.body).object().value("ids").toArray();
            QVERIFY(part.size() <= 100);
            for (const QJsonValue &id : part)
                sent << id.toString();
        }
        for (const QList<QVariant> &arguments : std::as_const(answered))
            sent << arguments.at(0).toStringList();
        for (const QList<QVariant> &arguments : std::as_const(failed))
            sent << arguments.at(1).toString();
        sent.sort();
        asked.sort();
        QCOMPARE(sent, asked);
    }

    void proxiesComeFromTheEnvironment()
    {
        // The loopback server as the proxy of a service without an address: it gets the whole address.
        qputenv("http_proxy", mServer->baseUrl().toEncoded());
        EnvironmentProxyFactory::install();
        QuillnetConfiguration configuration(Token);
        configuration.setServiceUrl(QUrl("http://quillnet.invalid:81"));
        Quillnet proxied(configuration);
        mServer->enqueueJson(MeAnswer);
        QSignalSpy initialized(&proxied, SIGNAL(initialized()));
        proxied.init();
        QVERIFY(initialized.wait());
        QCOMPARE(mServer->requests().last().target, QByteArray("http://quillnet.invalid:81/me"));

        // Every host but those no_proxy names, by domain or by network; https has its own.
        qputenv("http_proxy", "proxy.example.net:3128");
        qputenv("https_proxy", "socks5://user:pw@proxy.example.net");
        qputenv("no_proxy", "*.example.org, 10.0.0.0/8");
        EnvironmentProxyFactory factory;
        const auto proxyFor = [&factory](const char *url) {
            const QNetworkProxy proxy = factory.queryProxy(QNetworkProxyQuery(QUrl(url))).value(0);
            return u"%1 %2:%3 %4"_s.arg(proxy.type()).arg(proxy.hostName()).arg(proxy.port()).arg(proxy.user());
        };
        QCOMPARE(proxyFor("http://11.0.0.1/"), u"3 proxy.example.net:3128 "_s);
        QCOMPARE(proxyFor("https://example.com/"), u"1 proxy.example.net:1080 user"_s);
        for (const char *direct : {"http://a.example.org/", "https://example.org/", "http://10.9.8.7/"})
            QCOMPARE(proxyFor(direct), u"2 :0 "_s);
        for (const char *name : {"http_proxy", "https_proxy", "no_proxy"})
            qunsetenv(name);
        QNetworkProxyFactory::setApplicationProxyFactory(nullptr);
    }

    // Without a service or a usable cache.
    void callsAreRefusedBeforeAnythingIsSent()
    {
        QVERIFY(newClient(QuillnetConfiguration("token"), false));
        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        QSignalSpy feed(mClient.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
        const QnDataFilter filter("me", 30, 0);

        // Without a service address nothing can be sent, and the status says so at once.
        const QList<int> unsent {mClient->retrieveNewsFeed(nullptr, filter, RetrieveFromNetwork),
                                 mClient->retrieveProfilePicture("u1", Qn::SmallPicture),
                                 mClient->retrieveAllNotifications(), mClient->markNotificationsRead({"n1"})};
        QCOMPARE(unsent, QList<int>(unsent.size(), StatusNotAvailable));

        // Bad arguments are refused first, whatever the service. Only web addresses are fetched
        // (Support::isWebAddress), from the network or the cache.
        QnPosts posts;
        QString location;
        const QList<int> refused {
                mClient->retrieveData(QUrl()),
                mClient->retrieveData(QUrl("file:///etc/passwd")),
                mClient->retrieveData(&location, QUrl("data:text/plain,secret"), RetrieveFromCache),
                mClient->retrieveData(nullptr, QUrl("http://pics.example/p.jpg"), RetrieveFromCache),
                // Before initialisation there is no signed-in user to default to.
                mClient->retrieveNewsFeed(&posts, QnDataFilter(), RetrieveFromCache),
                mClient->retrieveLatestStatusMessage({"a,b"}),
                mClient->retrieveLatestStatusMessage({}),
                mClient->retrieveEventDetails(QString()),
                mClient->retrieveProfilePicture("u1", Qn::PictureType(9)),
                mClient->retrieveThreads(nullptr, Qn::MessageBoxType(-1), RetrieveFromNetwork),
                mClient->retrieveMessages(nullptr, QnDataFilter(), RetrieveFromNetwork),
                mClient->retrieveStatusMessages(&posts, filter, RetrieveFromNetwork),
                mClient->retrieveProfile(nullptr, "u1", 7),
                mClient->markNotificationsRead({QString()}),
        };
        QCOMPARE(refused, QList<int>(refused.size(), StatusInvalidArgument));
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 0);
        QCOMPARE(feed.count(), 0);

        // Without a usable cache: a closed one, or one the daemon deleted before the client (as good as none).
        QCOMPARE(mClient->cache(), mCache.get());
        mCache->close();
        QnUser user;
        QCOMPARE(mClient->retrieveProfile(&user, "u1", RetrieveFromCache), int(StatusNoCache));
        mCache.reset();
        QVERIFY(!mClient->cache());
        QCOMPARE(mClient->retrieveData(&location, QUrl("http://x/y"), RetrieveFromCache), int(StatusNoCache));

        // No address, not the web, no host: the client does not start, and says so after init() returned.
        for (const QUrl &serviceUrl : {QUrl(), QUrl("ftp://127.0.0.1:8080/"), QUrl("http:///api")}) {
            QuillnetConfiguration configuration("token");
            configuration.setServiceUrl(serviceUrl);
            Quillnet client(configuration);
            QSignalSpy failures(&client, SIGNAL(error(Qn::QnError)));
            QSignalSpy initialized(&client, SIGNAL(initialized()));
            client.init();
            QCOMPARE(failures.count(), 0);
            QVERIFY(failures.wait());
            QCOMPARE(failures.count(), 1);
            QCOMPARE(errorAt(failures).errorType(), QnError::NotAvailableError);
            QCOMPARE(errorAt(failures).quillnetErrorString(), QStringLiteral("No service address configured"));
            QCOMPARE(initialized.count(), 0);
            QVERIFY(!client.isInitialized() && client.currentProfileId().isEmpty());
        }
    }

private:
    bool initClient()
    {
        mServer->enqueueJson(MeAnswer);
        return signIn(*mClient);
    }

    std::unique_ptr<RawHttpServer> mServer;
};

QTEST_GUILESS_MAIN(TestQuillnetHttp)
#include "tst_quillnethttp.moc"
