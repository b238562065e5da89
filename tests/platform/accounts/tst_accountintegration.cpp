// Tests of the account object over a real account file and of the factory that hands it out.

#include "platform/accounts/accountintegration.h"
#include "platform/accounts/qnfactoryveldo.h"

#include "common/constants.h"
#include "platform/quillnet/quillnetconfiguration.h"
#include "platform/quillnet/rawhttpserver.h"
#include "quillnet-sim/simulator.h"
#include "testfiles.h"

#include <QNetworkAccessManager>
#include <QSaveFile>
#include <QtTest>

#include <sys/stat.h>

namespace {

using Args = QList<QVariant>;
using Sim = QuillnetSim::Simulator;
constexpr int NoFault = -1, DenyLogin = -2; // besides the simulator's fault kinds

const QStringList WatchedKeys
        = {"qn-notif_main", "qn-notif-msg", "qn-notif-friendreq", "qn-notif-general", "qn-news_main"};

const QString FullFile = QStringLiteral("[account]\nname=alice@example.org\nenabled=true\n"
                                        "service_url=http://127.0.0.1:8099\nrefresh_token=r-123\naccess_token=a-456\n"
                                        "[services]\nIM=true\nOther=false\n"
                                        "[settings]\nqn-notif_main=true\nqn-notif-msg=true\nqn-notif-friendreq=true\n"
                                        "qn-notif-general=true\nqn-notif-events=true\nqn-news_main=true\n");

QString edited(QString text, std::initializer_list<std::pair<const char *, const char *>> edits)
{
    for (const auto &edit : edits)
        text.replace(QString::fromUtf8(edit.first), QString::fromUtf8(edit.second));
    return text;
}

// An account that logs in with a refresh token only; quoted, so that QSettings keeps commas,
// spaces and percent signs as they are.
QString accountFile(const QString &serviceUrl, const QString &refreshToken)
{
    QString text = QStringLiteral("[account]\nname=alice@example.org\nenabled=true\n");
    if (!serviceUrl.isEmpty())
        text += QStringLiteral("service_url=%1\n").arg(serviceUrl);
    return text + QStringLiteral("refresh_token=\"%1\"\n").arg(refreshToken);
}

// In place (truncate and write, like a shell redirection), or as most editors save: a temporary
// file renamed over the old one.
bool writeFile(const QString &path, const QString &text, bool viaRename = false)
{
    if (viaRename) {
        QSaveFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit();
    }
    return ::writeFile(path, text.toUtf8());
}

// One login with the application's id: answered after login() has returned, exactly once within
// the wait. Returns the answer, or a marker that fails any comparison.
Args loginOnce(AccountIntegration &account, bool forceNew, const QString &secret = Constants::ApplicationSecret)
{
    QSignalSpy responses(&account, &AccountIntegration::loginResponse);
    account.login(Constants::ApplicationId, QString(), secret, forceNew, false);
    if (!responses.isEmpty())
        return {"answered inside login()"};
    if (!responses.wait(10000))
        return {"no answer"};
    return responses.size() == 1 ? responses.first() : Args {"several answers"};
}

// The debug lines written while keepDebugLines is installed; every message goes on to QtTest.
QStringList debugLines;
QtMessageHandler previousHandler = nullptr;
void keepDebugLines(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtDebugMsg)
        debugLines.append(text);
    previousHandler(type, context, text);
}

} // namespace

class TestAccountIntegration : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        mDir.reset(new QTemporaryDir);
        QVERIFY(QDir(mDir->path()).mkdir(QStringLiteral("quillnet")));
    }

    void fileValues_data()
    {
        // null: no file, not even its folder; "fifo": a named pipe; "written": by writeAccountFile()
        QTest::addColumn<QString>("content");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("settingCount"); // of the watched keys, those answered
        QTest::addColumn<QUrl>("serviceUrl");
        auto row = [](const char *tag, const QString &text, bool valid, const char *warning = "",
                      const QString &name = "alice@example.org", bool enabled = true, int settings = 5,
                      const QUrl &url = QUrl("http://127.0.0.1:8099")) {
            QTest::newRow(tag) << text << valid << QString(warning) << name << enabled << settings << url;
        };
        auto unreadable = [](const char *tag, const QString &text, const char *warning) {
            QTest::newRow(tag) << text << false << QString(warning) << QString() << false << 0 << QUrl();
        };
        const QString alice = QStringLiteral("alice@example.org");
        row("full", FullFile, true);
        // Whatever a sign-in stores reads back as it was.
        row("written", "written", true, "", "@\"a\\,b; ë", true, 2);
        // A missing key is no bad value: nothing to warn about.
        row("no name", edited(FullFile, {{"name=alice@example.org\n", ""}}), false, "", QString());
        row("no credential", edited(FullFile, {{"refresh_token=r-123\n", ""}, {"access_token=a-456\n", ""}}), false);
        row("access token only", edited(FullFile, {{"refresh_token=r-123\n", ""}}), true);
        row("enabled not a boolean", edited(FullFile, {{"enabled=true", "enabled=yes"}}), true, "ignoring \"enabled\"",
            alice, false);
        row("enabled as 1", edited(FullFile, {{"enabled=true", "enabled= 1 "}}), true);
        row("setting missing and bad",
            edited(FullFile, {{"qn-notif-msg=true\n", ""}, {"qn-news_main=true", "qn-news_main=maybe"}}), true,
            "ignoring \"qn-news_main\"", alice, true, 3);
        row("garbage lines", "\x01\x02 garbage\n" + FullFile + "no equals sign\n", true);
        row("huge token", QString(FullFile).replace("a-456", QString(20000, 'a')), true, "ignoring \"access_token\"");
        row("name with comma", edited(FullFile, {{"alice@example.org", "alice,bob"}}), false, "ignoring \"name\"", "");
        row("line break in token", edited(FullFile, {{"a-456", "a\\r\\nX-Evil: 1"}, {"refresh_token=r-123\n", ""}}),
            false, "ignoring \"access_token\"");
        row("https service with path", edited(FullFile, {{"http://127.0.0.1:8099", "https://api.example.org/v2/"}}),
            true, "", alice, true, 5, QUrl("https://api.example.org/v2/"));
        for (const char *url : {"file:///etc/passwd", "ftp://example.org/x", "http://", "just words"})
            row(url, edited(FullFile, {{"http://127.0.0.1:8099", url}}), true, "not an http or https address", alice,
                true, 5, QUrl());
        // Read several times below: a later read of an unchanged file must fail the same way.
        unreadable("unclosed group", "[account\nname=bob\naccess_token=t\n", "format error");
        unreadable("too big", FullFile + QString(300 * 1024, '#'), "is too big");
        unreadable("no file", QString(), "");
        // Reading would block for good.
        unreadable("named pipe", "fifo", "not a regular file");
    }

    void fileValues()
    {
        QFETCH(QString, content);
        QFETCH(bool, valid);
        QFETCH(QString, warning);
        QFETCH(QString, name);
        QFETCH(bool, enabled);
        QFETCH(int, settingCount);
        QFETCH(QUrl, serviceUrl);

        const QDir root(mDir->path());
        if (content.isNull()) {
            QVERIFY(root.rmdir(QStringLiteral("quillnet")));
        } else if (content == QLatin1String("written")) {
            QVERIFY(root.rmdir(QStringLiteral("quillnet"))); // made for the user alone
            QString error;
            QVERIFY(AccountIntegration::writeAccountFile(accountPath(),
                                                         {name,
                                                          serviceUrl,
                                                          "r-123",
                                                          {{"IM", true}, {"Other", false}},
                                                          {{"qn-notif_main", true}, {"qn-news_main", false}}},
                                                         &error));
            QCOMPARE(modeOf(accountPath()), 0600);
            QCOMPARE(modeOf(root.filePath("quillnet")), 0700);
        } else if (content == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(accountPath()).constData(), 0600), 0);
        } else {
            QVERIFY(writeFile(accountPath(), content));
        }
        AccountIntegration account(accountPath());
        // The start-up checks are quiet: a daemon without a usable account ends without a word. Every
        // later question reads the file again; what is wrong with it is warned about once.
        QTest::failOnWarning(QRegularExpression(".*"));
        QCOMPARE(account.isValidAccount(), valid);
        QCOMPARE(account.isAccountEnabled(), enabled);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
        QCOMPARE(account.accountName(), name);
        QCOMPARE(account.settings(WatchedKeys).size(), settingCount);
        QCOMPARE(account.serviceUrl(), serviceUrl);
        // Every readable file here has the service IM on; names are exact.
        QCOMPARE(account.isServiceEnabled("IM"), settingCount > 0);
        QVERIFY(!account.isServiceEnabled("im") && !account.isServiceEnabled("Other")
                && !account.isServiceEnabled("Mail"));
        if (content.isNull()) {
            // Watching a missing account creates nothing.
            account.watchSettings(WatchedKeys);
            QVERIFY(root.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        }
    }

    void watch_data()
    {
        QTest::addColumn<bool>("viaRename");
        QTest::newRow("in place") << false;
        QTest::newRow("replaced by rename, then edited in place") << true;
    }

    void watch()
    {
        QFETCH(bool, viaRename);
        QVERIFY(writeFile(
                accountPath(),
                edited(FullFile,
                       {{"qn-notif-general=true\n", ""}, {"IM=true\n", "IM=true\nMail=true\nFeed=false\n"}})));
        AccountIntegration account(accountPath());
        QStringList events;
        connect(&account, &AccountIntegration::settingsChanged, this,
                [&](const QString &key, bool on) { events << key + (on ? "=true" : "=false"); });
        connect(&account, &AccountIntegration::serviceEnabled, this,
                [&](const QString &name) { events << "+" + name; });
        connect(&account, &AccountIntegration::serviceDisabled, this,
                [&](const QString &name) { events << "-" + name; });
        connect(&account, &AccountIntegration::accountDisabled, this, [&]() { events << "disabled"; });
        connect(&account, &AccountIntegration::accountRemoved, this, [&]() { events << "removed"; });
        account.watchSettings(WatchedKeys);
        // After a rename the watch must follow the new file: the old one stays open (a viewer, a backup
        // tool), so it lives on and keeps any watch on it alive.
        QFile old(accountPath());
        QVERIFY(old.open(QIODevice::ReadOnly));

        // Only the watched key that changed: not the unwatched qn-notif-events, not a key that left the
        // file. IM off, Mail gone, Feed on, Photos new and on, Video new and off.
        QVERIFY(writeFile(accountPath(),
                          edited(FullFile,
                                 {{"qn-news_main=true", "qn-news_main=false"},
                                  {"qn-notif_main=true\n", ""},
                                  {"qn-notif-events=true", "qn-notif-events=false"},
                                  {"qn-notif-general=true\n", ""},
                                  {"IM=true\n", "IM=false\nFeed=1\nPhotos=true\nVideo=false\n"}}),
                          viaRename));
        QTRY_COMPARE(events, (QStringList {"qn-news_main=false", "+Feed", "-IM", "-Mail", "+Photos"}));
        events.clear();

        // Compared with what was last reported: a key back with its old value is no change, one that
        // was missing at the start is reported whatever its value.
        const QString second = edited(
                FullFile,
                {{"qn-news_main=true", "qn-news_main=false"}, {"qn-notif-general=true", "qn-notif-general=false"}});
        QVERIFY(writeFile(accountPath(), second));
        QTRY_COMPARE(events, (QStringList {"qn-notif-general=false", "-Feed", "+IM", "-Photos"}));
        events.clear();

        // Moments of a rewrite in place or of a writer failing on a full disk: empty, garbled, without
        // name, credential or enabled key. None changes anything, not even the settings it holds.
        const QStringList moments = {
                QString(),
                QStringLiteral("[account\nenabled=false\n"),
                edited(second, {{"name=alice@example.org\n", ""}, {"qn-notif-msg=true", "qn-notif-msg=false"}}),
                edited(second, {{"refresh_token=r-123\n", ""}, {"access_token=a-456\n", ""}, {"IM=true", "IM=false"}}),
                edited(second, {{"enabled=true\n", ""}, {"qn-notif-msg=true", "qn-notif-msg=false"}}),
        };
        previousHandler = qInstallMessageHandler(keepDebugLines);
        const auto restoreHandler = qScopeGuard([] { qInstallMessageHandler(previousHandler); });
        debugLines.clear();
        for (int i = 0; i < moments.size(); ++i) {
            QVERIFY(writeFile(accountPath(), moments.at(i), viaRename));
            QTRY_VERIFY(debugLines.filter("keeping the previous account state").size() > i);
        }
        QCOMPARE(events, QStringList());
        // Only an explicit enabled=false disables.
        QVERIFY(writeFile(
                accountPath(),
                edited(second, {{"enabled=true", "enabled=false"}, {"qn-notif-msg=true", "qn-notif-msg=false"}})));
        QTRY_COMPARE(events, (QStringList {"qn-notif-msg=false", "disabled"}));
        events.clear();

        QVERIFY(QFile::remove(accountPath()));
        QTRY_COMPARE(events, QStringList {"removed"});
    }

    void exchange_data()
    {
        // "sim": the simulator; "endless": a header line without end; "long token": a token too long for
        // a request header
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("refreshToken"); // "good": the simulator's
        QTest::addColumn<int>("fault"); // a Simulator::FaultKind, NoFault or DenyLogin (canceled)
        QTest::addColumn<int>("faultValue");
        QTest::addColumn<QString>("warning"); // empty: the login succeeds, unless canceled
        auto row = [](const char *tag, int fault, int value, const QString &warning, const QString &service = "sim",
                      const QString &refreshToken = "good") {
            QTest::newRow(tag) << service << refreshToken << fault << value << warning;
        };
        const QString failed = QStringLiteral("token request to .* failed");
        const QString noAddress = QStringLiteral("has a refresh token but no usable service_url");
        row("good exchange", NoFault, 0, QString());
        row("wrong credential", NoFault, 0, "refused the login: HTTP 400 \"invalid_grant\"", "sim", "r-stolen");
        row("canceled by the user", DenyLogin, 0, QString());
        row("server error", Sim::HttpStatus, 503, "refused the login: HTTP 503");
        row("malformed answer", Sim::MalformedBody, 0, "holds no usable access token");
        row("truncated answer", Sim::TruncatedBody, 0, failed);
        row("dropped connection", Sim::DropConnection, 0, failed);
        row("oversized answer", Sim::OversizedBody, 1024 * 1024, "is larger than");
        // Addresses that are not the web's read as none (fileValues).
        row("no service address", NoFault, 0, noAddress, QString());
        // Out of time, and the connection of the abandoned request closed.
        row("endless header", NoFault, 0, failed, "endless");
        row("token too long for a header", NoFault, 0, "holds no usable access token", "long token");
    }

    void exchange()
    {
        QFETCH(QString, service);
        QFETCH(QString, refreshToken);
        QFETCH(int, fault);
        QFETCH(int, faultValue);
        QFETCH(QString, warning);
        const bool canceled = fault == DenyLogin;

        Sim simulator;
        QVERIFY(simulator.listen());
        // Characters that mean something in a form body must arrive as they were written.
        simulator.setRefreshToken("r+t&x=1 %");
        if (refreshToken == QLatin1String("good"))
            refreshToken = simulator.refreshToken();
        const bool toSimulator = service == QLatin1String("sim");
        if (toSimulator)
            service = simulator.baseUrl().toString() + "/";
        RawHttpServer raw;
        if (service == QLatin1String("endless") || service == QLatin1String("long token")) {
            QVERIFY(raw.listen());
            if (service == QLatin1String("endless")) {
                raw.enqueueEndless("HTTP/1.1 200 OK\r\nX-Endless: ");
                QTest::ignoreMessage(QtWarningMsg,
                                     QRegularExpression("still sending after their request was abandoned"));
            } else {
                raw.enqueueJson("{\"access_token\": \"" + QByteArray(8001, 't') + "\"}");
            }
            service = raw.baseUrl().toString();
        }
        if (fault == DenyLogin)
            simulator.denyLogins(1);
        else if (fault >= 0) // a dropped connection may be retried once by the network stack on its own
            simulator.injectFault("/oauth/token", Sim::FaultKind(fault), faultValue, 2);

        QVERIFY(writeFile(accountPath(), accountFile(service, refreshToken)));
        AccountIntegration account(accountPath());
        account.setTokenRequestTimeout(300);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        const Args answer = loginOnce(account, false);
        const bool ok = warning.isEmpty() && !canceled;
        QCOMPARE(answer, (Args {ok ? simulator.accessToken() : QString(), ok}));
        QCOMPARE(account.wasLoginCanceled(), canceled);
        // Every failure says why, for the daemon's status.
        QCOMPARE(account.lastLoginError().isEmpty(), ok);
        // Only an address of the simulator (given with a trailing slash) brings a token request.
        QCOMPARE(simulator.requestCount("/oauth/token") > 0, toSimulator);
        // An abandoned request does not keep reading an endless answer.
        if (!raw.requests().isEmpty())
            QTRY_COMPARE(raw.abandoned(), int(fault == NoFault && warning.contains("failed")));
    }

    void loginSequence()
    {
        Sim simulator;
        QVERIFY(simulator.listen());
        const QString withRefresh = accountFile(simulator.baseUrl().toString(), simulator.refreshToken());
        QVERIFY(writeFile(accountPath(), withRefresh + "access_token=a-stored\n"));
        AccountIntegration account(accountPath());
        // The daemon's one manager for the client and the account.
        QNetworkAccessManager shared;
        QSignalSpy sharedReplies(&shared, &QNetworkAccessManager::finished);
        account.setNetworkAccessManager(&shared);

        // A ready token first, without asking the service; forced: a fresh token from the endpoint,
        // every time.
        QCOMPARE(loginOnce(account, false), (Args {"a-stored", true}));
        QCOMPARE(simulator.requestCount("/oauth/token"), 0);
        Args answer = loginOnce(account, true);
        const QString first = simulator.accessToken();
        QCOMPARE(answer, (Args {first, true}));
        answer = loginOnce(account, true);
        QCOMPARE(answer, (Args {simulator.accessToken(), true}));
        QVERIFY(simulator.accessToken() != first);

        // The forced login said "a-stored" was refused, so even an ordinary login now asks the endpoint ...
        answer = loginOnce(account, false);
        QCOMPARE(answer, (Args {simulator.accessToken(), true}));
        QCOMPARE(simulator.requestCount("/oauth/token"), 3);
        QCOMPARE(sharedReplies.count(), 3);
        // ... and without a refresh token neither kind offers it again while the file still holds it ...
        const QString storedOnly = edited(FullFile, {{"refresh_token=r-123\n", ""}, {"a-456", "a-stored"}});
        QVERIFY(writeFile(accountPath(), storedOnly));
        for (bool forceNew : {false, true}) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no usable credential"));
            QCOMPARE(loginOnce(account, forceNew), (Args {QString(), false}));
        }
        // ... but a token written since then is fine (of another length: QSettings rereads a file only
        // when its size or time changed, and this write may fall within the same clock tick).
        QVERIFY(writeFile(accountPath(), edited(storedOnly, {{"a-stored", "a-written-later"}})));
        QCOMPARE(loginOnce(account, true), (Args {"a-written-later", true}));
        // The file takes longer values than a request header: only tokens the client can send go out.
        const QString fits(Qn::QuillnetConfiguration::MaxAccessTokenLength, 'f');
        QVERIFY(writeFile(accountPath(), QString(storedOnly).replace("a-stored", fits)));
        QCOMPARE(loginOnce(account, true), (Args {fits, true}));
        QVERIFY(writeFile(accountPath(), QString(storedOnly).replace("a-stored", fits + "f")));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("access token of 8001 characters is not usable in a request header"));
        QCOMPARE(loginOnce(account, true), (Args {QString(), false}));

        // A wrong application secret is the client's fault, not the user's.
        QVERIFY(writeFile(accountPath(), withRefresh));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("HTTP 401 \"invalid_client\""));
        QCOMPARE(loginOnce(account, true, "not-the-secret"), (Args {QString(), false}));
        QVERIFY(!account.wasLoginCanceled());

        // Two requests out at once: whichever reaches the service first is refused for the user, the
        // other gets a token; each answer carries its own canceled state.
        simulator.denyLogins(1);
        simulator.clearRequests();
        QList<Args> answers; // each with the canceled state at its time
        connect(&account, &AccountIntegration::loginResponse, this, [&](const QString &token, bool ok) {
            answers.append({token, ok, account.wasLoginCanceled()});
        });
        account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, false, true);
        account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, true, false);
        QVERIFY(answers.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 2, 10000);
        QCOMPARE(simulator.requestCount("/oauth/token"), 2);
        const int refused = answers.at(0).at(1).toBool() ? 1 : 0;
        QCOMPARE(answers.at(refused), (Args {QString(), false, true}));
        QCOMPARE(answers.at(1 - refused), (Args {simulator.accessToken(), true, false}));

        // An account deleted while its request is out answers nothing and leaves nothing behind.
        simulator.injectFault("/oauth/token", Sim::Delay, 200);
        auto *doomed = new AccountIntegration(accountPath());
        QSignalSpy doomedResponses(doomed, &AccountIntegration::loginResponse);
        doomed->login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, true, false);
        QTRY_COMPARE_WITH_TIMEOUT(simulator.requestCount("/oauth/token"), 3, 10000);
        delete doomed;
        QCOMPARE(doomedResponses.size(), 0);
    }

    void factoryAndDefaultFile()
    {
        QnVeldo::QnFactoryVeldo *factory = QnVeldo::QnFactoryVeldo::getInstance();
        QCOMPARE(QnVeldo::QnFactoryVeldo::getInstance(), factory);
        auto *installed = new AccountIntegration(accountPath());
        factory->setAccount(installed);
        QCOMPARE(factory->account(), installed);

        // Its owner deletes it: the next caller gets a fresh object reading the default file, which lies
        // below XDG_CONFIG_HOME, or below HOME when that is unset or relative.
        delete installed;
        const QByteArray oldHome = qgetenv("HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", oldHome);
            qunsetenv("XDG_CONFIG_HOME");
        });
        qputenv("XDG_CONFIG_HOME", mDir->path().toUtf8());
        QScopedPointer<AccountIntegration> fresh(factory->account());
        QCOMPARE(factory->account(), fresh.data());
        QStringList paths {fresh->filePath()};
        qputenv("HOME", "/home/tester");
        qunsetenv("XDG_CONFIG_HOME");
        paths.append(AccountIntegration::defaultFilePath());
        qputenv("XDG_CONFIG_HOME", "conf");
        paths.append(AccountIntegration::defaultFilePath());
        const QString fallback = QStringLiteral("/home/tester/.config/quillnet/account.conf");
        QCOMPARE(paths, (QStringList {accountPath(), fallback, fallback}));
    }

private:
    QString accountPath() const { return mDir->filePath(QStringLiteral("quillnet/account.conf")); }

    QScopedPointer<QTemporaryDir> mDir;
};

QTEST_GUILESS_MAIN(TestAccountIntegration)
#include "tst_accountintegration.moc"
