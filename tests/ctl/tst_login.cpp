// quillnetctl login against the simulator, the sign-in form posted by the test as a browser would:
// a sign-in writes a private account file on which the daemon logs in; a denied sign-in, a forged
// state, a timeout and a taken port leave the existing file as it was.
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include "daemon/daemonrun.h"
#include "platform/accounts/accountintegration.h"
#include "quillnet-sim/simulator.h"
#include "testfiles.h"

namespace {

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

class TestLogin : public QObject
{
    Q_OBJECT

private slots:
    void signIn_data();
    void signIn();
};

void TestLogin::signIn_data()
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

void TestLogin::signIn()
{
    QFETCH(QString, answer);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QuillnetSim::Simulator sim;
    QVERIFY(sim.listen());
    QNetworkAccessManager network;

    // An account file from before, readable by others, which only a sign-in replaces.
    DaemonRun daemon;
    QVERIFY(daemon.writeAccount(QUrl("http://127.0.0.1:1"), "old-token", "qn-news_main=false\n"));
    const QString path = daemon.accountPath();
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
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

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
