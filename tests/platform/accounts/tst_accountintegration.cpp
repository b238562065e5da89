// Tests of the account object over a real account file and of the factory that hands it out.

#include "platform/accounts/accountintegration.h"
#include "platform/accounts/qnfactoryveldo.h"

#include "common/constants.h"
#include "quillnet-sim/simulator.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

using Args = QList<QVariant>;

const QStringList WatchedKeys = {"qn-notif_main", "qn-notif-msg", "qn-notif-friendreq", "qn-notif-general",
                                 "qn-news_main"};

const QString FullFile = QStringLiteral("[account]\nname=alice@example.org\nenabled=true\n"
                                        "service_url=http://127.0.0.1:8099\nrefresh_token=r-123\naccess_token=a-456\n"
                                        "[services]\nIM=true\n"
                                        "[settings]\nqn-notif_main=true\nqn-notif-msg=true\nqn-notif-friendreq=true\n"
                                        "qn-notif-general=true\nqn-notif-events=true\nqn-news_main=true\n");

// An account that logs in with a refresh token only.
QString accountFile(const QString& serviceUrl, const QString& refreshToken)
{
    QString text = QStringLiteral("[account]\nname=alice@example.org\nenabled=true\n");
    if (!serviceUrl.isNull())
        text += QStringLiteral("service_url=%1\n").arg(serviceUrl);
    // Quoted, so that QSettings keeps commas, spaces and percent signs as they are.
    QString quoted = refreshToken;
    quoted.replace(QLatin1String("\\"), QLatin1String("\\\\")).replace(QLatin1String("\""), QLatin1String("\\\""));
    return text + QStringLiteral("refresh_token=\"%1\"\n").arg(quoted);
}

QString replaced(QString text, const QString& before, const QString& after)
{
    return text.replace(before, after);
}

// In place (truncate and write, like a shell redirection), or as most editors save: a temporary
// file renamed over the old one.
bool writeFile(const QString& path, const QString& text, bool viaRename = false)
{
    if (viaRename) {
        QSaveFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit();
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text.toUtf8()) >= 0;
}

void restoreEnv(const char* name, const QByteArray& value)
{
    if (value.isNull())
        qunsetenv(name);
    else
        qputenv(name, value);
}

// Keeps the warnings written from the event loop and passes every message on to QtTest.
class WarningLog
{
public:
    WarningLog() { sPrevious = qInstallMessageHandler(&WarningLog::handle); }
    ~WarningLog() { qInstallMessageHandler(sPrevious); }
    static inline QStringList sLines;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (type == QtWarningMsg)
            sLines.append(text);
        sPrevious(type, context, text);
    }
    static inline QtMessageHandler sPrevious = nullptr;
};

} // namespace

class TestAccountIntegration : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void defaultFilePath_data();
    void defaultFilePath();
    void startUpValues();
    void missingValues_data();
    void missingValues();
    void missingFileWritesNothing();
    void badFiles_data();
    void badFiles();
    void pipeIsNotRead();

    void settingsChanged_data();
    void settingsChanged();
    void serviceSignals();
    void accountDisabledAndRemoved();
    void editsAfterReplaceAreSeen();
    void brokenFileKeepsState();

    void login();
    void serviceUrl_data();
    void serviceUrl();
    void exchange_data();
    void exchange();
    void exchangeSendsCredentials();
    void exchangeFailsWithoutService_data();
    void exchangeFailsWithoutService();
    void forceNewAsksTheService();
    void oneAnswerPerLogin();
    void factory();

private:
    QString accountPath() const { return mDir->filePath(QStringLiteral("quillnet/account.conf")); }

    QScopedPointer<QTemporaryDir> mDir;
};

void TestAccountIntegration::init()
{
    mDir.reset(new QTemporaryDir);
    QVERIFY(QDir(mDir->path()).mkdir(QStringLiteral("quillnet")));
}

void TestAccountIntegration::defaultFilePath_data()
{
    QTest::addColumn<QByteArray>("configHome");
    QTest::addColumn<QString>("expected");
    QTest::newRow("set") << QByteArray("/x/conf") << "/x/conf/quillnet/account.conf";
    QTest::newRow("unset") << QByteArray() << "/home/tester/.config/quillnet/account.conf";
    QTest::newRow("relative is ignored") << QByteArray("conf") << "/home/tester/.config/quillnet/account.conf";
}

void TestAccountIntegration::defaultFilePath()
{
    QFETCH(QByteArray, configHome);
    QFETCH(QString, expected);
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", "/home/tester");
    if (configHome.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", configHome);
    const QString path = AccountIntegration::defaultFilePath();
    restoreEnv("HOME", oldHome);
    restoreEnv("XDG_CONFIG_HOME", oldConfig);
    QCOMPARE(path, expected);
}

void TestAccountIntegration::startUpValues()
{
    QVERIFY(writeFile(accountPath(), replaced(FullFile, "IM=true\n", "IM=true\nOther=false\n")));
    AccountIntegration account(accountPath());
    QVERIFY(account.isValidAccount());
    QVERIFY(account.isAccountEnabled());
    QCOMPARE(account.accountName(), QStringLiteral("alice@example.org"));
    QVERIFY(account.isServiceEnabled("IM"));
    QVERIFY(!account.isServiceEnabled("im"));
    QVERIFY(!account.isServiceEnabled("Other"));
    QVERIFY(!account.isServiceEnabled("Mail"));
    const QMap<QString, bool> settings = account.settings(WatchedKeys);
    QCOMPARE(settings.size(), WatchedKeys.size());
    QVERIFY(!settings.values().contains(false));
    QCOMPARE(account.settings({"qn-notif-events"}).keys(), QStringList{"qn-notif-events"});
}

void TestAccountIntegration::missingValues_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("settingCount"); // of the watched keys, those answered

    QTest::newRow("no name") << replaced(FullFile, "name=alice@example.org\n", "") << false << true
                             << "has no account name" << 5;
    QTest::newRow("no credential")
        << replaced(replaced(FullFile, "refresh_token=r-123\n", ""), "access_token=a-456\n", "") << false << true
        << "has no credential" << 5;
    QTest::newRow("access token only") << replaced(FullFile, "refresh_token=r-123\n", "") << true << true
                                       << QString() << 5;
    QTest::newRow("enabled missing") << replaced(FullFile, "enabled=true\n", "") << true << false << QString() << 5;
    QTest::newRow("enabled not a boolean") << replaced(FullFile, "enabled=true", "enabled=yes") << true << false
                                           << "ignoring \"enabled\"" << 5;
    QTest::newRow("enabled as 1") << replaced(FullFile, "enabled=true", "enabled= 1 ") << true << true << QString()
                                  << 5;
    QTest::newRow("setting missing and bad")
        << replaced(replaced(FullFile, "qn-notif-msg=true\n", ""), "qn-news_main=true", "qn-news_main=maybe") << true
        << true << "ignoring \"qn-news_main\"" << 3;
}

void TestAccountIntegration::missingValues()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(bool, enabled);
    QFETCH(QString, warning);
    QFETCH(int, settingCount);

    QVERIFY(writeFile(accountPath(), text));
    AccountIntegration account(accountPath());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    QCOMPARE(account.isValidAccount(), valid);
    QCOMPARE(account.isAccountEnabled(), enabled);
    QCOMPARE(account.settings(WatchedKeys).size(), settingCount);
}

void TestAccountIntegration::missingFileWritesNothing()
{
    const QDir root(mDir->path());
    QVERIFY(root.rmdir(QStringLiteral("quillnet")));
    AccountIntegration account(accountPath());
    QTest::failOnWarning(QRegularExpression(".*"));
    account.watchSettings(WatchedKeys);
    QVERIFY(!account.isValidAccount());
    QVERIFY(!account.isAccountEnabled());
    QVERIFY(account.settings(WatchedKeys).isEmpty());
    QVERIFY(root.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

void TestAccountIntegration::badFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("warning");

    const QByteArray full = FullFile.toUtf8();
    // Asked twice: the second read of an unchanged file must fail the same way.
    QTest::newRow("unclosed group") << QByteArray("[account\nname=bob\naccess_token=t\n") << false << QString()
                                    << "format error";
    QTest::newRow("garbage lines") << QByteArray("\x01\x02 garbage\n") + full + "no equals sign\n" << true
                                   << "alice@example.org" << QString();
    QTest::newRow("too big") << full + QByteArray(300 * 1024, '#') << false << QString() << "is too big";
    QTest::newRow("huge token") << replaced(FullFile, "a-456", QString(20000, 'a')).toUtf8() << true
                                << "alice@example.org" << "ignoring \"access_token\"";
    QTest::newRow("name with comma") << replaced(FullFile, "alice@example.org", "alice,bob").toUtf8() << false
                                     << QString() << "ignoring \"name\"";
    QTest::newRow("line break in token")
        << replaced(replaced(FullFile, "a-456", "a\\r\\nX-Evil: 1"), "refresh_token=r-123\n", "").toUtf8() << false
        << "alice@example.org" << "ignoring \"access_token\"";
}

void TestAccountIntegration::badFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, valid);
    QFETCH(QString, name);
    QFETCH(QString, warning);

    QFile file(accountPath());
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    AccountIntegration account(accountPath());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    QCOMPARE(account.isValidAccount(), valid);
    QCOMPARE(account.accountName(), name);
}

void TestAccountIntegration::pipeIsNotRead()
{
    // Reading would block for good.
    QCOMPARE(::mkfifo(QFile::encodeName(accountPath()).constData(), 0600), 0);
    AccountIntegration account(accountPath());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not a regular file"));
    QVERIFY(!account.isValidAccount());
}

void TestAccountIntegration::settingsChanged_data()
{
    QTest::addColumn<bool>("viaRename");
    QTest::newRow("in place") << false;
    QTest::newRow("replaced by rename") << true;
}

void TestAccountIntegration::settingsChanged()
{
    QFETCH(bool, viaRename);
    QVERIFY(writeFile(accountPath(), replaced(FullFile, "qn-notif-general=true\n", "")));
    AccountIntegration account(accountPath());
    QSignalSpy changed(&account, &AccountIntegration::settingsChanged);
    QSignalSpy services(&account, &AccountIntegration::serviceDisabled);
    account.watchSettings(WatchedKeys);

    // Only the watched key that changed; a key that left the file is not reported.
    QString text = replaced(FullFile, "qn-news_main=true", "qn-news_main=false");
    text = replaced(text, "qn-notif-events=true", "qn-notif-events=false");
    text = replaced(replaced(text, "qn-notif-general=true\n", ""), "qn-notif_main=true\n", "");
    QVERIFY(writeFile(accountPath(), text, viaRename));
    QVERIFY(changed.wait());
    QCOMPARE(changed, (QList<Args>{{"qn-news_main", false}}));

    // Compared with what was last reported: a key back with its old value is no change, one that
    // was missing at the start is reported whatever its value.
    text = replaced(replaced(FullFile, "qn-news_main=true", "qn-news_main=false"), "qn-notif-general=true",
                    "qn-notif-general=false");
    QVERIFY(writeFile(accountPath(), text, viaRename));
    QVERIFY(changed.wait());
    QCOMPARE(changed, (QList<Args>{{"qn-news_main", false}, {"qn-notif-general", false}}));
    QCOMPARE(services.size(), 0);
}

void TestAccountIntegration::serviceSignals()
{
    QVERIFY(writeFile(accountPath(), replaced(FullFile, "IM=true\n", "IM=true\nMail=true\nFeed=false\n")));
    AccountIntegration account(accountPath());
    QSignalSpy enabled(&account, &AccountIntegration::serviceEnabled);
    QSignalSpy disabled(&account, &AccountIntegration::serviceDisabled);
    QSignalSpy changed(&account, &AccountIntegration::settingsChanged);
    account.watchSettings(WatchedKeys);

    // IM off, Mail gone, Feed on, Photos new and on, Video new and off.
    QVERIFY(writeFile(accountPath(), replaced(FullFile, "IM=true\n", "IM=false\nFeed=1\nPhotos=true\nVideo=false\n")));
    QVERIFY(disabled.wait());
    QCOMPARE(disabled, (QList<Args>{{"IM"}, {"Mail"}}));
    QCOMPARE(enabled, (QList<Args>{{"Feed"}, {"Photos"}}));

    QVERIFY(writeFile(accountPath(), FullFile));
    QVERIFY(enabled.wait());
    QCOMPARE(enabled, (QList<Args>{{"Feed"}, {"Photos"}, {"IM"}}));
    QCOMPARE(disabled, (QList<Args>{{"IM"}, {"Mail"}, {"Feed"}, {"Photos"}}));
    QCOMPARE(changed.size(), 0);
}

void TestAccountIntegration::accountDisabledAndRemoved()
{
    QVERIFY(writeFile(accountPath(), FullFile));
    AccountIntegration account(accountPath());
    QSignalSpy disabled(&account, &AccountIntegration::accountDisabled);
    QSignalSpy removed(&account, &AccountIntegration::accountRemoved);
    QSignalSpy changed(&account, &AccountIntegration::settingsChanged);
    account.watchSettings(WatchedKeys);

    QVERIFY(writeFile(accountPath(), replaced(FullFile, "enabled=true", "enabled=false"), true));
    QVERIFY(disabled.wait());
    QVERIFY(QFile::remove(accountPath()));
    QVERIFY(removed.wait());

    // A new file does not repeat the removal; it is watched and compared with the last values.
    QVERIFY(writeFile(accountPath(), replaced(FullFile, "qn-notif-msg=true", "qn-notif-msg=false")));
    QVERIFY(changed.wait());
    QCOMPARE(changed, (QList<Args>{{"qn-notif-msg", false}}));
    QCOMPARE(removed.size(), 1);
    QCOMPARE(disabled.size(), 1);
}

void TestAccountIntegration::editsAfterReplaceAreSeen()
{
    // After a rename the watch must follow the new file, or later in-place edits go unnoticed. The
    // old file stays open (a viewer, a backup tool), so it lives on and keeps any watch on it alive.
    QVERIFY(writeFile(accountPath(), FullFile));
    AccountIntegration account(accountPath());
    QSignalSpy changed(&account, &AccountIntegration::settingsChanged);
    account.watchSettings(WatchedKeys);
    QFile old(accountPath());
    QVERIFY(old.open(QIODevice::ReadOnly));

    QString text = replaced(FullFile, "qn-notif_main=true", "qn-notif_main=false");
    QVERIFY(writeFile(accountPath(), text, true));
    QVERIFY(changed.wait());
    QVERIFY(writeFile(accountPath(), replaced(text, "qn-notif_main=false", "qn-notif_main=TRUE")));
    QVERIFY(changed.wait());
    QCOMPARE(changed, (QList<Args>{{"qn-notif_main", false}, {"qn-notif_main", true}}));
}

void TestAccountIntegration::brokenFileKeepsState()
{
    // A file caught half-written must not disable the account or its services.
    QVERIFY(writeFile(accountPath(), FullFile));
    AccountIntegration account(accountPath());
    QSignalSpy changed(&account, &AccountIntegration::settingsChanged);
    QSignalSpy disabled(&account, &AccountIntegration::accountDisabled);
    QSignalSpy serviceDisabled(&account, &AccountIntegration::serviceDisabled);
    account.watchSettings(WatchedKeys);

    WarningLog log;
    QVERIFY(writeFile(accountPath(), QStringLiteral("[account\nenabled=false\n")));
    QTRY_VERIFY(WarningLog::sLines.filter("keeping the previous account state").size() == 1);

    QVERIFY(writeFile(accountPath(), replaced(FullFile, "qn-notif-msg=true", "qn-notif-msg=false")));
    QVERIFY(changed.wait());
    QCOMPARE(changed, (QList<Args>{{"qn-notif-msg", false}}));
    QCOMPARE(disabled.size() + serviceDisabled.size(), 0);
}

void TestAccountIntegration::login()
{
    // Stored access tokens only: no service is contacted.
    const QString file = replaced(FullFile, "refresh_token=r-123\n", "");
    QVERIFY(writeFile(accountPath(), file));
    AccountIntegration account(accountPath());
    QSignalSpy responses(&account, &AccountIntegration::loginResponse);

    account.login("418205739162840", QString(), "secret", false, true);
    QCOMPARE(responses.size(), 0);
    QVERIFY(responses.wait());
    QCOMPARE(responses, (QList<Args>{{"a-456", true}}));
    QVERIFY(!account.wasLoginCanceled());

    // "a-456" was refused: a forced login must not offer it again (the answer arriving alone also
    // shows that the first request was answered once) ...
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no usable credential"));
    account.login("418205739162840", QString(), "secret", true, false);
    QCOMPARE(responses.size(), 1);
    QVERIFY(responses.wait());
    QCOMPARE(responses.last(), (Args{QString(), false}));

    // ... nor a plain one, while it is still what the file holds ...
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no usable credential"));
    account.login("418205739162840", QString(), "secret", false, false);
    QVERIFY(responses.wait());
    QCOMPARE(responses.last(), (Args{QString(), false}));

    // ... but a token written since then is fine.
    QVERIFY(writeFile(accountPath(), replaced(file, "a-456", "a-789000")));
    account.login("418205739162840", QString(), "secret", true, false);
    QVERIFY(responses.wait());
    QCOMPARE(responses.last(), (Args{"a-789000", true}));

    QVERIFY(writeFile(accountPath(), replaced(file, "access_token=a-456\n", "")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no usable credential"));
    account.login("418205739162840", QString(), "secret", false, true);
    QVERIFY(responses.wait());
    QCOMPARE(responses.last(), (Args{QString(), false}));
    QCOMPARE(responses.size(), 5);
}

void TestAccountIntegration::serviceUrl_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QUrl>("expected");
    QTest::newRow("http") << "http://127.0.0.1:8099" << QUrl("http://127.0.0.1:8099");
    QTest::newRow("https with path") << "https://api.example.org/v2/" << QUrl("https://api.example.org/v2/");
    QTest::newRow("missing") << QString() << QUrl();
    QTest::newRow("file") << "file:///etc/passwd" << QUrl();
    QTest::newRow("no host") << "http://" << QUrl();
    QTest::newRow("not an address") << "just words" << QUrl();
}

void TestAccountIntegration::serviceUrl()
{
    QFETCH(QString, value);
    QFETCH(QUrl, expected);
    QVERIFY(writeFile(accountPath(), value.isNull() ? replaced(FullFile, "service_url=http://127.0.0.1:8099\n", "")
                                                    : replaced(FullFile, "http://127.0.0.1:8099", value)));
    AccountIntegration account(accountPath());
    if (expected.isEmpty() && !value.isNull())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not an http or https address"));
    QCOMPARE(account.serviceUrl(), expected);
}

void TestAccountIntegration::exchange_data()
{
    QTest::addColumn<QString>("refreshToken"); // "good": the simulator's
    QTest::addColumn<int>("fault");            // -1: none
    QTest::addColumn<int>("faultValue");
    QTest::addColumn<bool>("deny");
    QTest::addColumn<bool>("loginOk");
    QTest::addColumn<bool>("canceled");
    QTest::addColumn<QString>("warning");

    using Sim = QuillnetSim::Simulator;
    QTest::newRow("good exchange") << "good" << -1 << 0 << false << true << false << QString();
    QTest::newRow("wrong credential") << "r-stolen" << -1 << 0 << false << false << false
                                      << "refused the login: HTTP 400 \"invalid_grant\"";
    QTest::newRow("canceled by the user") << "good" << -1 << 0 << true << false << true << QString();
    QTest::newRow("server error") << "good" << int(Sim::HttpStatus) << 503 << false << false << false
                                  << "refused the login: HTTP 503";
    QTest::newRow("malformed answer") << "good" << int(Sim::MalformedBody) << 0 << false << false << false
                                      << "holds no usable access token";
    QTest::newRow("truncated answer") << "good" << int(Sim::TruncatedBody) << 0 << false << false << false
                                      << "token request to .* failed";
    QTest::newRow("dropped connection") << "good" << int(Sim::DropConnection) << 0 << false << false << false
                                        << "token request to .* failed";
    QTest::newRow("oversized answer") << "good" << int(Sim::OversizedBody) << 1024 * 1024 << false << false << false
                                      << "is larger than";
    QTest::newRow("service hangs") << "good" << int(Sim::Delay) << 60000 << false << false << false
                                   << "token request to .* failed";
}

void TestAccountIntegration::exchange()
{
    QFETCH(QString, refreshToken);
    QFETCH(int, fault);
    QFETCH(int, faultValue);
    QFETCH(bool, deny);
    QFETCH(bool, loginOk);
    QFETCH(bool, canceled);
    QFETCH(QString, warning);

    QuillnetSim::Simulator simulator;
    QVERIFY(simulator.listen());
    if (refreshToken == QLatin1String("good"))
        refreshToken = simulator.refreshToken();
    // A dropped connection may be retried once by the network stack on its own.
    if (fault >= 0)
        simulator.injectFault("/oauth/token", QuillnetSim::Simulator::FaultKind(fault), faultValue, 2);
    if (deny)
        simulator.denyLogins(1);

    QVERIFY(writeFile(accountPath(), accountFile(simulator.baseUrl().toString(), refreshToken)));
    AccountIntegration account(accountPath());
    account.setTokenRequestTimeout(300);
    QSignalSpy responses(&account, &AccountIntegration::loginResponse);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, false, true);
    QCOMPARE(responses.size(), 0);
    QVERIFY(responses.wait(10000));
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first(), (Args{loginOk ? simulator.accessToken() : QString(), loginOk}));
    QCOMPARE(account.wasLoginCanceled(), canceled);

    const QList<QuillnetSim::Simulator::Request> requests = simulator.requests();
    QVERIFY(!requests.isEmpty());
    QCOMPARE(requests.first().method, QByteArray("POST"));
    QCOMPARE(requests.first().path, QStringLiteral("/oauth/token"));

    // The canceled state belongs to that one answer; the next login goes through.
    simulator.clearFaults();
    if (refreshToken != simulator.refreshToken())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, true, false);
    QVERIFY(responses.wait(10000));
    QCOMPARE(responses.size(), 2);
    if (refreshToken == simulator.refreshToken())
        QCOMPARE(responses.last(), (Args{simulator.accessToken(), true}));
    QVERIFY(!account.wasLoginCanceled());
}

void TestAccountIntegration::exchangeSendsCredentials()
{
    QuillnetSim::Simulator simulator;
    QVERIFY(simulator.listen());
    // Characters that mean something in a form body must arrive as they were written.
    simulator.setRefreshToken("r+t&x=1 %");
    QVERIFY(writeFile(accountPath(), accountFile(simulator.baseUrl().toString() + "/", "r+t&x=1 %")));
    AccountIntegration account(accountPath());
    QSignalSpy responses(&account, &AccountIntegration::loginResponse);
    account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, false, true);
    QVERIFY(responses.wait(10000));
    QCOMPARE(responses.last(), (Args{simulator.accessToken(), true}));

    // A wrong application secret is the client's fault, not the user's.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("HTTP 401 \"invalid_client\""));
    account.login(Constants::ApplicationId, QString(), "not-the-secret", true, false);
    QVERIFY(responses.wait(10000));
    QCOMPARE(responses.last(), (Args{QString(), false}));
    QVERIFY(!account.wasLoginCanceled());
}

void TestAccountIntegration::exchangeFailsWithoutService_data()
{
    QTest::addColumn<QString>("serviceUrl");
    QTest::addColumn<QStringList>("warnings");
    const QString noAddress = QStringLiteral("has a refresh token but no usable service_url");
    QTest::newRow("unreachable") << "closed port" << QStringList{"token request to .* failed"};
    QTest::newRow("no service address") << QString() << QStringList{noAddress};
    QTest::newRow("not http") << "ftp://127.0.0.1/" << QStringList{"not an http or https address", noAddress};
}

void TestAccountIntegration::exchangeFailsWithoutService()
{
    QFETCH(QString, serviceUrl);
    QFETCH(QStringList, warnings);
    if (serviceUrl == QLatin1String("closed port")) {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        serviceUrl = QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
    }
    QVERIFY(writeFile(accountPath(), accountFile(serviceUrl, "r-123")));
    AccountIntegration account(accountPath());
    QSignalSpy responses(&account, &AccountIntegration::loginResponse);
    for (const QString& warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, false, true);
    QCOMPARE(responses.size(), 0);
    QVERIFY(responses.wait(10000));
    QCOMPARE(responses, (QList<Args>{{QString(), false}}));
    QVERIFY(!account.wasLoginCanceled());
}

void TestAccountIntegration::forceNewAsksTheService()
{
    QuillnetSim::Simulator simulator;
    QVERIFY(simulator.listen());
    QVERIFY(writeFile(accountPath(), accountFile(simulator.baseUrl().toString(), simulator.refreshToken())
                                         + "[account]\naccess_token=a-stored\n"));
    AccountIntegration account(accountPath());
    QSignalSpy responses(&account, &AccountIntegration::loginResponse);
    auto login = [&account](bool forceNew) {
        account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, forceNew, false);
    };

    // A ready token first, without asking the service.
    login(false);
    QVERIFY(responses.wait(10000));
    QCOMPARE(responses.last(), (Args{"a-stored", true}));
    QCOMPARE(simulator.requestCount("/oauth/token"), 0);

    // Forced: a fresh token from the endpoint, every time.
    login(true);
    QVERIFY(responses.wait(10000));
    const QString first = simulator.accessToken();
    QCOMPARE(responses.last(), (Args{first, true}));
    login(true);
    QVERIFY(responses.wait(10000));
    QCOMPARE(responses.last(), (Args{simulator.accessToken(), true}));
    QVERIFY(simulator.accessToken() != first);

    // The stored token was refused once, so even an ordinary login now asks the endpoint.
    login(false);
    QVERIFY(responses.wait(10000));
    QCOMPARE(simulator.requestCount("/oauth/token"), 3);
    QCOMPARE(responses.last(), (Args{simulator.accessToken(), true}));
}

void TestAccountIntegration::oneAnswerPerLogin()
{
    QuillnetSim::Simulator simulator;
    QVERIFY(simulator.listen());
    simulator.denyLogins(1);
    QVERIFY(writeFile(accountPath(), accountFile(simulator.baseUrl().toString(), simulator.refreshToken())));
    AccountIntegration account(accountPath());
    QSignalSpy responses(&account, &AccountIntegration::loginResponse);
    QList<bool> canceledAtAnswer;
    connect(&account, &AccountIntegration::loginResponse, this,
            [&]() { canceledAtAnswer.append(account.wasLoginCanceled()); });

    account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, false, true);
    account.login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, true, false);
    QCOMPARE(responses.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(responses.size(), 2, 10000);
    QCOMPARE(simulator.requestCount("/oauth/token"), 2);
    // The first request was refused for the user, the second got a token; each answer carries its
    // own canceled state.
    QCOMPARE(responses.at(0), (Args{QString(), false}));
    QCOMPARE(responses.at(1).at(1).toBool(), true);
    QCOMPARE(canceledAtAnswer, (QList<bool>{true, false}));

    // An account deleted while its request is out answers nothing and leaves nothing behind.
    simulator.injectFault("/oauth/token", QuillnetSim::Simulator::Delay, 200);
    auto* doomed = new AccountIntegration(accountPath());
    QSignalSpy doomedResponses(doomed, &AccountIntegration::loginResponse);
    doomed->login(Constants::ApplicationId, QString(), Constants::ApplicationSecret, true, false);
    QTRY_COMPARE_WITH_TIMEOUT(simulator.requestCount("/oauth/token"), 3, 10000);
    delete doomed;
    QCOMPARE(doomedResponses.size(), 0);
}

void TestAccountIntegration::factory()
{
    QnVeldo::QnFactoryVeldo* factory = QnVeldo::QnFactoryVeldo::getInstance();
    QVERIFY(factory);
    QCOMPARE(QnVeldo::QnFactoryVeldo::getInstance(), factory);
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", mDir->path().toUtf8());

    auto* installed = new AccountIntegration(accountPath());
    factory->setAccount(installed);
    QCOMPARE(factory->account(), installed);

    // Its owner deletes it: the next caller gets a fresh object reading the default file.
    delete installed;
    QPointer<AccountIntegration> fresh = factory->account();
    restoreEnv("XDG_CONFIG_HOME", oldConfig);
    QVERIFY(fresh);
    QCOMPARE(fresh->filePath(), accountPath());
    QCOMPARE(factory->account(), fresh.data());
    delete fresh.data();
    factory->setAccount(nullptr);
}

QTEST_GUILESS_MAIN(TestAccountIntegration)
#include "tst_accountintegration.moc"
