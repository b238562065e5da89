// quillnetctl against the real daemon binary, the simulated service and the home screen's peers:
// status in each state of the daemon, a sync waited for through the status object's changes, why
// items were or were not notified; and login, the sign-in form posted by the test as a browser
// would: a sign-in writes a private account file on which the daemon logs in; a denied sign-in, a
// forged state, a timeout and a taken port leave the existing file as it was.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTest>
#include <QUrlQuery>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "daemon/daemonrun.h"
#include "homescreen/eventfeedservice.h"
#include "homescreen/notificationserver.h"
#include "platform/accounts/accountintegration.h"
#include "quillnet-sim/simulator.h"

namespace {

constexpr int WaitMs = 40000;
// General notifications off, every other kind on.
const QByteArray Settings = QByteArray(Switches::Everything).replace("qn-notif-general=true", "qn-notif-general=false");

struct Reply
{
    int status = 0;
    QByteArray location;
};

Reply fetch(QNetworkAccessManager &network, const QUrl &url, const QByteArray &form = QByteArray())
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    QNetworkReply *reply = form.isEmpty() ? network.get(request) : network.post(request, form);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(30000);
    reply->deleteLater();
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->rawHeader("Location")};
}

} // namespace

class TestCtl : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QuillnetSim::SimConfig config;
        config.posts = 8;
        config.friends = 5;
        mSimulator.reset(new QuillnetSim::Simulator(config));
        QVERIFY(mSimulator->listen(0));
        mDaemon.reset(new DaemonRun);
    }

    void cleanup() { mDaemon->stop(); }

    void statusWithoutDaemonOrLogin()
    {
        QByteArray output;
        QCOMPARE(ctl(QStringLiteral("status"), &output), 3);
        QVERIFY2(output.contains("run quillnetctl login"), output);
        QCOMPARE(statusJson(3).value(QStringLiteral("account")), QStringLiteral("none"));
        QCOMPARE(ctl(QStringLiteral("why friendreq 1")), 3);

        // A credential the service refuses: running, not logged in, and systemd told so.
        QVERIFY(mDaemon->writeAccount(mSimulator->baseUrl(), QStringLiteral("refused"), Settings));
        QCOMPARE(statusJson(3).value(QStringLiteral("account")), QStringLiteral("ready"));
        const QByteArray notifyPath = QFile::encodeName(mDaemon->home() + QStringLiteral("/notify"));
        const int notifySocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        QVERIFY(notifySocket >= 0 && size_t(notifyPath.size()) < sizeof(address.sun_path));
        ::memcpy(address.sun_path, notifyPath.constData(), size_t(notifyPath.size()));
        QVERIFY(::bind(notifySocket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0);
        QByteArray notified;
        QSocketNotifier readable(notifySocket, QSocketNotifier::Read);
        connect(&readable, &QSocketNotifier::activated, this, [&notified, notifySocket] {
            char buffer[4096];
            const ssize_t size = ::recv(notifySocket, buffer, sizeof(buffer), 0);
            notified += QByteArray(buffer, int(std::max<ssize_t>(size, 0))) + '\n';
        });
        qputenv("NOTIFY_SOCKET", notifyPath);
        const bool started = mDaemon->start();
        qunsetenv("NOTIFY_SOCKET");
        QVERIFY(started && mDaemon->waitForNext(DaemonLog::LoginFailed, WaitMs));
        const QJsonObject status = statusJson(1);
        QCOMPARE(status.value(QStringLiteral("loggedIn")), false);
        QVERIFY2(status.value(QStringLiteral("loginError")).toString().contains(QLatin1String("refused the login")),
                 qPrintable(status.value(QStringLiteral("loginError")).toString()));
        QCOMPARE(ctl(QStringLiteral("sync")), 1);
        QTRY_VERIFY2_WITH_TIMEOUT(notified.contains("STATUS=Not logged in as e2e@quillnet.example: the token"),
                                  notified.constData(), WaitMs);
        ::close(notifySocket);
    }

    void statusSyncAndWhy()
    {
        HomeScreen::NotificationServer server;
        QVERIFY(server.registerOnBus());
        QVERIFY(mDaemon->writeAccount(*mSimulator, Settings));
        QVERIFY(mDaemon->start());
        QVERIFY(mDaemon->waitForAll({DaemonLog::PassEnd, DaemonLog::CycleEnd}, 0, WaitMs));

        // After the first wake-up's imports, without an Event Feed: nothing of the feed published.
        QJsonObject status = statusJson(0);
        const QJsonObject importsBefore = status.value(QStringLiteral("imports")).toObject();
        QCOMPARE(importsBefore.value(QStringLiteral("newsFeed"))[QStringLiteral("result")], QStringLiteral("ok"));
        QCOMPARE(importsBefore.value(QStringLiteral("notifications"))[QStringLiteral("result")], QStringLiteral("ok"));
        QCOMPARE(status.value(QStringLiteral("account")), QStringLiteral("e2e@quillnet.example"));
        QCOMPARE(status.value(QStringLiteral("published"))[QStringLiteral("items")], 0);
        QVERIFY(status.value(QStringLiteral("published"))[QStringLiteral("groups")].toInt() > 0);
        const QJsonObject peers = status.value(QStringLiteral("peers")).toObject();
        QCOMPARE(peers.value(QStringLiteral("eventFeed")), false);
        QCOMPARE(peers.value(QStringLiteral("notificationServer")), true);
        QVERIFY(peers.value(QStringLiteral("capabilities")).toArray().contains(QStringLiteral("body")));

        HomeScreen::EventFeedService feed;
        QVERIFY(feed.registerOnBus());
        QTRY_COMPARE_WITH_TIMEOUT(statusJson(0)["peers"][QStringLiteral("eventFeed")], true, WaitMs);
        // The service's application shows its friend requests.
        QLocalSocket app;
        app.connectToServer(QStringLiteral("/tmp/quillnetveldo.sock"));
        QVERIFY(app.waitForConnected(WaitMs));
        app.write("friendreq");
        QVERIFY(app.waitForBytesWritten(WaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(statusJson(0)["peers"][QStringLiteral("appView")], QStringLiteral("friendreq"),
                                  WaitMs);

        const Qn::QnUsers requests = mSimulator->friendRequests();
        QVERIFY(mDaemon->callControl("itemSeen", {requests.first().id(), QStringLiteral("friendreq")}));
        QVERIFY(mSimulator->addFriendRequest(Qn::QnUser(QStringLiteral("991"), QStringLiteral("Asker"))));
        QByteArray output;
        QCOMPARE(ctl(QStringLiteral("sync"), &output), 0);
        QVERIFY2(output.contains("News feed      ok") && output.contains("Notifications  ok"), output);

        status = statusJson(0);
        const QJsonObject imports = status.value(QStringLiteral("imports")).toObject();
        QVERIFY(imports["newsFeed"]["ended"].toString() > importsBefore["newsFeed"]["ended"].toString());
        QVERIFY(imports["notifications"]["ended"].toString() > importsBefore["notifications"]["ended"].toString());
        QCOMPARE(status.value(QStringLiteral("published"))[QStringLiteral("items")], int(mSimulator->posts().size()));

        QCOMPARE(verdict("friendreq", requests.first().id()), QStringLiteral("seen at T: not notified again"));
        QCOMPARE(verdict("friendreq", requests.last().id()), QStringLiteral("notified at T"));
        QCOMPARE(verdict("friendreq", QStringLiteral("991")),
                 QStringLiteral("not notified: suppressed: the app showed its friendreq view at T; recorded as shown"));
        // A thread's key holds its update time.
        const Qn::QnThreads threads = mSimulator->threads();
        const auto unread
                = std::find_if(threads.cbegin(), threads.cend(), [](const auto &t) { return t.unread() > 0; });
        QVERIFY(unread != threads.cend());
        QCOMPARE(verdict("message", unread->id()), QStringLiteral("notified at T"));
        QCOMPARE(verdict("notif", mSimulator->notifications().first().id()),
                 QStringLiteral("not notified: its kind is switched off (qn-notif-general)"));
        QCOMPARE(ctl(QStringLiteral("why bogus 1")), 2);
    }

    void signIn_data()
    {
        QTest::addColumn<QString>("answer"); // what the user (or someone else) does
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("signed in") << "sign in" << 0 << "signed in to";
        QTest::newRow("denied") << "deny" << 1 << "the sign-in was denied";
        QTest::newRow("wrong state") << "forge state" << 1 << "wrong state";
        QTest::newRow("timeout") << "nothing" << 1 << "nobody signed in within 1 s";
        QTest::newRow("port taken") << "port taken" << 1 << "cannot listen on 127.0.0.1 port";
    }

    void signIn()
    {
        QFETCH(QString, answer);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QuillnetSim::Simulator &sim = *mSimulator;
        QNetworkAccessManager network;

        // An account file from before, readable by others, which only a sign-in replaces.
        DaemonRun &daemon = *mDaemon;
        QVERIFY(daemon.writeAccount(QUrl("http://127.0.0.1:1"), "old-token", "qn-news_main=false\n"));
        const QString path = daemon.accountPath();
        QVERIFY(QFile::setPermissions(path,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        const QByteArray before = readFile(path);

        QStringList arguments {"login", "--no-browser", "--service", sim.baseUrl().toString()};
        QTcpServer taken;
        if (answer == "port taken") {
            QVERIFY(taken.listen(QHostAddress::LocalHost));
            arguments << "--port" << QString::number(taken.serverPort());
        }
        if (answer == "nothing")
            arguments << QStringList {"--timeout", "1"};
        QProcess ctl;
        ctl.setProcessEnvironment(daemon.processEnvironment());
        QSignalSpy finished(&ctl, &QProcess::finished);
        ctl.start(CTL_BINARY, arguments);

        if (answer != "port taken" && answer != "nothing") {
            // The browser's part: the page, the form posted back, the redirect followed to the program.
            QTRY_VERIFY_WITH_TIMEOUT(ctl.canReadLine() || ctl.state() == QProcess::NotRunning, 20000);
            const QByteArray line = ctl.readLine().trimmed();
            QVERIFY2(line.startsWith("open "), line.constData());
            const QUrl signIn = QUrl::fromEncoded(line.mid(5));
            QCOMPARE(fetch(network, signIn).status, 200);
            QByteArray form = signIn.query(QUrl::FullyEncoded).toLatin1() + "&username="
                    + QUrl::toPercentEncoding(sim.username()) + "&password=" + QUrl::toPercentEncoding(sim.password());
            if (answer == "deny")
                form += "&deny=1";
            const Reply redirect = fetch(network, sim.baseUrl().resolved(QUrl("/oauth/authorize")), form);
            QCOMPARE(redirect.status, 302);
            QUrl callback = QUrl::fromEncoded(redirect.location);
            if (answer == "forge state") {
                QUrlQuery query(callback);
                query.removeQueryItem("state");
                query.addQueryItem("state", "forged");
                callback.setQuery(query);
            }
            QCOMPARE(fetch(network, callback).status, exitCode == 0 ? 200 : 400);
        }
        QVERIFY(finished.count() > 0 || finished.wait(30000));
        const QString output = QString::fromUtf8(ctl.readAllStandardOutput() + ctl.readAllStandardError());
        QCOMPARE(ctl.exitCode(), exitCode);
        QVERIFY2(output.contains(message), qPrintable(output));
        QVERIFY(!output.contains(sim.refreshToken()) && !output.contains(sim.accessToken()));

        QCOMPARE(modeOf(path), exitCode == 0 ? 0600 : 0644);
        if (exitCode != 0) {
            QCOMPARE(readFile(path), before);
            return;
        }
        const AccountIntegration account(path);
        QVERIFY(account.isValidAccount() && account.isAccountEnabled() && account.isServiceEnabled("IM"));
        QCOMPARE(account.accountName(), sim.username());
        QCOMPARE(account.serviceUrl(), sim.baseUrl());
        QCOMPARE(account.settings({"qn-notif_main", "qn-news_main"}).values(), (QList<bool> {true, true}));
        // The daemon takes it from there.
        QVERIFY(daemon.start());
        QVERIFY2(daemon.waitForNext("Quillnet login ok", 30000), daemon.tail().constData());
    }

private:
    // Runs quillnetctl (words split at blanks) with the daemon's home; the exit status (-1 when it
    // did not end) and its output.
    int ctl(const QString &command, QByteArray *output = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(mDaemon->processEnvironment());
        process.setProcessChannelMode(QProcess::MergedChannels);
        QSignalSpy finished(&process, &QProcess::finished);
        process.start(QStringLiteral(CTL_BINARY), command.split(QLatin1Char(' ')));
        // The event loop runs meanwhile: the simulator and the peers answer the daemon.
        if (!finished.wait(WaitMs + 150000))
            return -1;
        if (output)
            *output = process.readAll();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QJsonObject statusJson(int expectedExit)
    {
        QByteArray output;
        const int exit = ctl(QStringLiteral("status --json"), &output);
        if (exit != expectedExit)
            qWarning() << "status --json ended with" << exit << output;
        return exit == expectedExit ? QJsonDocument::fromJson(output).object() : QJsonObject();
    }
    // The verdict of why, its times written as T.
    QString verdict(const char *kind, const QString &id)
    {
        QByteArray output;
        if (ctl(QStringLiteral("why %1 %2 --json").arg(QLatin1String(kind), id), &output) != 0)
            return QString::fromUtf8(output);
        return QJsonDocument::fromJson(output)["verdict"].toString().replace(
                QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\dT[0-9:.]+Z")), QStringLiteral("T"));
    }

    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<DaemonRun> mDaemon;
};

QTEST_GUILESS_MAIN(TestCtl)
#include "tst_ctl.moc"
