// Tests of the simulated Quillnet service over real HTTP on loopback: answers (refusals included)
// against the tables of docs/protocol.md, generated data, paging, the sign-in and the token endpoint,
// administration calls and every kind of injected fault. The client tests use the simulator heavily; these pin what
// they take for granted.

#include "quillnet-sim/simulator.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QtTest>

#include "common/constants.h"
#include "protocoldocument.h"

using QuillnetSim::SimConfig;
using QuillnetSim::Simulator;

namespace {

struct Answer
{
    int status = 0;
    QByteArray body;
    qint64 announcedLength = 0;
    QByteArray location;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QJsonArray data() const { return json().value("data").toArray(); }
    QJsonObject first() const { return data().first().toObject(); }
    QString errorCode() const { return json().value("error").toObject().value("code").toString(); }
};

QByteArray imageFormat(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader::imageFormat(&buffer);
}

QString text(const QJsonObject &object, const QString &key)
{
    return object.value(key).toString();
}

// An authorization request (as a query or a form) for the challenge of verifier; an empty value of
// a change leaves its parameter out.
const QString Verifier(43, QLatin1Char('v'));
const QString RedirectUri = QStringLiteral("http://127.0.0.1:9/cb");
const QString State = QStringLiteral("a b&c=d");
QByteArray authorization(const QString &verifier, const QList<QPair<QString, QString>> &changes = {})
{
    const QByteArray challenge = QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
                                         .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    QUrlQuery query {{"response_type", "code"},     {"client_id", Constants::ApplicationId},
                     {"redirect_uri", RedirectUri}, {"state", QString(State).replace('&', "%26")},
                     {"code_challenge", challenge}, {"code_challenge_method", "S256"}};
    for (const auto &change : changes) {
        query.removeAllQueryItems(change.first);
        if (!change.second.isEmpty())
            query.addQueryItem(change.first, change.second);
    }
    return query.toString(QUrl::FullyEncoded).toLatin1();
}

QByteArray codeGrant(const QString &code, const QString &verifier, const QString &redirect = RedirectUri)
{
    return "grant_type=authorization_code&code=" + code.toLatin1()
            + "&redirect_uri=" + QUrl::toPercentEncoding(redirect) + "&client_id=" + Constants::ApplicationId.toLatin1()
            + "&code_verifier=" + verifier.toLatin1();
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        mSim.reset(new Simulator);
        QVERIFY(mSim->listen());
    }

    void answersFollowTheDocument()
    {
        // Every request of the document, with the seeded world: answers hold the members its tables
        // name, with their types, and together every member of every record.
        const ProtocolDocument document = ProtocolDocument::read(QStringLiteral(PROTOCOL_DOCUMENT));
        QVERIFY2(document.problems.isEmpty(), qPrintable(document.problems.join('\n')));

        QString picture;
        for (const Qn::QnPost &post : mSim->posts())
            picture = picture.isEmpty() ? QUrl(post.picture()).path() : picture;
        QStringList someFriends;
        for (const Qn::QnUser &user : mSim->friends().mid(0, 20))
            someFriends << user.id();
        const QHash<QString, QString> values = {
                {"{me}", mSim->me().id()},
                {"{friend}", mSim->friends().at(1).id()},
                {"{friends}", someFriends.join(',')},
                {"{thread}", mSim->threads().first().id()},
                {"{notification}", mSim->notifications().first().id()},
                {"{event}", mSim->eventInvitations().first().id()},
                {"{picture}", picture},
                {"{authorization}", QString::fromLatin1(authorization(Verifier))},
                {"{credentials}", credentials()},
                {"{code grant}", codeGrant(code(), Verifier)},
                {"{huge}", QString(2 * 1024 * 1024, ' ')},
                {"{grant}", refreshGrant()},
        };
        struct Call
        {
            QString request; // as the document names it; its first word is the method
            QString target;
            QString body;
            int status;
        };
        // In this order: administration calls change the world and the token.
        const QList<Call> calls = {
                {"GET /me", "/me", "", 200},
                {"GET /users/{id}/feed", "/users/{me}/feed?limit=100", "", 200},
                {"GET /users/{id}/feed", "/users/{friend}/feed", "", 200},
                {"GET /users/{id}/feed", "/users/{me}/feed?limit=ten", "", 400},
                {"GET /users/{id}", "/users/{friend}", "", 200},
                {"GET /users/{id}", "/users/{friend}?fields=birthday,link", "", 200},
                {"GET /users/{id}", "/users/nobody", "", 404},
                {"GET /users/{id}/picture", "/users/{friend}/picture?type=3", "", 200},
                {"GET /users/{id}/friends", "/users/{me}/friends?limit=100", "", 200},
                {"GET /users/{id}/friends", "/users/{me}/friends?fields=email", "", 200},
                {"GET /statuses/latest", "/statuses/latest?ids={friends}", "", 200},
                {"GET /statuses/latest", "/statuses/latest", "", 400},
                {"GET /notifications", "/notifications", "", 200},
                {"GET /events/{id}", "/events/{event}", "", 200},
                {"GET /events/{id}", "/events/nothing", "", 404},
                {"GET /threads", "/threads?folder=0&limit=100", "", 200},
                {"GET /threads/{id}/messages", "/threads/{thread}/messages", "", 200},
                {"POST /notifications/read", "/notifications/read", R"({"ids": ["{notification}"]})", 204},
                {"POST /notifications/read", "/notifications/read", R"({"ids": [5]})", 400},
                {"GET <url>", "{picture}", "", 200},
                {"GET /oauth/authorize", "/oauth/authorize?{authorization}", "", 200},
                {"POST /oauth/authorize", "/oauth/authorize", "{authorization}{credentials}", 302},
                {"POST /oauth/token", "/oauth/token", "{code grant}", 200},
                {"POST /oauth/token", "/oauth/token", "{grant}", 200},
                {"POST /oauth/token", "/oauth/token", "grant_type=password", 400},
                {"POST /admin/posts", "/admin/posts",
                 R"({"id": "doc", "message": "\u0001\t\u001f", "picture_format": "png"})", 200},
                {"POST /admin/posts", "/admin/posts", "not json", 400},
                {"POST /admin/posts", "/admin/posts", "{huge}", 413},
                {"POST /admin/posts/{id}/like", "/admin/posts/doc/like", "", 200},
                {"POST /admin/posts/{id}/comment", "/admin/posts/doc/comment", "", 200},
                {"DELETE /admin/posts/{id}", "/admin/posts/doc", "", 204},
                {"POST /admin/statuses", "/admin/statuses", R"({"from": {"id": "{friend}", "name": "F"}})", 200},
                {"POST /admin/friends", "/admin/friends", R"({"id": "doc-friend", "name": "F"})", 200},
                {"POST /admin/notifications", "/admin/notifications", R"({"object_type": "stream"})", 200},
                {"POST /admin/threads", "/admin/threads", R"({"subject": "S"})", 200},
                {"POST /admin/threads/{id}/messages", "/admin/threads/{thread}/messages", R"({"content": "C"})", 200},
                {"POST /admin/friend-requests", "/admin/friend-requests", R"({"id": "doc-asker", "name": "A"})", 200},
                {"DELETE /admin/friend-requests/{id}", "/admin/friend-requests/doc-asker", "", 204},
                {"POST /admin/events", "/admin/events", R"({"id": "doc-event", "name": "E"})", 200},
                {"POST /admin/events", "/admin/events", R"({"name": "no id"})", 409},
                {"POST /admin/token/expire", "/admin/token/expire", "", 204},
                {"POST /admin/token/deny", "/admin/token/deny", "", 204},
                {"POST /admin/faults", "/admin/faults", R"({"path": "/nowhere", "kind": "delay"})", 204},
                {"POST /admin/faults", "/admin/faults", R"({"path": "/me", "kind": "explode"})", 400},
                {"DELETE /admin/faults", "/admin/faults", "", 204},
                {"GET /admin/requests", "/admin/requests", "", 200},
        };

        const QHash<int, QString> errorCodes = {{400, "invalid_request"}, {404, "not_found"}};
        QStringList uncalled = document.answers.keys();
        ShapeCheck shapes(document);
        for (const Call &call : calls) {
            uncalled.removeAll(call.request);
            QVERIFY2(document.answers.contains(call.request), qPrintable(call.request + " is not in the document"));
            QString target = call.target;
            QString body = call.body;
            for (auto it = values.cbegin(); it != values.cend(); ++it) {
                target.replace(it.key(), it.value());
                body.replace(it.key(), it.value());
            }
            const bool api = !call.request.contains("/oauth/") && !call.request.contains("/admin/")
                    && call.request != "GET <url>";
            const auto before = std::make_pair(mSim->posts().size(), mSim->pendingFaults());
            const QByteArray method = call.request.section(' ', 0, 0).toLatin1();
            const Answer answer = request(method, target, body.toUtf8(), api ? QStringLiteral("current") : QString());
            QVERIFY2(answer.status == call.status,
                     qPrintable(QStringLiteral("%1 %2: %3").arg(method, target.left(100)).arg(answer.status)));
            // A refused call changes nothing, and its code is the one its status stands for.
            if (answer.status >= 400 && !call.request.contains("/oauth/")) {
                QCOMPARE(std::make_pair(mSim->posts().size(), mSim->pendingFaults()), before);
                QCOMPARE(answer.errorCode(), errorCodes.value(answer.status, answer.errorCode()));
            }
            QString record = document.answers.value(call.request);
            if (answer.status >= 400)
                record = call.request.contains("/oauth/") ? "token error" : "API error";
            if (record.isEmpty()) {
                QCOMPARE(answer.body.isEmpty(), answer.status == 204); // bytes, or nothing
                continue;
            }
            QJsonParseError error;
            const QJsonDocument json = QJsonDocument::fromJson(answer.body, &error);
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(target + ": " + error.errorString()));
            // Qt's reader takes raw control characters in strings; JSON does not.
            QVERIFY2(std::none_of(answer.body.cbegin(), answer.body.cend(), [](char c) { return uchar(c) < 0x20; }),
                     qPrintable(target + ": unescaped control character"));
            shapes.check(json.object(), record, method + ' ' + target + ": " + record);
        }
        QVERIFY2(uncalled.isEmpty(), qPrintable("never called here: " + uncalled.join(", ")));
        QVERIFY2(shapes.problems.isEmpty(), qPrintable(shapes.problems.mid(0, 20).join('\n')));
        QVERIFY2(shapes.unseen().isEmpty(), qPrintable("never answered: " + shapes.unseen().join(", ")));
    }

    void sameSeedSameWorld()
    {
        // Records compare every member.
        const auto world = [](const Simulator &sim) {
            return std::make_tuple(sim.refreshToken(),
                                   sim.profilePictureData(sim.friends().value(3).id(), Qn::SmallPicture), sim.posts(),
                                   sim.friends() + sim.friendRequests(), sim.threads(), sim.notifications(),
                                   sim.eventInvitations());
        };
        const Simulator a(SimConfig {77});
        QVERIFY(world(a) == world(Simulator(SimConfig {77})));
        QVERIFY(world(a) != world(Simulator(SimConfig {78})));

        // Sizes are honoured: friends, posts, threads, notifications.
        const Simulator small(SimConfig {77, 7, 3, 0, 2});
        QCOMPARE((QList<qsizetype> {small.friends().size(), small.posts().size(), small.threads().size(),
                                    small.notifications().size()}),
                 (QList<qsizetype> {7, 3, 0, 2}));
    }

    void dataCoversWhatTheDaemonReads()
    {
        // Every shape the daemon treats differently is generated at the default sizes.
        QSet<QString> seen;
        QSet<QString> pictures;
        QDateTime previous;
        for (const Qn::QnPost &post : mSim->posts()) {
            const qsizetype linkTexts = 3 - post.linkInfo().texts().count(QString());
            seen << (post.to().isEmpty() ? "no recipients" : "recipients") << (post.likes() > 0 ? "liked" : "not liked")
                 << (post.commentCount() > 0 ? "commented" : "not commented")
                 << QStringList {"no link", "partial link", "partial link", "full link"}.value(linkTexts);
            if (!post.application().isEmpty())
                seen << (post.application() == Simulator::excludedApplicationId() ? "excluded app" : "other app");
            if (post.message().isEmpty() && !post.story().isEmpty())
                seen << "story only";
            if (post.message().contains(QRegularExpression("[&<>\"']")))
                seen << "markup characters";
            const QUrl url(post.picture());
            if (!url.isEmpty()) {
                const QByteArray format = imageFormat(mSim->pictureData(url));
                const QString suffix = QFileInfo(url.path()).suffix();
                const bool wrong = suffix == "jpg" ? format != "jpeg" : suffix.toLatin1() != format;
                seen << "picture " + QString::fromLatin1(format);
                seen << (suffix.isEmpty() ? "no suffix" : wrong ? "wrong suffix" : "suffix");
                if (post.type() == "checkin")
                    seen << "check-in with picture";
                if (pictures.contains(post.picture())) // the daemon must fetch it once
                    seen << "shared picture";
                pictures.insert(post.picture());
            }
            QVERIFY(!previous.isValid() || post.created() <= previous); // newest first
            previous = post.created();
        }

        QSet<QString> phoneShapes;
        for (const Qn::QnUser &user : mSim->friends() + mSim->friendRequests()) {
            QVERIFY(!user.id().isEmpty() && !user.firstName().isEmpty() && user.name().startsWith(user.firstName())
                    && !user.link().isEmpty());
            phoneShapes.insert(QString(user.mobilePhone()).replace(QRegularExpression("\\d"), "9"));
            const QString birthday = user.birthday();
            seen << (birthday.isEmpty()                                                         ? "no birthday"
                             : QRegularExpression("^\\d\\d/\\d\\d$").match(birthday).hasMatch() ? "day and month"
                             : QDate::fromString(birthday, "MM/dd/yyyy").isValid()              ? "full birthday"
                                                                                                : "bad birthday");
            if (user.website().simplified().split(' ', Qt::SkipEmptyParts).size() > 1)
                seen << "several websites";
        }
        for (const Qn::QnUser &user : mSim->friends())
            seen << (mSim->statusMessages(user.id()).isEmpty() ? "no status" : "status");
        // Several number shapes, and people without a number.
        QVERIFY2(phoneShapes.size() >= 6 && phoneShapes.contains(QString()),
                 qPrintable(phoneShapes.values().join(" | ")));

        const QStringList handled = {"stream", "photo", "album", "friend", "event"};
        for (const Qn::QnNotification &notification : mSim->notifications()) {
            const QString type = handled.contains(notification.objectType()) ? notification.objectType() : "other";
            seen << (notification.unread() ? "unread " + type : QStringLiteral("read"));
        }
        for (const Qn::QnThread &thread : mSim->threads()) {
            seen << (thread.unread() > 0 ? "unread thread" : "read thread");
            if (thread.senders().first().name().isEmpty())
                seen << "nameless sender";
            // The newest message is first and belongs to the thread.
            QCOMPARE(mSim->messages(thread.id()).first().created(), thread.updatedTime());
        }
        QVERIFY(!mSim->eventInvitations().first().owner().name().isEmpty());
        QCOMPARE(QImage::fromData(mSim->profilePictureData(mSim->me().id(), Qn::LargePicture)).size(), QSize(200, 200));

        QStringList list(seen.begin(), seen.end());
        list.sort();
        QCOMPARE(list.join('|'),
                 QStringLiteral("bad birthday|check-in with picture|commented|day and month|excluded app|full birthday|"
                                "full link|liked|markup characters|nameless sender|no birthday|no link|no recipients|"
                                "no status|no suffix|not commented|not liked|other app|partial link|picture gif|"
                                "picture jpeg|picture png|read|read thread|recipients|several websites|shared picture|"
                                "status|story only|suffix|unread album|unread event|unread friend|unread other|"
                                "unread photo|unread stream|unread thread|wrong suffix"));
    }

    void paging()
    {
        mSim.reset(new Simulator(SimConfig {1, 40, 130}));
        QVERIFY(mSim->listen());
        // A limit and an offset as the client sends them are in tst_quillnetsim.
        const struct
        {
            const char *query;
            int from; // index of the first post expected
            int count;
        } pages[] = {{"", 0, 25},
                     {"limit=1000", 0, 100},
                     {"limit=0&offset=100", 100, 25},
                     {"limit=3&offset=-4", 0, 3},
                     {"offset=500", 0, 0}};
        for (const auto &page : pages) {
            QStringList expected, answered;
            for (const Qn::QnPost &post : mSim->posts().mid(page.from, page.count))
                expected.append(post.id());
            for (const QJsonValue &post :
                 get(QStringLiteral("/users/%1/feed?%2").arg(mSim->me().id(), page.query)).data())
                answered.append(text(post.toObject(), "id"));
            QVERIFY2(answered == expected, page.query);
        }

        // fields limits the members of users beyond id and name (unknown names are ignored).
        const Answer friends
                = get(QStringLiteral("/users/%1/friends?limit=50&offset=10&fields=mobile_phone,birthday,gender")
                              .arg(mSim->me().id()));
        QCOMPARE(friends.data().size(), 30);
        QCOMPARE(text(friends.first(), "id"), mSim->friends().at(10).id());
        QCOMPARE(friends.first().keys(), (QStringList {"birthday", "id", "mobile_phone", "name"})); // sorted
    }

    void signInAndGrants()
    {
        // The page's form holds what the document names: the request's parameters and the form's fields.
        const ProtocolDocument document = ProtocolDocument::read(QStringLiteral(PROTOCOL_DOCUMENT));
        const Answer page = request("GET", "/oauth/authorize?" + authorization(Verifier), QByteArray(), QString());
        QSet<QString> names;
        for (auto it = QRegularExpression("<(?:input|button)[^>]* name=\"([^\"]+)\"").globalMatch(page.body);
             it.hasNext();)
            names << it.next().captured(1);
        const QStringList documented
                = document.fields.value("authorization request") + document.fields.value("sign-in form");
        QCOMPARE(names, QSet<QString>(documented.cbegin(), documented.cend()));

        // Refused requests: a page of their own where nothing may be sent back, otherwise a redirect with
        // the error and the state.
        const QByteArray password = mSim->password().toLatin1();
        const struct
        {
            const char *tag;
            QByteArray form; // posted; GET when it has no credentials
            int status;
            QString error; // of the redirect
        } cases[] = {
                {"wrong password", authorization(Verifier) + "&username=x&password=" + password, 401, ""},
                {"unknown application", authorization(Verifier, {{"client_id", "1"}}), 400, ""},
                {"redirect elsewhere", authorization(Verifier, {{"redirect_uri", "http://example.org/cb"}}), 400, ""},
                {"implicit grant", authorization(Verifier, {{"response_type", "token"}}), 302,
                 "unsupported_response_type"},
                {"plain challenge", authorization(Verifier, {{"code_challenge_method", "plain"}}) + credentials(), 302,
                 "invalid_request"},
        };
        for (const auto &c : cases) {
            const bool post = c.form.contains("&password=");
            const Answer answer = post ? request("POST", "/oauth/authorize", c.form, QString())
                                       : request("GET", "/oauth/authorize?" + c.form, QByteArray(), QString());
            const QUrlQuery back(QUrl::fromEncoded(answer.location));
            QVERIFY2(answer.status == c.status && back.queryItemValue("error") == c.error
                             && back.queryItemValue("state", QUrl::FullyDecoded) == (c.error.isEmpty() ? "" : State)
                             && !back.hasQueryItem("code"),
                     c.tag);
        }

        // A code is spent by its first exchange, right or wrong, and needs its redirect_uri, its verifier
        // and to come in time.
        const QString first = code();
        QCOMPARE(grant(codeGrant(first, QString(43, 'w'))), QStringLiteral("invalid_grant"));
        QCOMPARE(grant(codeGrant(first, Verifier)), QStringLiteral("invalid_grant"));
        QCOMPARE(grant(codeGrant(code(), Verifier, "http://127.0.0.1:9/other")), QStringLiteral("invalid_grant"));
        mSim->setAuthorizationCodeLifetime(0);
        QCOMPARE(grant(codeGrant(code(), Verifier)), QStringLiteral("invalid_grant"));

        // The refresh token grant's refusals are exercised by the account tests; here the administration
        // calls, and the API refusing a replaced token.
        const QString before = mSim->accessToken();
        QCOMPARE(admin("POST", "/admin/token/deny", "{\"count\": 2}").status, 204);
        QCOMPARE((QStringList {grant(), grant()}), (QStringList {"access_denied", "access_denied"}));
        const QString granted = grant();
        QCOMPARE(granted, mSim->accessToken());
        QCOMPARE(request("GET", "/me", QByteArray(), before).errorCode(), QStringLiteral("invalid_token"));
        QCOMPARE(request("GET", "/me", QByteArray(), QString()).errorCode(), QStringLiteral("invalid_token"));

        // Expiry through the administration call: the old token is refused as expired, the new one works.
        QCOMPARE(admin("POST", "/admin/token/expire").status, 204);
        const Answer expired = request("GET", "/me", QByteArray(), granted);
        QCOMPARE(expired.status, 401);
        QVERIFY(text(expired.json().value("error").toObject(), "message").contains("expired"));
        QCOMPARE(text(get("/me").json().value("user").toObject(), "id"), mSim->me().id());

        // A failing token endpoint answers in the OAuth error form; faults not used up can be dropped.
        mSim->injectFault("/oauth/token", Simulator::HttpStatus, 502, 2);
        QCOMPARE(grant(), QStringLiteral("server_error"));
        QCOMPARE(admin("DELETE", "/admin/faults").status, 204);
        QCOMPARE(mSim->pendingFaults(), 0);
    }

    void adminChangesTheWorld()
    {
        // A new post goes to the top, with its picture served; likes, comments, removal.
        // Text that JSON must escape comes back unchanged.
        const QString message = QStringLiteral("Hi & bye \"\\/\t\n\x01\x1f \U0001F600");
        const QJsonObject newPost {{"id", "new1"},
                                   {"from", QJsonObject {{"id", "100000000001002"}, {"name", "X"}}},
                                   {"message", message},
                                   {"picture_format", "gif"}};
        QCOMPARE(admin("POST", "/admin/posts", QJsonDocument(newPost).toJson()).status, 200);
        QCOMPARE(admin("POST", "/admin/posts/new1/like").status, 200);
        QCOMPARE(admin("POST", "/admin/posts/new1/like", "{\"count\": 3}").status, 200);
        QCOMPARE(admin("POST", "/admin/posts/new1/comment").status, 200);
        const QJsonObject top = get(QStringLiteral("/users/%1/feed").arg(mSim->me().id())).first();
        QCOMPARE((QVariantList {text(top, "id"), text(top, "message"), top.value("likes").toInt(),
                                top.value("comments").toInt()}),
                 (QVariantList {"new1", message, 4, 1}));
        QCOMPARE(imageFormat(admin("GET", QUrl(text(top, "picture")).path()).body), QByteArray("gif"));
        QCOMPARE(admin("POST", "/admin/posts", R"({"id": "new1"})").status, 409);
        QCOMPARE(admin("DELETE", "/admin/posts/new1").status, 204);
        QCOMPARE(admin("POST", "/admin/posts/new1/like").status, 404);

        // An update replaces the notification and puts it first, unread (that it is news again is
        // tst_notificationhandler's).
        QCOMPARE(admin("POST", "/admin/notifications", R"({"id": "n-new", "object_type": "album"})").status, 200);
        QCOMPARE(admin("POST", "/admin/notifications", R"({"id": "n-new", "object_type": "album"})").status, 200);
        const QJsonArray notifications = get("/notifications").json().value("notifications").toArray();
        QCOMPARE(notifications.size(), 13);
        QCOMPARE(notifications.first().toObject().value("unread"), QJsonValue(true));
        QCOMPARE(mSim->notifications().first().id(), QStringLiteral("n-new"));

        // A friend request makes its user known; an invitation's time keeps its instant.
        QCOMPARE(admin("POST", "/admin/friend-requests", R"({"id": "u-new", "name": "Newcomer"})").status, 200);
        QCOMPARE(text(get("/users/u-new").json().value("user").toObject(), "name"), QStringLiteral("Newcomer"));
        QCOMPARE(admin("DELETE", "/admin/friend-requests/u-new").status, 204);
        QCOMPARE(mSim->friendRequests().size(), 3);
        QCOMPARE(admin("POST", "/admin/events",
                       R"({"id": "e-new", "name": "Party", "owner": {"id": "u-new", "name": "N"},
                                                "start_time": "2024-07-01T18:00:00+03:00"})")
                         .status,
                 200);
        QCOMPARE(mSim->eventInvitations().last().startTime(), QDateTime(QDate(2024, 7, 1), QTime(15, 0), Qt::UTC));

        // A message from a friend to a read thread makes it the newest, unread, with that sender first;
        // a reply of the user adds no unread count.
        const Qn::QnThread oldest = mSim->threads().last();
        const int unreadThreads = get("/notifications").json().value("unread_threads").toInt();
        QCOMPARE(oldest.unread(), 0);
        QCOMPARE(admin("POST", QStringLiteral("/admin/threads/%1/messages").arg(oldest.id()),
                       R"({"content": "Are you there?", "from": {"id": "100000000001001", "name": "Pal"}})")
                         .status,
                 200);
        const QJsonObject thread = get("/threads").first();
        QCOMPARE(text(thread, "id"), oldest.id());
        QCOMPARE(thread.value("unread").toInt(), 1);
        QCOMPARE(text(thread.value("senders").toArray().first().toObject(), "name"), QStringLiteral("Pal"));
        QCOMPARE(get("/notifications").json().value("unread_threads").toInt(), unreadThreads + 1);
        // A time may come as milliseconds since the epoch; it goes out in the service's form.
        QCOMPARE(admin("POST", "/admin/threads", R"({"id": "t-new", "unread": 0, "senders": [],
                                                 "updated_time": 1577836800000})")
                         .status,
                 200);
        const QJsonObject added = get("/threads").data().last().toObject();
        QCOMPARE((QStringList {text(added, "id"), text(added, "updated_time")}),
                 (QStringList {"t-new", "2020-01-01T00:00:00.000Z"}));
        const QString mine
                = QStringLiteral(R"({"content": "Me", "from": {"id": "%1", "name": "me"}})").arg(mSim->me().id());
        QCOMPARE(admin("POST", "/admin/threads/t-new/messages", mine.toUtf8()).status, 200);
        QCOMPARE(get("/threads").first().value("unread").toInt(), 0);
    }

    void faults()
    {
        // What a fault does to a client is tst_quillnetsim's (and to the daemon tst_faults'); here what
        // no client sees: the names the administration call takes (it never fails itself), the status
        // and the size asked for, a delayed answer overtaken by others, and a fault used up.
        const auto inject = [this](const char *kind, int value, const QString &path = QStringLiteral("/me")) {
            const QString fault
                    = QStringLiteral(R"({"path": "%1", "kind": "%2", "value": %3})").arg(path, kind).arg(value);
            return admin("POST", "/admin/faults", fault.toUtf8()).status;
        };
        for (const char *kind : {"malformed_body", "truncated_body", "drop_connection"})
            QCOMPARE(inject(kind, 0, "/nowhere"), 204);
        // Asked first, so that the faulty answers come on a reused connection.
        const Answer normal = get("/me");
        QCOMPARE(inject("http_status", 503), 204);
        QCOMPARE(admin("GET", "/admin/requests").data().size(), 6); // the faults, GET /me, this call
        const Answer refused = get("/me");
        QCOMPARE((QVariantList {refused.status, refused.errorCode()}), (QVariantList {503, "unavailable"}));
        const int size = 6 * 1024 * 1024;
        QCOMPARE(inject("oversized_body", size), 204);
        const Answer oversized = get("/me");
        QCOMPARE((QList<qint64> {oversized.announcedLength, oversized.body.size()}), (QList<qint64> {size, size}));
        QVERIFY(!QJsonDocument::fromJson(oversized.body).isNull());

        QCOMPARE(inject("delay", 1000), 204);
        QNetworkRequest delayed(mSim->baseUrl().resolved(QUrl("/me")));
        delayed.setRawHeader("Authorization", "Bearer " + mSim->accessToken().toUtf8());
        QNetworkReply *pending = mNetwork.get(delayed);
        QSignalSpy finished(pending, &QNetworkReply::finished);
        QTRY_COMPARE(mSim->pendingFaults(), 3);
        QCOMPARE(get("/users/" + mSim->me().id()).status, 200);
        QVERIFY(!pending->isFinished());
        QVERIFY(finished.wait());
        QCOMPARE(pending->readAll(), normal.body);
        QCOMPARE(get("/me").body, normal.body);
        QCOMPARE(mSim->pendingFaults(), 3);
    }

private:
    // "current" stands for the simulator's valid access token; an empty token sends none.
    Answer request(const QByteArray &method, const QString &path, const QByteArray &body = QByteArray(),
                   const QString &token = QStringLiteral("current"))
    {
        QNetworkRequest request(mSim->baseUrl().resolved(QUrl(path)));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        const QString bearer = token == QLatin1String("current") ? mSim->accessToken() : token;
        if (!bearer.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
        if (!body.isEmpty()) {
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              path.startsWith("/oauth/") ? "application/x-www-form-urlencoded" : "application/json");
        }
        QNetworkReply *reply = mNetwork.sendCustomRequest(request, method, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        Answer answer;
        if (!finished.wait(20000))
            return answer;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = reply->readAll();
        answer.announcedLength = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        answer.location = reply->rawHeader("Location");
        reply->deleteLater();
        return answer;
    }

    Answer get(const QString &path) { return request("GET", path); }
    Answer admin(const QByteArray &method, const QString &path, const QByteArray &body = QByteArray())
    {
        return request(method, path, body, QString());
    }

    // The refresh token grant's form for the simulator's refresh token.
    QByteArray refreshGrant() const
    {
        return "grant_type=refresh_token&refresh_token=" + QUrl::toPercentEncoding(mSim->refreshToken())
                + "&client_id=" + Constants::ApplicationId.toUtf8()
                + "&client_secret=" + QUrl::toPercentEncoding(Constants::ApplicationSecret);
    }

    // The access token granted for the form (by default the refresh token grant), or the OAuth error code.
    QString grant(const QByteArray &form = QByteArray())
    {
        const Answer answer = request("POST", "/oauth/token", form.isEmpty() ? refreshGrant() : form, QString());
        return text(answer.json(), answer.status == 200 ? "access_token" : "error");
    }

    QByteArray credentials() const
    {
        return "&username=" + QUrl::toPercentEncoding(mSim->username())
                + "&password=" + QUrl::toPercentEncoding(mSim->password());
    }

    // The sign-in form posted with the simulator's user: the code of the redirect.
    QString code()
    {
        const Answer answer = request("POST", "/oauth/authorize", authorization(Verifier) + credentials(), QString());
        return QUrlQuery(QUrl::fromEncoded(answer.location)).queryItemValue("code");
    }

    QScopedPointer<Simulator> mSim;
    QNetworkAccessManager mNetwork;
};

QTEST_MAIN(TestSimulator)
#include "tst_simulator.moc"
