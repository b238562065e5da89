// Tests of the simulated Quillnet service over real HTTP on loopback: generated data, paging, the
// token endpoint, administration calls and every kind of injected fault.

#include "quillnet-sim/simulator.h"

#include <QBuffer>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include "common/constants.h"
#include "platform/quillnet/qnjson.h"

using QuillnetSim::SimConfig;
using QuillnetSim::Simulator;

namespace {

struct Answer
{
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    qint64 announcedLength = -1;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QJsonArray data() const { return json().value("data").toArray(); }
    QString errorCode() const { return json().value("error").toObject().value("code").toString(); }
};

QByteArray imageFormat(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader::imageFormat(&buffer);
}

QStringList ids(const QJsonArray& array)
{
    QStringList result;
    for (const QJsonValue& value : array)
        result.append(value.toObject().value("id").toString());
    return result;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sameSeedSameWorld();
    void postsCoverWhatTheDaemonReads();
    void picturesInEveryFormat();
    void peopleCoverWhatTheDaemonReads();
    void threadsAndNotifications();
    void paging_data();
    void paging();
    void fieldsLimitUserMembers();
    void apiErrors_data();
    void apiErrors();
    void tokenEndpoint_data();
    void tokenEndpoint();
    void grantReplacesTokenAndExpiry();
    void adminChangesTheWorld();
    void adminMessagesMoveThreads();
    void adminRejectsBadInput();
    void faults_data();
    void faults();
    void faultMatchingAndCount();
    void markNotificationsRead();

private:
    Answer request(const QByteArray& method, const QString& path, const QByteArray& body = QByteArray(),
                   const QString& token = QStringLiteral("current"), const QByteArray& contentType = "application/json");
    Answer get(const QString& path) { return request("GET", path); }
    QString grant(const QString& refreshToken, const QString& secret = Constants::ApplicationSecret);

    QScopedPointer<Simulator> mSim;
    QScopedPointer<QNetworkAccessManager> mNetwork;
};

void TestSimulator::init()
{
    mSim.reset(new Simulator(SimConfig()));
    QVERIFY(mSim->listen());
    mNetwork.reset(new QNetworkAccessManager);
}

void TestSimulator::cleanup()
{
    mNetwork.reset();
    mSim.reset();
}

Answer TestSimulator::request(const QByteArray& method, const QString& path, const QByteArray& body,
                              const QString& token, const QByteArray& contentType)
{
    QUrl url = mSim->baseUrl();
    const int query = path.indexOf(QLatin1Char('?'));
    url.setPath(query < 0 ? path : path.left(query));
    if (query >= 0)
        url.setQuery(path.mid(query + 1));
    QNetworkRequest request(url);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + (token == QLatin1String("current") ? mSim->accessToken() : token).toUtf8());
    if (!body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    QNetworkReply* reply = mNetwork->sendCustomRequest(request, method, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    Answer answer;
    if (!finished.wait(20000))
        return answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.error = reply->error();
    answer.body = reply->readAll();
    if (reply->hasRawHeader("Content-Length"))
        answer.announcedLength = reply->rawHeader("Content-Length").toLongLong();
    reply->deleteLater();
    return answer;
}

QString TestSimulator::grant(const QString& refreshToken, const QString& secret)
{
    const QByteArray form = "grant_type=refresh_token&refresh_token=" + QUrl::toPercentEncoding(refreshToken)
                            + "&client_id=" + Constants::ApplicationId.toUtf8()
                            + "&client_secret=" + QUrl::toPercentEncoding(secret);
    const Answer answer = request("POST", "/oauth/token", form, QString(), "application/x-www-form-urlencoded");
    return answer.status == 200 ? answer.json().value("access_token").toString() : answer.json().value("error").toString();
}

void TestSimulator::sameSeedSameWorld()
{
    auto snapshot = [](const Simulator& sim) {
        QJsonArray all;
        for (const Qn::QnPost& post : sim.posts())
            all.append(Qn::QnJson::toJson(post));
        for (const Qn::QnUser& user : sim.friends() + sim.friendRequests())
            all.append(Qn::QnJson::toJson(user));
        for (const Qn::QnThread& thread : sim.threads())
            all.append(Qn::QnJson::toJson(thread));
        for (const Qn::QnNotification& notification : sim.notifications())
            all.append(Qn::QnJson::toJson(notification));
        for (const Qn::QnEvent& event : sim.eventInvitations())
            all.append(Qn::QnJson::toJson(event));
        all.append(sim.refreshToken());
        all.append(QString::fromLatin1(sim.profilePictureData(sim.friends().value(3).id(), Qn::SmallPicture).toBase64()));
        return QJsonDocument(all).toJson();
    };
    SimConfig config;
    config.seed = 77;
    const Simulator a(config);
    const Simulator b(config);
    QCOMPARE(snapshot(a), snapshot(b));
    config.seed = 78;
    const Simulator c(config);
    QVERIFY(snapshot(a) != snapshot(c));

    // Sizes are honoured.
    config.friends = 7;
    config.posts = 3;
    config.threads = 0;
    config.notifications = 2;
    const Simulator small(config);
    QCOMPARE(small.friends().size(), 7);
    QCOMPARE(small.posts().size(), 3);
    QCOMPARE(small.threads().size(), 0);
    QCOMPARE(small.notifications().size(), 2);
}

void TestSimulator::postsCoverWhatTheDaemonReads()
{
    // Read through the protocol, as a client sees them.
    const Answer answer = get(QStringLiteral("/users/%1/feed?limit=100").arg(mSim->me().id()));
    QCOMPARE(answer.status, 200);
    const QJsonArray feed = answer.data();
    QCOMPARE(feed.size(), 40);

    int withRecipients = 0, withoutRecipients = 0, fullLink = 0, partialLink = 0, checkinsWithPicture = 0,
        excluded = 0, otherApplication = 0, storyOnly = 0, liked = 0, unliked = 0, commented = 0, specialChars = 0;
    QDateTime previous;
    for (const QJsonValue& value : feed) {
        const QJsonObject post = value.toObject();
        const QJsonObject link = post.value("link").toObject();
        (post.value("to").toArray().isEmpty() ? withoutRecipients : withRecipients)++;
        const int linkTexts = !link.value("name").toString().isEmpty() + !link.value("caption").toString().isEmpty()
                              + !link.value("description").toString().isEmpty();
        fullLink += linkTexts == 3;
        partialLink += linkTexts == 1 || linkTexts == 2;
        checkinsWithPicture += post.value("type") == "checkin" && !post.value("picture").toString().isEmpty();
        excluded += post.value("application") == Simulator::excludedApplicationId();
        otherApplication += !post.value("application").toString().isEmpty()
                            && post.value("application") != Simulator::excludedApplicationId();
        storyOnly += post.value("message").toString().isEmpty() && !post.value("story").toString().isEmpty();
        (post.value("likes").toInt() > 0 ? liked : unliked)++;
        commented += post.value("comments").toInt() > 0;
        specialChars += post.value("message").toString().contains(QRegularExpression("[&<>\"']"));

        // Times carry an offset and the feed is newest first.
        const QString created = post.value("created").toString();
        QVERIFY2(created.endsWith(QLatin1Char('Z')), qPrintable(created));
        const QDateTime time = QDateTime::fromString(created, Qt::ISODateWithMs);
        QVERIFY(time.isValid());
        if (previous.isValid())
            QVERIFY(time <= previous);
        previous = time;
    }
    QVERIFY(withRecipients > 0 && withoutRecipients > 0);
    QVERIFY(fullLink > 0 && partialLink > 0);
    QVERIFY(checkinsWithPicture > 0);
    QVERIFY(excluded > 0 && otherApplication > 0);
    QCOMPARE(Simulator::excludedApplicationId().size(), 17);
    QVERIFY(storyOnly > 0);
    QVERIFY(liked > 0 && unliked > 0 && commented > 0 && commented < feed.size());
    QVERIFY(specialChars > 0);
}

void TestSimulator::picturesInEveryFormat()
{
    QSet<QByteArray> formats;
    int misleadingSuffix = 0;
    QStringList urls;
    for (const Qn::QnPost& post : mSim->posts()) {
        if (post.picture().isEmpty())
            continue;
        const QUrl url(post.picture());
        QCOMPARE(url.host(), QStringLiteral("127.0.0.1"));
        QCOMPARE(url.port(), int(mSim->port()));
        // Downloaded without a token, as the client does.
        const Answer answer = request("GET", url.path(), QByteArray(), QString());
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.body, mSim->pictureData(url));
        const QByteArray format = imageFormat(answer.body);
        formats.insert(format);
        const QString suffix = QFileInfo(url.path()).suffix();
        misleadingSuffix += suffix.isEmpty() || (suffix == "jpg" ? format != "jpeg" : suffix.toLatin1() != format);
        urls.append(post.picture());
    }
    QCOMPARE(formats, (QSet<QByteArray>{"png", "jpeg", "gif"}));
    QVERIFY(misleadingSuffix >= 2);
    // Posts may share a picture; the daemon must fetch it once.
    QVERIFY(QSet<QString>(urls.begin(), urls.end()).size() < urls.size());

    // Profile pictures for every author, sized by type; unknown users have none.
    for (const Qn::QnPost& post : mSim->posts()) {
        const Answer avatar = get(QStringLiteral("/users/%1/picture?type=1").arg(post.from().id()));
        QCOMPARE(avatar.status, 200);
        QVERIFY(!imageFormat(avatar.body).isEmpty());
    }
    QImage large;
    QVERIFY(large.loadFromData(get(QStringLiteral("/users/%1/picture?type=3").arg(mSim->me().id())).body));
    QCOMPARE(large.size(), QSize(200, 200));
    QCOMPARE(get("/users/999/picture").status, 404);
    QCOMPARE(request("GET", "/media/photos/nothing.png", QByteArray(), QString()).status, 404);
}

void TestSimulator::peopleCoverWhatTheDaemonReads()
{
    const Qn::QnUsers friends = mSim->friends() + mSim->friendRequests();
    QSet<QString> phoneShapes;
    int noPhone = 0, fullBirthday = 0, partialBirthday = 0, badBirthday = 0, noBirthday = 0, severalSites = 0;
    for (const Qn::QnUser& user : friends) {
        QVERIFY(!user.id().isEmpty() && !user.name().isEmpty() && !user.firstName().isEmpty());
        QVERIFY(user.name().startsWith(user.firstName()));
        QVERIFY(!user.link().isEmpty());
        if (user.mobilePhone().isEmpty())
            ++noPhone;
        else
            phoneShapes.insert(QString(user.mobilePhone()).replace(QRegularExpression("\\d"), "9"));
        const QString birthday = user.birthday();
        if (birthday.isEmpty())
            ++noBirthday;
        else if (QRegularExpression("^\\d\\d/\\d\\d$").match(birthday).hasMatch())
            ++partialBirthday;
        else if (QDate::fromString(birthday, "MM/dd/yyyy").isValid())
            ++fullBirthday;
        else
            ++badBirthday;
        severalSites += user.website().simplified().split(' ', Qt::SkipEmptyParts).size() > 1;
    }
    QVERIFY2(phoneShapes.size() >= 5, qPrintable(QStringList(phoneShapes.begin(), phoneShapes.end()).join(" | ")));
    QVERIFY(noPhone > 0);
    QVERIFY(fullBirthday > 0 && partialBirthday > 0 && badBirthday > 0 && noBirthday > 0);
    QVERIFY(severalSites > 0);
    QVERIFY(!mSim->eventInvitations().isEmpty());
    QVERIFY(!mSim->eventInvitations().first().owner().name().isEmpty());

    // Latest status messages: one per user that has any, none for the others.
    QStringList asked;
    for (const Qn::QnUser& user : mSim->friends())
        asked.append(user.id());
    const Answer answer = get("/statuses/latest?ids=" + asked.mid(0, 40).join(','));
    QCOMPARE(answer.status, 200);
    int expected = 0;
    for (const QString& id : asked.mid(0, 40))
        expected += !mSim->statusMessages(id).isEmpty();
    QVERIFY(expected > 0 && expected < 40);
    QCOMPARE(answer.data().size(), expected);
    const QJsonObject first = answer.data().first().toObject();
    const QString author = first.value("from").toObject().value("id").toString();
    QCOMPARE(first.value("id").toString(), mSim->statusMessages(author).first().id());
}

void TestSimulator::threadsAndNotifications()
{
    const Answer all = get("/notifications");
    QCOMPARE(all.status, 200);
    const QJsonObject body = all.json();
    QCOMPARE(ids(body.value("friend_requests").toArray()).size(), 3);
    QCOMPARE(body.value("event_invitations").toArray().size(), 2);

    const QStringList handled = { "stream", "photo", "album", "friend", "event" };
    QSet<QString> unreadHandled;
    int unreadOther = 0, read = 0;
    for (const QJsonValue& value : body.value("notifications").toArray()) {
        const QJsonObject notification = value.toObject();
        const QString type = notification.value("object_type").toString();
        QVERIFY(notification.value("unread").isBool());
        if (!notification.value("unread").toBool())
            ++read;
        else if (handled.contains(type))
            unreadHandled.insert(type);
        else
            ++unreadOther;
    }
    QCOMPARE(unreadHandled.size(), 5);
    QVERIFY(unreadOther > 0 && read > 0);

    const QJsonArray threads = get("/threads?folder=0").data();
    QCOMPARE(threads.size(), 8);
    int unread = 0;
    bool nameless = false;
    for (const QJsonValue& value : threads) {
        const QJsonObject thread = value.toObject();
        unread += thread.value("unread").toInt() > 0;
        nameless = nameless || thread.value("senders").toArray().first().toObject().value("name").toString().isEmpty();
        // The newest message is first and belongs to the thread.
        const QJsonArray messages = get(QStringLiteral("/threads/%1/messages?limit=1").arg(thread.value("id").toString())).data();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.first().toObject().value("created"), thread.value("updated_time"));
    }
    QVERIFY(unread > 0 && unread < threads.size());
    QCOMPARE(body.value("unread_threads").toInt(), unread);
    QVERIFY(nameless);
    QCOMPARE(get("/threads?folder=1").data().size(), 0);
    QCOMPARE(get("/threads/nope/messages").status, 404);
}

void TestSimulator::paging_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("from");  // index of the first post expected
    QTest::addColumn<int>("count"); // -1: the status expected is 400
    QTest::newRow("default") << "" << 0 << 25;
    QTest::newRow("limit and offset") << "limit=10&offset=125" << 125 << 5;
    QTest::newRow("capped at 100") << "limit=1000" << 0 << 100;
    QTest::newRow("limit 0 means default") << "limit=0&offset=100" << 100 << 25;
    QTest::newRow("negative offset") << "limit=3&offset=-4" << 0 << 3;
    QTest::newRow("past the end") << "offset=500" << 0 << 0;
    QTest::newRow("not a number") << "limit=ten" << 0 << -1;
}

void TestSimulator::paging()
{
    QFETCH(QString, query);
    QFETCH(int, from);
    QFETCH(int, count);
    SimConfig config;
    config.posts = 130;
    mSim.reset(new Simulator(config));
    QVERIFY(mSim->listen());

    const Answer answer = get(QStringLiteral("/users/%1/feed?%2").arg(mSim->me().id(), query));
    if (count < 0) {
        QCOMPARE(answer.status, 400);
        QCOMPARE(answer.errorCode(), QStringLiteral("invalid_request"));
        return;
    }
    QCOMPARE(answer.status, 200);
    QStringList expected;
    for (const Qn::QnPost& post : mSim->posts().mid(from, count))
        expected.append(post.id());
    QCOMPARE(ids(answer.data()), expected);
}

void TestSimulator::fieldsLimitUserMembers()
{
    const Answer page = get(QStringLiteral("/users/%1/friends?limit=50&offset=10&fields=mobile_phone,birthday,gender")
                                .arg(mSim->me().id()));
    QCOMPARE(page.status, 200);
    QCOMPARE(page.data().size(), 30);
    const QJsonObject user = page.data().first().toObject();
    QCOMPARE(user.value("id").toString(), mSim->friends().at(10).id());
    const QStringList members = user.keys();
    QCOMPARE(QSet<QString>(members.begin(), members.end()), (QSet<QString>{"id", "name", "mobile_phone", "birthday"}));

    const Answer profile = get("/users/" + mSim->friends().at(2).id());
    QCOMPARE(profile.json().value("user").toObject().keys().size(), 10);
    // Other users' friend lists are private.
    QCOMPARE(get("/users/" + mSim->friends().at(2).id() + "/friends").data().size(), 0);
}

void TestSimulator::apiErrors_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("token");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");
    QTest::newRow("no token") << QByteArray("GET") << "/me" << QString() << 401 << "invalid_token";
    QTest::newRow("unknown token") << QByteArray("GET") << "/me" << "qnat-guess" << 401 << "invalid_token";
    QTest::newRow("unknown user") << QByteArray("GET") << "/users/42" << "current" << 404 << "not_found";
    QTest::newRow("unknown endpoint") << QByteArray("GET") << "/photos" << "current" << 404 << "not_found";
    QTest::newRow("no ids") << QByteArray("GET") << "/statuses/latest" << "current" << 400 << "invalid_request";
    QTest::newRow("bad folder") << QByteArray("GET") << "/threads?folder=7" << "current" << 400 << "invalid_request";
    QTest::newRow("bad picture type") << QByteArray("GET") << "/users/100000000000001/picture?type=9" << "current"
                                      << 400 << "invalid_request";
}

void TestSimulator::apiErrors()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QString, token);
    QFETCH(int, status);
    QFETCH(QString, code);
    const Answer answer = request(method, path, QByteArray(), token);
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.errorCode(), code);

    // More than 100 ids in one request.
    QStringList many;
    for (int i = 0; i < 101; ++i)
        many.append(QString::number(i));
    QCOMPARE(get("/statuses/latest?ids=" + many.join(',')).status, 400);
}

void TestSimulator::tokenEndpoint_data()
{
    QTest::addColumn<QByteArray>("form"); // %R: the simulator's refresh token
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    const QByteArray client = "&client_id=" + Constants::ApplicationId.toUtf8() + "&client_secret="
                              + Constants::ApplicationSecret.toUtf8();
    QTest::newRow("good") << "grant_type=refresh_token&refresh_token=%R" + client << 200 << QString();
    QTest::newRow("wrong credential") << "grant_type=refresh_token&refresh_token=nope" + client << 400
                                      << "invalid_grant";
    QTest::newRow("wrong secret") << QByteArray("grant_type=refresh_token&refresh_token=%R&client_id=")
                                         + Constants::ApplicationId.toUtf8() + "&client_secret=x"
                                  << 401 << "invalid_client";
    QTest::newRow("other grant") << "grant_type=password&refresh_token=%R" + client << 400 << "unsupported_grant_type";
    QTest::newRow("no credential") << "grant_type=refresh_token" + client << 400 << "invalid_request";
}

void TestSimulator::tokenEndpoint()
{
    QFETCH(QByteArray, form);
    QFETCH(int, status);
    QFETCH(QString, error);
    form.replace("%R", QUrl::toPercentEncoding(mSim->refreshToken()));
    const Answer answer = request("POST", "/oauth/token", form, QString(), "application/x-www-form-urlencoded");
    QCOMPARE(answer.status, status);
    if (status == 200) {
        QCOMPARE(answer.json().value("access_token").toString(), mSim->accessToken());
        QCOMPARE(answer.json().value("token_type").toString(), QStringLiteral("Bearer"));
    } else {
        QCOMPARE(answer.json().value("error").toString(), error);
    }
}

void TestSimulator::grantReplacesTokenAndExpiry()
{
    const QString before = mSim->accessToken();
    QCOMPARE(get("/me").status, 200);

    // A canceled login answers access_denied once; the next grant works and replaces the token.
    mSim->denyLogins(1);
    QCOMPARE(grant(mSim->refreshToken()), QStringLiteral("access_denied"));
    const QString granted = grant(mSim->refreshToken());
    QCOMPARE(granted, mSim->accessToken());
    QVERIFY(granted != before);
    const Answer old = request("GET", "/me", QByteArray(), before);
    QCOMPARE(old.status, 401);
    QCOMPARE(old.errorCode(), QStringLiteral("invalid_token"));
    QCOMPARE(get("/me").json().value("user").toObject().value("id").toString(), mSim->me().id());

    // Expiry through the administration call.
    QCOMPARE(request("POST", "/admin/token/expire", QByteArray(), QString()).status, 204);
    const Answer expired = request("GET", "/me", QByteArray(), granted);
    QCOMPARE(expired.status, 401);
    QVERIFY(expired.json().value("error").toObject().value("message").toString().contains("expired"));
    QVERIFY(mSim->accessToken() != granted);
    QCOMPARE(get("/me").status, 200);

    QCOMPARE(request("POST", "/admin/token/deny", "{\"count\": 2}", QString()).status, 204);
    QCOMPARE(grant(mSim->refreshToken()), QStringLiteral("access_denied"));
    QCOMPARE(grant(mSim->refreshToken()), QStringLiteral("access_denied"));
    const QString third = grant(mSim->refreshToken());
    QCOMPARE(third, mSim->accessToken());
}

void TestSimulator::adminChangesTheWorld()
{
    const QString feedPath = QStringLiteral("/users/%1/feed").arg(mSim->me().id());

    // A new post goes to the top; its picture is served.
    Answer added = request("POST", "/admin/posts",
                           R"({"id": "new1", "from": {"id": "100000000001002", "name": "X"}, "message": "Hi & bye",
                               "picture_format": "gif"})", QString());
    QCOMPARE(added.status, 200);
    const QJsonObject top = get(feedPath).data().first().toObject();
    QCOMPARE(top.value("id").toString(), QStringLiteral("new1"));
    QCOMPARE(top.value("message").toString(), QStringLiteral("Hi & bye"));
    QVERIFY(QDateTime::fromString(top.value("created").toString(), Qt::ISODateWithMs).isValid());
    const QUrl picture(top.value("picture").toString());
    QCOMPARE(imageFormat(request("GET", picture.path(), QByteArray(), QString()).body), QByteArray("gif"));

    QCOMPARE(request("POST", "/admin/posts/new1/like", QByteArray(), QString()).status, 200);
    QCOMPARE(request("POST", "/admin/posts/new1/like", "{\"count\": 3}", QString()).status, 200);
    QCOMPARE(request("POST", "/admin/posts/new1/comment", QByteArray(), QString()).json().value("comments").toInt(), 1);
    QCOMPARE(get(feedPath).data().first().toObject().value("likes").toInt(), 4);
    QCOMPARE(request("POST", "/admin/posts/new1", R"({"id": "new1"})", QString()).status, 404);
    QCOMPARE(request("POST", "/admin/posts", R"({"id": "new1"})", QString()).status, 409);

    QCOMPARE(request("DELETE", "/admin/posts/new1", QByteArray(), QString()).status, 204);
    QVERIFY(!ids(get(feedPath + "?limit=100").data()).contains("new1"));
    QCOMPARE(request("DELETE", "/admin/posts/new1", QByteArray(), QString()).status, 404);

    // Notifications, friend requests and invitations show up in the all-notifications answer.
    QCOMPARE(request("POST", "/admin/notifications", R"({"id": "n-new", "object_type": "album"})", QString()).status, 200);
    QCOMPARE(request("POST", "/admin/friend-requests", R"({"id": "u-new", "name": "Newcomer"})", QString()).status, 200);
    QCOMPARE(request("POST", "/admin/events",
                     R"({"id": "e-new", "name": "Party", "owner": {"id": "u-new", "name": "Newcomer"},
                         "start_time": "2024-07-01T18:00:00+03:00"})", QString()).status, 200);
    QJsonObject all = get("/notifications").json();
    const QJsonObject notification = all.value("notifications").toArray().first().toObject();
    QCOMPARE(notification.value("id").toString(), QStringLiteral("n-new"));
    QCOMPARE(notification.value("unread").toBool(), true);
    QVERIFY(ids(all.value("friend_requests").toArray()).contains("u-new"));
    QCOMPARE(mSim->eventInvitations().last().startTime(), QDateTime(QDate(2024, 7, 1), QTime(15, 0), Qt::UTC));
    // The requester is a known user now.
    QCOMPARE(get("/users/u-new").json().value("user").toObject().value("name").toString(), QStringLiteral("Newcomer"));
    QCOMPARE(request("DELETE", "/admin/friend-requests/u-new", QByteArray(), QString()).status, 204);
    QVERIFY(!ids(get("/notifications").json().value("friend_requests").toArray()).contains("u-new"));

    // An update of a notification is a new instant, so the daemon sees it as new again.
    const QDateTime firstTime = mSim->notifications().first().updatedTime();
    QCOMPARE(request("POST", "/admin/notifications", R"({"id": "n-new", "object_type": "album"})", QString()).status, 200);
    QCOMPARE(mSim->notifications().first().id(), QStringLiteral("n-new"));
    QVERIFY(mSim->notifications().first().updatedTime() > firstTime);
    QCOMPARE(mSim->notifications().size(), 13);

    QCOMPARE(mSim->requestCount("/admin/"), 13);
}

void TestSimulator::adminMessagesMoveThreads()
{
    const int unreadBefore = get("/notifications").json().value("unread_threads").toInt();
    const Qn::QnThread oldest = mSim->threads().last();
    QCOMPARE(oldest.unread(), 0);

    // A message from a friend to a read thread: it becomes the newest and unread.
    Answer added = request("POST", QStringLiteral("/admin/threads/%1/messages").arg(oldest.id()),
                           R"({"content": "Are you there?", "from": {"id": "100000000001001", "name": "Pal"}})",
                           QString());
    QCOMPARE(added.status, 200);
    const QJsonObject thread = get("/threads").data().first().toObject();
    QCOMPARE(thread.value("id").toString(), oldest.id());
    QCOMPARE(thread.value("unread").toInt(), 1);
    QCOMPARE(thread.value("senders").toArray().first().toObject().value("name").toString(), QStringLiteral("Pal"));
    QVERIFY(QDateTime::fromString(thread.value("updated_time").toString(), Qt::ISODateWithMs) > oldest.updatedTime());
    QCOMPARE(get("/notifications").json().value("unread_threads").toInt(), unreadBefore + 1);
    const QJsonObject latest = get(QStringLiteral("/threads/%1/messages?limit=1").arg(oldest.id())).data().first().toObject();
    QCOMPARE(latest.value("content").toString(), QStringLiteral("Are you there?"));

    // A new thread, then a reply of the user: no unread count from one's own message.
    added = request("POST", "/admin/threads",
                    R"({"id": "t-new", "unread": 0, "senders": [], "updated_time": "2020-01-01T00:00:00Z"})", QString());
    QCOMPARE(added.status, 200);
    QCOMPARE(get("/threads").data().last().toObject().value("id").toString(), QStringLiteral("t-new"));
    added = request("POST", "/admin/threads/t-new/messages",
                    QStringLiteral(R"({"content": "Me", "from": {"id": "%1", "name": "me"}})").arg(mSim->me().id()).toUtf8(),
                    QString());
    QCOMPARE(added.status, 200);
    QCOMPARE(get("/threads").data().first().toObject().value("unread").toInt(), 0);
    QCOMPARE(request("POST", "/admin/threads/nope/messages", R"({"content": "x"})", QString()).status, 404);
}

void TestSimulator::adminRejectsBadInput()
{
    QCOMPARE(request("POST", "/admin/posts", "not json", QString()).status, 400);
    QCOMPARE(request("POST", "/admin/posts", "[1, 2]", QString()).status, 400);
    QCOMPARE(request("POST", "/admin/faults", R"({"path": "/me", "kind": "explode"})", QString()).status, 400);
    QCOMPARE(request("POST", "/admin/faults", R"({"kind": "delay"})", QString()).status, 400);
    QCOMPARE(request("POST", "/admin/posts", R"({"picture_format": "bmp"})", QString()).status, 409);
    QCOMPARE(request("POST", "/admin/statuses", R"({"from": {"id": "nobody", "name": ""}})", QString()).status, 404);
    QCOMPARE(request("GET", "/admin/everything", QByteArray(), QString()).status, 404);
    QCOMPARE(request("POST", "/admin/posts", QByteArray(2 * 1024 * 1024, ' '), QString()).status, 413);
    QCOMPARE(mSim->pendingFaults(), 0);
    QCOMPARE(mSim->posts().size(), 40);
}

void TestSimulator::faults_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("viaHttp");

    for (bool viaHttp : {false, true}) {
        const char* how = viaHttp ? " (admin call)" : "";
        QTest::addRow("status%s", how) << int(Simulator::HttpStatus) << 503 << viaHttp;
        QTest::addRow("delay%s", how) << int(Simulator::Delay) << 300 << viaHttp;
        QTest::addRow("malformed%s", how) << int(Simulator::MalformedBody) << 0 << viaHttp;
        QTest::addRow("truncated%s", how) << int(Simulator::TruncatedBody) << 0 << viaHttp;
        QTest::addRow("dropped%s", how) << int(Simulator::DropConnection) << 0 << viaHttp;
        QTest::addRow("oversized%s", how) << int(Simulator::OversizedBody) << 6 * 1024 * 1024 << viaHttp;
    }
}

void TestSimulator::faults()
{
    QFETCH(int, kind);
    QFETCH(int, value);
    QFETCH(bool, viaHttp);
    const Simulator::FaultKind fault = Simulator::FaultKind(kind);
    // Ask once first, so that the faulty answer comes on a reused connection.
    const Answer normal = get("/me");
    QCOMPARE(normal.status, 200);

    if (viaHttp) {
        static const char* names[] = { "http_status", "delay", "malformed_body", "truncated_body", "drop_connection",
                                       "oversized_body" };
        const QByteArray body = QStringLiteral(R"({"path": "/me", "kind": "%1", "value": %2})")
                                    .arg(QLatin1String(names[kind])).arg(value).toUtf8();
        QCOMPARE(request("POST", "/admin/faults", body, QString()).status, 204);
    } else {
        mSim->injectFault("/me", fault, value);
    }
    QCOMPARE(mSim->pendingFaults(), 1);

    // The delayed answer is still out when the request has arrived.
    bool pendingAtArrival = false;
    QPointer<QNetworkReply> pending;
    if (fault == Simulator::Delay) {
        QNetworkRequest networkRequest(mSim->baseUrl().resolved(QUrl("/me")));
        networkRequest.setRawHeader("Authorization", "Bearer " + mSim->accessToken().toUtf8());
        pending = mNetwork->get(networkRequest);
        QSignalSpy arrived(mSim.data(), &Simulator::requestReceived);
        QVERIFY(arrived.wait());
        QCoreApplication::processEvents();
        pendingAtArrival = !pending->isFinished();
        QSignalSpy finished(pending.data(), &QNetworkReply::finished);
        QVERIFY(finished.wait());
        QVERIFY(pendingAtArrival);
        QCOMPARE(pending->readAll(), normal.body);
        pending->deleteLater();
        QCOMPARE(mSim->pendingFaults(), 0);
        return;
    }

    const Answer answer = get("/me");
    switch (fault) {
    case Simulator::HttpStatus:
        QCOMPARE(answer.status, 503);
        QCOMPARE(answer.errorCode(), QStringLiteral("unavailable"));
        break;
    case Simulator::MalformedBody: {
        QCOMPARE(answer.status, 200);
        QJsonParseError error;
        QJsonDocument::fromJson(answer.body, &error);
        QVERIFY(error.error != QJsonParseError::NoError);
        break;
    }
    case Simulator::TruncatedBody:
        QCOMPARE(answer.status, 200);
        QVERIFY(answer.error != QNetworkReply::NoError || answer.body.size() < normal.body.size());
        QCOMPARE(answer.announcedLength, qint64(normal.body.size()));
        QVERIFY(answer.body.size() < normal.body.size());
        break;
    case Simulator::DropConnection:
        // The network stack may resend once on a fresh connection; this fault was used once.
        QVERIFY(answer.status == 0 || answer.body == normal.body);
        QCOMPARE(mSim->requestCount("/me"), answer.status == 0 ? 2 : 3);
        break;
    case Simulator::OversizedBody:
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.announcedLength, qint64(value));
        QCOMPARE(answer.body.size(), value);
        QCOMPARE(QJsonDocument::fromJson(answer.body).object().value("data").toArray().size(), 0);
        break;
    default:
        break;
    }
    QCOMPARE(mSim->pendingFaults(), 0);
    // Used up: the next request is answered normally.
    QCOMPARE(get("/me").body, normal.body);
}

void TestSimulator::faultMatchingAndCount()
{
    mSim->injectFault("/users/", Simulator::HttpStatus, 500, 2);
    mSim->injectFault("/oauth/token", Simulator::HttpStatus, 502);
    mSim->injectFault("/admin", Simulator::HttpStatus, 500);
    QCOMPARE(mSim->pendingFaults(), 4);

    // Only matching paths, in order, as many times as asked; administration is never failed.
    QCOMPARE(get("/me").status, 200);
    QCOMPARE(request("POST", "/admin/token/deny", "{\"count\": 0}", QString()).status, 204);
    QCOMPARE(get("/users/" + mSim->me().id()).status, 500);
    QCOMPARE(get("/users/" + mSim->me().id() + "/friends").status, 500);
    QCOMPARE(get("/users/" + mSim->me().id()).status, 200);
    // The token endpoint's failure uses the OAuth error form.
    QCOMPARE(grant(mSim->refreshToken()), QStringLiteral("server_error"));
    QCOMPARE(mSim->pendingFaults(), 1);
    QCOMPARE(request("DELETE", "/admin/faults", QByteArray(), QString()).status, 204);
    QCOMPARE(mSim->pendingFaults(), 0);

    // Faults reach pictures too.
    const QUrl picture(mSim->posts().at(3).picture());
    mSim->injectFault("/media/", Simulator::MalformedBody);
    QVERIFY(imageFormat(request("GET", picture.path(), QByteArray(), QString()).body).isEmpty());
    QCOMPARE(imageFormat(request("GET", picture.path(), QByteArray(), QString()).body), QByteArray("png"));
}

void TestSimulator::markNotificationsRead()
{
    const Qn::QnNotification first = mSim->notifications().first();
    QVERIFY(first.unread());
    const QByteArray body = QStringLiteral(R"({"ids": ["%1", "unknown"]})").arg(first.id()).toUtf8();
    const Answer answer = request("POST", "/notifications/read", body);
    QCOMPARE(answer.status, 204);
    QVERIFY(!mSim->notifications().first().unread());
    QCOMPARE(request("POST", "/notifications/read", R"({"ids": []})").status, 400);
    QCOMPARE(request("POST", "/notifications/read", R"({"ids": [5]})").status, 400);
    QCOMPARE(request("POST", "/notifications/read", body, "qnat-guess").status, 401);
}

QTEST_MAIN(TestSimulator)
#include "tst_simulator.moc"
