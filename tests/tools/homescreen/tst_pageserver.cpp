// The home screen's page server: its routes and their refusals, the pictures it serves, the actions
// behind its buttons and its live updates. The feed and the notification server run in this process
// on the test's bus and are filled through proxies, as the daemon fills them.
#include <QDataStream>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTcpSocket>

#include <algorithm>
#include <memory>

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
    void cleanupTestCase();

    void routes_data();
    void routes();
    void pictures();
    void feedNewestFirstAndNotifications();
    void notificationActions();
    void phoneActions();
    void liveUpdates();

private:
    qlonglong addItem(const QVariantMap &item);
    PageRequest request(const QByteArray &method, const QString &path, const QByteArray &body = QByteArray()) const;
    QByteArray host() const { return "127.0.0.1:" + QByteArray::number(mPage->port()); }

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

void TestPageServer::cleanupTestCase()
{
    mPage.reset();
    mNotifications.reset();
    mFeed.reset();
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
    in.path = path;
    in.host = host();
    in.contentType = "application/json";
    in.body = body;
    return in;
}

void TestPageServer::routes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("type");

    const QByteArray json = "application/json";
    const QByteArray own = "own"; // replaced by the page's host
    QTest::newRow("page") << QByteArray("GET") << "/" << own << QByteArray() << QByteArray() << QByteArray() << 200
                          << QByteArray("text/html; charset=utf-8");
    QTest::newRow("script") << QByteArray("GET") << "/page.js" << own << QByteArray() << QByteArray() << QByteArray()
                            << 200 << QByteArray("text/javascript; charset=utf-8");
    QTest::newRow("state") << QByteArray("GET") << "/state" << own << QByteArray() << QByteArray() << QByteArray()
                           << 200 << json;
    QTest::newRow("summary") << QByteArray("GET") << "/summary" << own << QByteArray() << QByteArray() << QByteArray()
                             << 200 << QByteArray("text/plain; charset=utf-8");
    QTest::newRow("another host name") << QByteArray("GET") << "/" << QByteArray("rebound.example:80") << QByteArray()
                                       << QByteArray() << QByteArray() << 421 << json;
    QTest::newRow("no host") << QByteArray("GET") << "/state" << QByteArray() << QByteArray() << QByteArray()
                             << QByteArray() << 421 << json;
    QTest::newRow("unknown path") << QByteArray("GET") << "/etc/passwd" << own << QByteArray() << QByteArray()
                                  << QByteArray() << 404 << json;
    QTest::newRow("other method") << QByteArray("OTHER") << "/" << own << QByteArray() << QByteArray() << QByteArray()
                                  << 405 << json;
    QTest::newRow("action by GET") << QByteArray("GET") << "/action/sync" << own << QByteArray() << QByteArray()
                                   << QByteArray() << 405 << json;
    QTest::newRow("action as a form") << QByteArray("POST") << "/action/refresh" << own << QByteArray()
                                      << QByteArray("application/x-www-form-urlencoded") << QByteArray() << 415 << json;
    QTest::newRow("action from another site")
            << QByteArray("POST") << "/action/refresh" << own << QByteArray("http://evil.example") << json
            << QByteArray() << 403 << json;
    QTest::newRow("action from the page") << QByteArray("POST") << "/action/refresh" << own << QByteArray("own") << json
                                          << QByteArray("{}") << 200 << json;
    QTest::newRow("unknown action") << QByteArray("POST") << "/action/format-disk" << own << QByteArray() << json
                                    << QByteArray() << 404 << json;
    QTest::newRow("body not an object") << QByteArray("POST") << "/action/tap" << own << QByteArray() << json
                                        << QByteArray("[1]") << 400 << json;
    QTest::newRow("body too large") << QByteArray("POST") << "/action/tap" << own << QByteArray() << json
                                    << QByteArray(5000, ' ') << 413 << json;
    QTest::newRow("id as text") << QByteArray("POST") << "/action/tap" << own << QByteArray() << json
                                << QByteArray(R"({"id":"1"})") << 400 << json;
    QTest::newRow("id not whole") << QByteArray("POST") << "/action/item" << own << QByteArray() << json
                                  << QByteArray(R"({"id":1.5})") << 400 << json;
    QTest::newRow("id too large") << QByteArray("POST") << "/action/tap" << own << QByteArray() << json
                                  << QByteArray(R"({"id":1e300})") << 400 << json;
    QTest::newRow("no such notification") << QByteArray("POST") << "/action/tap" << own << QByteArray() << json
                                          << QByteArray(R"({"id":4000000})") << 404 << json;
    QTest::newRow("no such item") << QByteArray("POST") << "/action/item" << own << QByteArray() << json
                                  << QByteArray(R"({"id":4000000})") << 404 << json;
    QTest::newRow("unknown view") << QByteArray("POST") << "/action/view" << own << QByteArray() << json
                                  << QByteArray(R"({"view":"../../x"})") << 409 << json;
    QTest::newRow("read id with a blank") << QByteArray("POST") << "/action/read" << own << QByteArray() << json
                                          << QByteArray(R"({"ids":["a b"]})") << 409 << json;
    QTest::newRow("read no ids") << QByteArray("POST") << "/action/read" << own << QByteArray() << json
                                 << QByteArray(R"({"ids":"x"})") << 409 << json;
}

void TestPageServer::routes()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QByteArray, type);
    PageRequest in = request(method, path, body);
    in.host = host == "own" ? this->host() : host;
    in.origin = origin == "own" ? "http://" + this->host() : origin;
    in.contentType = contentType;
    // Refusals of the phone actions are warned about; whatever else the server logs must not appear.
    if (status == 409)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    const auto answer = mPage->respond(in);
    QVERIFY2(answer.status == status, answer.body.constData());
    QCOMPARE(answer.contentType, type);
    if (type == "application/json")
        QVERIFY(QJsonDocument::fromJson(answer.body).isObject());
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
        PageRequest in = request("GET", QStringLiteral("/picture"));
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
    bool sawGroup = false;
    bool sawTransient = false;
    for (const QJsonValue &n : mPage->notificationsJson()) {
        if (n[QStringLiteral("id")].toInteger() == group.value()) {
            sawGroup = n[QStringLiteral("group")].toBool() && n[QStringLiteral("count")].toInt() == 3
                    && n[QStringLiteral("tappable")].toBool();
        } else if (n[QStringLiteral("id")].toInteger() == transient.value()) {
            sawTransient = !n[QStringLiteral("group")].toBool() && !n[QStringLiteral("tappable")].toBool();
        }
    }
    QVERIFY(sawGroup);
    QVERIFY(sawTransient);
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
    QCOMPARE(mPage->respond(request("POST", "/action/tap", tap)).status, 200);
    QVERIFY(invoked.wait(10000));
    QCOMPARE(invoked.first().at(0).toUInt(), tapped.value());
    QVERIFY(!mNotifications->notifications().contains(tapped.value()));

    const QByteArray plainId = R"({"id":)" + QByteArray::number(plain.value()) + '}';
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*no default action.*")));
    QCOMPARE(mPage->respond(request("POST", "/action/tap", plainId)).status, 409);
    QCOMPARE(mPage->respond(request("POST", "/action/close", plainId)).status, 200);
    QVERIFY(!mNotifications->notifications().contains(plain.value()));

    QSignalSpy refreshes(mFeedProxy.get(), &ComTarvoHomeEventFeedInterface::refreshRequested);
    QCOMPARE(mPage->respond(request("POST", "/action/refresh")).status, 200);
    QVERIFY(refreshes.wait(10000));
}

void TestPageServer::phoneActions()
{
    // The app's socket: one command per write, the connection kept while a view is shown.
    QCOMPARE(mPage->respond(request("POST", "/action/view", R"({"view":"messages"})")).status, 200);
    QVERIFY(mAppSocketServer.waitForNewConnection(10000));
    QLocalSocket *app = mAppSocketServer.nextPendingConnection();
    QVERIFY(app);
    QByteArray received;
    QTRY_COMPARE_WITH_TIMEOUT(received += app->readAll(), QByteArray("messages"), 10000);
    QCOMPARE(mActions->currentView(), QStringLiteral("messages"));

    QCOMPARE(mPage->respond(request("POST", "/action/read", R"({"ids":["notif_1","added_notif_7"]})")).status, 200);
    received.clear();
    QTRY_COMPARE_WITH_TIMEOUT(received += app->readAll(), QByteArray("markReadNtf"), 10000);
    QFile file(mActions->readFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QDataStream in(&file);
    QStringList ids;
    in >> ids;
    QCOMPARE(ids, QStringList({"notif_1", "added_notif_7"}));

    QCOMPARE(mPage->respond(request("POST", "/action/view", R"({"view":"home"})")).status, 200);
    QTRY_COMPARE_WITH_TIMEOUT(app->state(), QLocalSocket::UnconnectedState, 10000);

    // An item's action is a remote call it describes; one that is not is refused.
    const qlonglong broken = addItem({{"title", "Broken"}, {"action", "not an action"}});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
    QCOMPARE(mPage->respond(request("POST", "/action/item", R"({"id":)" + QByteArray::number(broken) + '}')).status,
             409);
}

void TestPageServer::liveUpdates()
{
    // The events as a browser's EventSource reads them: "data: <json>" and an empty line.
    QTcpSocket page;
    page.connectToHost(QHostAddress::LocalHost, mPage->port());
    QVERIFY(page.waitForConnected(10000));
    page.write("GET /live HTTP/1.1\r\nHost: " + host() + "\r\nAccept: text/event-stream\r\n\r\n");
    QByteArray stream;
    const auto events = [&stream] {
        QList<QJsonObject> objects;
        for (const QByteArray &event : stream.split('\n')) {
            if (event.startsWith("data: "))
                objects << QJsonDocument::fromJson(event.mid(6)).object();
        }
        return objects;
    };
    QTRY_COMPARE_WITH_TIMEOUT((stream += page.readAll(), events().size()), 1, 10000);
    QVERIFY(stream.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"));
    for (const char *section : {"feed", "notifications", "contacts", "activity"})
        QVERIFY2(events().first().contains(QLatin1String(section)), section);

    QVERIFY(addItem({{"title", "Pushed"}}) > 0);
    mPage->setContact(QStringLiteral("quillnet:acct:1"), {{"first", "Ada"}, {"status", "Here"}});
    // Only the sections that changed, as they changed.
    QTRY_VERIFY_WITH_TIMEOUT((stream += page.readAll(), events().size() > 1 && events().last().contains("contacts")),
                             10000);
    const QList<QJsonObject> pushed = events().mid(1);
    QVERIFY(std::any_of(pushed.cbegin(), pushed.cend(), [](const QJsonObject &o) { return o.contains("feed"); }));
    QVERIFY(std::none_of(pushed.cbegin(), pushed.cend(),
                         [](const QJsonObject &o) { return o.contains("notifications"); }));
    QCOMPARE(pushed.last()[QStringLiteral("contacts")][0][QStringLiteral("name")].toString(), QStringLiteral("Ada"));

    // The answer as it leaves over HTTP carries the page's policy.
    QNetworkAccessManager network;
    std::unique_ptr<QNetworkReply> reply(
            network.get(QNetworkRequest(QUrl(QStringLiteral("http://%1/state").arg(QString::fromLatin1(host()))))));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QVERIFY(reply->rawHeader("Content-Security-Policy").contains("script-src 'self'"));
    QCOMPARE(reply->rawHeader("X-Content-Type-Options"), QByteArray("nosniff"));
}

QTEST_GUILESS_MAIN(TestPageServer)
#include "tst_pageserver.moc"
