// The home screen's page server: its routes and their refusals, the pictures it serves, the actions
// behind its buttons and its live updates. The feed and the notification server run in this process
// on the test's bus and are filled through proxies, as the daemon fills them.
#include <QDataStream>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTcpSocket>

#include <algorithm>
#include <memory>
#include <unistd.h>

#include "buscalls.h"
#include "eventfeedinterface.h"
#include "homescreen/eventfeedservice.h"
#include "homescreen/notificationserver.h"
#include "homescreen/pageserver.h"
#include "homescreen/phoneactions.h"
#include "notificationserverproxy.h"

using HomeScreen::PageRequest;
using HomeScreen::PageServer;

namespace {

const QByteArray Png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==");

} // namespace

class TestPageServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void routes();
    void pictures();
    void feedNewestFirstAndNotifications();
    void notificationActions();
    void phoneActions();
    void liveUpdates();
    void floods();

private:
    qlonglong addItem(const QVariantMap &item);
    PageRequest request(const QByteArray &method, const QString &path, const QByteArray &body = QByteArray()) const;
    QByteArray host() const { return "127.0.0.1:" + QByteArray::number(mPage->port()); }
    QByteArray path(const char *route) const { return '/' + mPage->secret().toLatin1() + '/' + route; }
    // A client of the page that has written request, with the page's host added.
    std::unique_ptr<QTcpSocket> send(const QByteArray &request, bool reading = true) const;
    // The page's end of a client's connection, null while there is none.
    QPointer<QTcpSocket> serverSide(const QTcpSocket &client) const;

    QTemporaryDir mDir;
    std::unique_ptr<HomeScreen::EventFeedService> mFeed;
    std::unique_ptr<HomeScreen::NotificationServer> mNotifications;
    std::unique_ptr<HomeScreen::PhoneActions> mActions;
    std::unique_ptr<PageServer> mPage;
    std::unique_ptr<ComTarvoHomeEventFeedInterface> mFeedProxy;
    std::unique_ptr<NotificationServerProxy> mNotifyProxy;
    QLocalServer mAppSocketServer;
};

void TestPageServer::initTestCase()
{
    QVERIFY(mDir.isValid());
    mFeed = std::make_unique<HomeScreen::EventFeedService>();
    mNotifications = std::make_unique<HomeScreen::NotificationServer>();
    QVERIFY(mFeed->registerOnBus());
    QVERIFY(mNotifications->registerOnBus());
    QVERIFY(mAppSocketServer.listen(mDir.filePath(QStringLiteral("app.sock"))));
    mActions = std::make_unique<HomeScreen::PhoneActions>(mDir.filePath(QStringLiteral("app.sock")),
                                                          mDir.filePath(QStringLiteral("q/markReadNtf")));
    mPage = std::make_unique<PageServer>(mFeed.get(), mNotifications.get(), mActions.get());
    QVERIFY(mPage->listen());
    connect(mFeed.get(), &HomeScreen::BusService::changeReported, mPage.get(), &PageServer::reportFeedChange);
    connect(mNotifications.get(), &HomeScreen::BusService::changeReported, mPage.get(),
            &PageServer::reportNotificationChange);
    mFeedProxy = std::make_unique<ComTarvoHomeEventFeedInterface>(
            QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"), QDBusConnection::sessionBus());
    mNotifyProxy = std::make_unique<NotificationServerProxy>(QStringLiteral("org.freedesktop.Notifications"),
                                                             QStringLiteral("/org/freedesktop/Notifications"),
                                                             QDBusConnection::sessionBus());
}

qlonglong TestPageServer::addItem(const QVariantMap &item)
{
    QDBusPendingReply<qlonglong> reply = mFeedProxy->addItem(item);
    return finish(reply) ? reply.value() : -1;
}

PageRequest TestPageServer::request(const QByteArray &method, const QString &path, const QByteArray &body) const
{
    PageRequest in;
    in.method = method;
    in.path = path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + mPage->secret() + QLatin1Char('/') + path;
    in.host = host();
    in.contentType = "application/json";
    in.body = body;
    return in;
}

void TestPageServer::routes()
{
    struct Case
    {
        QByteArray method;
        QString path; // "@" is the page's secret
        QByteArray body;
        int status;
        QByteArray type = "application/json";
        QByteArray host = "own"; // the page's host
        QByteArray origin = {};
        QByteArray contentType = "application/json";
    };
    const QList<Case> cases = {
            {"GET", "@/", {}, 200, "text/html; charset=utf-8"},
            {"GET", "@/page.js", {}, 200, "text/javascript; charset=utf-8"},
            {"GET", "@/state", {}, 200},
            {"GET", "@/summary", {}, 200, "text/plain; charset=utf-8"},
            {"GET", "@/live", {}, 200, "text/event-stream"},
            // Without the secret nothing is there, whatever the route.
            {"GET", "/", {}, 404},
            {"GET", "/state", {}, 404},
            {"GET", "/live", {}, 404},
            {"GET", "/picture", {}, 404},
            {"POST", "/action/view", R"({"view":"messages"})", 404},
            {"GET", "/00000000000000000000000000000000/state", {}, 404},
            {"GET", "@0/state", {}, 404},
            {"GET", "@", {}, 404},
            {"GET", "@/", {}, 421, "application/json", "rebound.example:80"},
            {"GET", "@/state", {}, 421, "application/json", ""},
            {"GET", "@/etc/passwd", {}, 404},
            {"OTHER", "@/", {}, 405},
            {"GET", "@/action/sync", {}, 405},
            {"POST", "@/action/refresh", {}, 415, "application/json", "own", {}, "application/x-www-form-urlencoded"},
            {"POST", "@/action/refresh", {}, 403, "application/json", "own", "http://evil.example"},
            {"POST", "@/action/refresh", "{}", 200, "application/json", "own", "own"},
            {"POST", "@/action/format-disk", {}, 404},
            {"POST", "@/action/tap", "[1]", 400},
            {"POST", "@/action/tap", QByteArray(5000, ' '), 413},
            {"POST", "@/action/tap", R"({"id":"1"})", 400},
            {"POST", "@/action/item", R"({"id":1.5})", 400},
            {"POST", "@/action/tap", R"({"id":1e300})", 400},
            {"POST", "@/action/tap", R"({"id":4000000})", 404},
            {"POST", "@/action/item", R"({"id":4000000})", 404},
            {"POST", "@/action/view", R"({"view":"../../x"})", 409},
            {"POST", "@/action/read", R"({"ids":["a b"]})", 409},
            {"POST", "@/action/read", R"({"ids":"x"})", 409},
    };
    for (const Case &c : cases) {
        PageRequest in = request(c.method,
                                 QString(c.path).replace(QLatin1Char('@'), QLatin1Char('/') + mPage->secret()), c.body);
        in.host = c.host == "own" ? host() : c.host;
        in.origin = c.origin == "own" ? "http://" + host() : c.origin;
        in.contentType = c.contentType;
        const QByteArray name = c.method + ' ' + c.path.toLatin1();
        // A refusal for the secret is warned about, as are those of the phone actions; nothing else.
        if (!c.path.startsWith(QLatin1Char('@')) || c.path == QLatin1String("@0/state") || c.path == QLatin1String("@"))
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("^page: refused .* without the page's secret$")));
        if (c.status == 409)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
        const auto answer = mPage->respond(in);
        QVERIFY2(answer.status == c.status, name + ": " + answer.body);
        QVERIFY2(answer.contentType == c.type, name);
        QCOMPARE(answer.stream, c.path == QLatin1String("@/live"));
        if (c.type == "application/json")
            QVERIFY2(QJsonDocument::fromJson(answer.body).isObject(), name);
    }
}

void TestPageServer::pictures()
{
    const QString png = mDir.filePath(QStringLiteral("photo.png"));
    const QString html = mDir.filePath(QStringLiteral("fake.png"));
    const QString held = mDir.filePath(QStringLiteral("avatar.png"));
    const QString notHeld = mDir.filePath(QStringLiteral("secret.png"));
    for (const auto &[path, bytes] : {std::pair {png, Png}, std::pair {html, QByteArray("<script>x()</script>")},
                                      std::pair {held, Png}, std::pair {notHeld, Png}}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QVERIFY(addItem({{"title", "Pictures"}, {"icon", held}, {"imageList", QStringList {png, html, ""}}}) > 0);

    struct Case
    {
        QString path;
        int status;
        QByteArray type;
    };
    const QString dotted = mDir.path() + QStringLiteral("/x/../photo.png");
    const QList<Case> cases = {
            {png, 200, "image/png"},           {held, 200, "image/png"},
            {html, 404, "application/json"},   {notHeld, 404, "application/json"},
            {dotted, 404, "application/json"}, {QString(), 404, "application/json"},
    };
    for (const Case &c : cases) {
        PageRequest in = request("GET", QStringLiteral("picture"));
        in.query.addQueryItem(QStringLiteral("path"), QString::fromLatin1(QUrl::toPercentEncoding(c.path)));
        const auto answer = mPage->respond(in);
        QVERIFY2(answer.status == c.status, qPrintable(c.path));
        QCOMPARE(answer.contentType, c.type);
        if (c.status == 200)
            QCOMPARE(answer.body, Png);
    }
    QVERIFY(mPage->isServedPicture(png));
    QVERIFY(!mPage->isServedPicture(QStringLiteral("icon-m-quillnet")));
}

void TestPageServer::feedNewestFirstAndNotifications()
{
    const qlonglong older = addItem({{"title", "Older"}, {"timestamp", "2026-01-01 10:00:00"}, {"body", "<b>x</b>"}});
    const qlonglong newer = addItem({{"title", "Newer"}, {"timestamp", "2026-01-02 09:00:00"}, {"icon", "icon-m-x"}});
    QVERIFY(older > 0 && newer > 0);
    const QJsonArray feed = mPage->feedJson();
    QList<qlonglong> order;
    for (const QJsonValue &item : feed)
        order << item[QStringLiteral("id")].toInteger();
    QVERIFY(order.indexOf(newer) < order.indexOf(older));
    const QJsonObject shownNewer = feed.at(order.indexOf(newer)).toObject();
    // A theme icon name is no picture of the page's; the body goes to the page as it came, to be
    // made safe there.
    QCOMPARE(shownNewer[QStringLiteral("icon")].toString(), QString());
    QCOMPARE(feed.at(order.indexOf(older))[QStringLiteral("body")].toString(), QStringLiteral("<b>x</b>"));

    QDBusPendingReply<uint> group = mNotifyProxy->Notify("quillnet-daemon", 0, "", "3 new messages", "Ann: hi",
                                                         {"default", ""}, {{"x-tarvo-count", 3}}, 0);
    QDBusPendingReply<uint> transient
            = mNotifyProxy->Notify("quillnet-daemon", 0, "", "Ann", "hi", {}, {{"transient", true}}, -1);
    QVERIFY(finish(group) && finish(transient));
    QHash<qint64, QJsonObject> shown;
    for (const QJsonValue &n : mPage->notificationsJson())
        shown.insert(n[QStringLiteral("id")].toInteger(), n.toObject());
    const auto flags = [&shown](uint id) {
        const QJsonObject n = shown.value(id);
        return QList<QJsonValue> {n["group"], n["tappable"], n["count"]};
    };
    QCOMPARE(flags(group.value()), (QList<QJsonValue> {true, true, 3}));
    QCOMPARE(flags(transient.value()), (QList<QJsonValue> {false, false, 0}));
    QVERIFY(mPage->summary().contains(QStringLiteral("group \"3 new messages\" count=3")));
}

void TestPageServer::notificationActions()
{
    QDBusPendingReply<uint> tapped
            = mNotifyProxy->Notify("quillnet-daemon", 0, "", "Tap me", "", {"default", ""}, {}, 0);
    QDBusPendingReply<uint> plain = mNotifyProxy->Notify("quillnet-daemon", 0, "", "No action", "", {}, {}, 0);
    QVERIFY(finish(tapped) && finish(plain));
    QSignalSpy invoked(mNotifyProxy.get(), &NotificationServerProxy::ActionInvoked);
    const QByteArray tap = R"({"id":)" + QByteArray::number(tapped.value()) + '}';
    QCOMPARE(mPage->respond(request("POST", "action/tap", tap)).status, 200);
    QVERIFY(invoked.wait(10000));
    QCOMPARE(invoked.first().at(0).toUInt(), tapped.value());
    QVERIFY(!mNotifications->notifications().contains(tapped.value()));

    const QByteArray plainId = R"({"id":)" + QByteArray::number(plain.value()) + '}';
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*no default action.*")));
    QCOMPARE(mPage->respond(request("POST", "action/tap", plainId)).status, 409);
    QCOMPARE(mPage->respond(request("POST", "action/close", plainId)).status, 200);
    QVERIFY(!mNotifications->notifications().contains(plain.value()));

    QSignalSpy refreshes(mFeedProxy.get(), &ComTarvoHomeEventFeedInterface::refreshRequested);
    QCOMPARE(mPage->respond(request("POST", "action/refresh")).status, 200);
    QVERIFY(refreshes.wait(10000));
}

void TestPageServer::phoneActions()
{
    // The app's socket: one command per write, the connection kept while a view is shown.
    QCOMPARE(mPage->respond(request("POST", "action/view", R"({"view":"messages"})")).status, 200);
    QVERIFY(mAppSocketServer.waitForNewConnection(10000));
    QLocalSocket *app = mAppSocketServer.nextPendingConnection();
    QVERIFY(app);
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT(received += app->readAll(), QByteArray("messages"), 10000);
    QCOMPARE(mActions->currentView(), QStringLiteral("messages"));

    QCOMPARE(mPage->respond(request("POST", "action/read", R"({"ids":["notif_1","added_notif_7"]})")).status, 200);
    received.clear();
    QTRY_COMPARE_WITH_TIMEOUT(received += app->readAll(), QByteArray("markReadNtf"), 10000);
    QFile file(mActions->readFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QDataStream in(&file);
    QStringList ids;
    in >> ids;
    QCOMPARE(ids, QStringList({"notif_1", "added_notif_7"}));

    QCOMPARE(mPage->respond(request("POST", "action/view", R"({"view":"home"})")).status, 200);
    QTRY_COMPARE_WITH_TIMEOUT(app->state(), QLocalSocket::UnconnectedState, 10000);

    // A socket whose listener is not the daemon's user gets nothing.
    mActions->setDaemonUid(geteuid() + 1);
    QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^the socket .* belongs to uid \\d+, not to the daemon's user \\d+$")));
    QCOMPARE(mPage->respond(request("POST", "action/view", R"({"view":"messages"})")).status, 409);
    mActions->setDaemonUid(geteuid());
    QVERIFY(mAppSocketServer.waitForNewConnection(10000));
    app = mAppSocketServer.nextPendingConnection();
    QTRY_COMPARE_WITH_TIMEOUT(app->state(), QLocalSocket::UnconnectedState, 10000);
    QCOMPARE(app->readAll(), QByteArray());
    QCOMPARE(mActions->currentView(), QStringLiteral("home"));

    // An item's action is a remote call it describes; one that is not is refused.
    const qlonglong broken = addItem({{"title", "Broken"}, {"action", "not an action"}});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    QCOMPARE(mPage->respond(request("POST", "action/item", R"({"id":)" + QByteArray::number(broken) + '}')).status,
             409);
}

void TestPageServer::liveUpdates()
{
    // The events as a browser's EventSource reads them: "data: <json>" and an empty line.
    const auto page = send("GET " + path("live") + " HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n");
    QByteArray stream;
    const auto events = [&stream] {
        QList<QJsonObject> objects;
        for (const QByteArray &event : stream.split('\n')) {
            if (event.startsWith("data: "))
                objects << QJsonDocument::fromJson(event.mid(6)).object();
        }
        return objects;
    };
    QTRY_COMPARE_WITH_TIMEOUT((stream += page->readAll(), events().size()), 1, 10000);
    QVERIFY(stream.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"));
    for (const char *section : {"feed", "notifications", "contacts", "activity"})
        QVERIFY2(events().first().contains(QLatin1String(section)), section);

    QVERIFY(addItem({{"title", "Pushed"}}) > 0);
    mPage->setContact(QStringLiteral("quillnet:acct:1"), {{"first", "Ada"}, {"status", "Here"}});
    // Only the sections that changed, as they changed.
    QTRY_VERIFY_WITH_TIMEOUT((stream += page->readAll(), events().size() > 1 && events().last().contains("contacts")),
                             10000);
    const QList<QJsonObject> pushed = events().mid(1);
    QVERIFY(std::any_of(pushed.cbegin(), pushed.cend(), [](const QJsonObject &o) { return o.contains("feed"); }));
    QVERIFY(std::none_of(pushed.cbegin(), pushed.cend(),
                         [](const QJsonObject &o) { return o.contains("notifications"); }));
    QCOMPARE(pushed.last()[QStringLiteral("contacts")][0][QStringLiteral("name")].toString(), QStringLiteral("Ada"));

    // A picture as it leaves over HTTP, at the address the feed gives it, carries the page's policy.
    QString picture;
    for (const QJsonValue &item : mPage->feedJson())
        picture = item[QStringLiteral("pictures")][0].toString(picture);
    QVERIFY(!picture.isEmpty());
    QNetworkAccessManager network;
    std::unique_ptr<QNetworkReply> reply(network.get(QNetworkRequest(QUrl(mPage->address()).resolved(QUrl(picture)))));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(reply->readAll(), Png);
    QVERIFY(reply->rawHeader("Content-Security-Policy").contains("script-src 'self'"));
    QCOMPARE(reply->rawHeader("X-Content-Type-Options"), QByteArray("nosniff"));
    QCOMPARE(reply->rawHeader("Cross-Origin-Resource-Policy"), QByteArray("same-origin"));
}

void TestPageServer::floods()
{
    // A body is refused by its length, before it is sent.
    auto client = send("POST " + path("action/refresh") + " HTTP/1.1\r\nContent-Length: 314572800\r\n\r\n");
    QTest::ignoreMessage(QtWarningMsg, "page: a body of 314572800 bytes is refused unread");
    QVERIFY(QSignalSpy(client.get(), &QTcpSocket::disconnected).wait(10000));
    QVERIFY(client->readAll().startsWith("HTTP/1.1 413 "));

    // A request that stops half-way is closed when its time is up.
    mPage->setIdleTimeout(100);
    client = send("GET " + path("state") + " HTTP/1.1\r\nAccept: ");
    QTest::ignoreMessage(QtWarningMsg, "page: a request was not complete after 100 ms; its connection is closed");
    QVERIFY(QSignalSpy(client.get(), &QTcpSocket::disconnected).wait(10000));
    QCOMPARE(client->readAll(), QByteArray());

    // Connections beyond the limit are closed at once, however long the others may stay.
    mPage->setIdleTimeout(3600000);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i <= PageServer::MaxConnections; ++i)
        clients.push_back(send(QByteArray()));
    QTest::ignoreMessage(QtWarningMsg, "page: 32 connections are open; more are refused");
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(clients.cbegin(), clients.cend(),
                                         [](const auto &c) { return c->state() == QAbstractSocket::UnconnectedState; }),
                             10000);
    clients.clear();
    QTRY_VERIFY_WITH_TIMEOUT(mPage->findChildren<QTcpSocket *>().isEmpty(), 10000);
    mPage->setIdleTimeout(PageServer::IdleTimeoutMs);

    // Streams that do not read: the client takes a byte, and the kernel holds little behind it. The
    // contacts grow and each change sends them all, up to 60 contacts (1.2 MB a change): far more than
    // either case needs, and a page without its limits fails the test, not the machine.
    const QString big(20000, QLatin1Char('x'));
    int contact = 0;
    const auto grow = [&] {
        return contact < 60 && (mPage->setContact(QString::number(++contact), {{"status", big}}), true);
    };
    QPointer<QTcpSocket> behind;
    // A non-reading client, and its connection's end in the page, once there.
    const auto stall = [&] {
        if ((behind = serverSide(*client)))
            behind->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
        return behind;
    };

    // One pushed out by newer ones goes at once, with whatever it had not taken.
    client = send("GET " + path("live") + " HTTP/1.1\r\n\r\n", false);
    QTRY_VERIFY_WITH_TIMEOUT(stall(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT((grow(), behind && behind->bytesToWrite() > 0), 30000);
    QTest::ignoreMessage(QtWarningMsg, "page: 16 pages are open already; the oldest is closed");
    for (int i = 0; i < PageServer::MaxStreams; ++i)
        clients.push_back(send("GET " + path("live") + " HTTP/1.1\r\n\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(!behind, 10000);
    clients.clear();
    QTRY_VERIFY_WITH_TIMEOUT(mPage->findChildren<QTcpSocket *>().isEmpty(), 10000);

    // One too far behind is cut.
    mPage->setMaxUnsentBytes(65536);
    client = send("GET " + path("live") + " HTTP/1.1\r\n\r\n", false);
    QTRY_VERIFY_WITH_TIMEOUT(stall(), 10000);
    QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^page: a live-update stream has \\d+ bytes not taken; it is cut$")));
    QTRY_VERIFY_WITH_TIMEOUT((grow(), !behind), 30000);
    mPage->setMaxUnsentBytes(PageServer::MaxUnsentBytes);
}

std::unique_ptr<QTcpSocket> TestPageServer::send(const QByteArray &request, bool reading) const
{
    auto client = std::make_unique<QTcpSocket>();
    // One that does not read takes a byte, and the kernel's buffers fill up behind it.
    if (!reading)
        client->setReadBufferSize(1);
    client->connectToHost(QHostAddress::LocalHost, mPage->port());
    const int line = request.indexOf("\r\n");
    // The page's own host, on the line after the request line.
    client->write(line < 0 ? request : request.left(line + 2) + "Host: " + host() + "\r\n" + request.mid(line + 2));
    return client;
}

QPointer<QTcpSocket> TestPageServer::serverSide(const QTcpSocket &client) const
{
    for (QTcpSocket *socket : mPage->findChildren<QTcpSocket *>()) {
        if (socket->peerPort() == client.localPort())
            return socket;
    }
    return nullptr;
}

QTEST_GUILESS_MAIN(TestPageServer)
#include "tst_pageserver.moc"
