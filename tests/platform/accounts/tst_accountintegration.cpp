// Tests of the account object over a real account file and of the factory that hands it out.

#include "platform/accounts/accountintegration.h"
#include "platform/accounts/qnfactoryveldo.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSaveFile>
#include <QSignalSpy>
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
    QVERIFY(writeFile(accountPath(), FullFile));
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

    // ... but a token written since then is fine; a refresh token alone is not enough yet.
    QVERIFY(writeFile(accountPath(), replaced(FullFile, "a-456", "a-789000")));
    account.login("418205739162840", QString(), "secret", true, false);
    QVERIFY(responses.wait());
    QCOMPARE(responses.last(), (Args{"a-789000", true}));

    QVERIFY(writeFile(accountPath(), replaced(FullFile, "access_token=a-456\n", "")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no usable credential"));
    account.login("418205739162840", QString(), "secret", false, true);
    QVERIFY(responses.wait());
    QCOMPARE(responses.last(), (Args{QString(), false}));
    QCOMPARE(responses.size(), 4);
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
