// The commands a person types to the home screen: what each line does to the notifications and the
// Event Feed, and reading them from a file descriptor.
#include <QDBusPendingReply>
#include <QTest>

#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

#include "buscalls.h"
#include "homescreen/commandinput.h"
#include "homescreen/eventfeedservice.h"
#include "homescreen/notificationserver.h"
#include "notificationserverproxy.h"

namespace {

int bytesWaiting(int fd)
{
    int count = -1;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

} // namespace

class TestCommandInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commands_data();
    void commands();
    void withoutNotifications();
    void readsLines();

private:
    // The feed stays off the bus: a refresh request only reports its line.
    std::unique_ptr<HomeScreen::EventFeedService> mFeed;
    std::unique_ptr<HomeScreen::NotificationServer> mServer;
    QStringList mLines;
};

void TestCommandInput::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    mFeed = std::make_unique<HomeScreen::EventFeedService>();
    connect(mFeed.get(), &HomeScreen::BusService::changeReported, this,
            [this](const QString &line) { mLines << line; });
}

void TestCommandInput::cleanup()
{
    mServer.reset();
    mFeed.reset();
    mLines.clear();
}

void TestCommandInput::commands_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("done");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("warning");

    const QStringList tapped = {R"(action 1 key="default")", "close 1 reason=2"};
    const QString usage = QStringLiteral(" (commands: tap <id>, close <id>, refresh)");
    QTest::newRow("tap") << "tap 1" << true << tapped << QString();
    QTest::newRow("blanks and tabs") << " \ttap \t 1 " << true << tapped << QString();
    QTest::newRow("close") << "close 1" << true << QStringList {"close 1 reason=2"} << QString();
    QTest::newRow("refresh") << "refresh" << true << QStringList {"refresh-requested"} << QString();
    QTest::newRow("empty") << "" << true << QStringList() << QString();
    QTest::newRow("unknown id") << "tap 7" << false << QStringList() << "tap: no notification 7";
    QTest::newRow("no id") << "tap" << false << QStringList() << "tap needs the id of one notification, as in tap 4";
    QTest::newRow("word for id") << "close one" << false << QStringList()
                                 << "close needs the id of one notification, as in close 4";
    QTest::newRow("id 0") << "tap 0" << false << QStringList() << "tap needs the id of one notification, as in tap 4";
    QTest::newRow("two ids") << "tap 1 2" << false << QStringList()
                             << "tap needs the id of one notification, as in tap 4";
    QTest::newRow("negative id") << "tap -1" << false << QStringList()
                                 << "tap needs the id of one notification, as in tap 4";
    QTest::newRow("refresh with more") << "refresh now" << false << QStringList()
                                       << R"(unknown command "refresh now")" + usage;
    QTest::newRow("unknown") << "Tap 1" << false << QStringList() << R"(unknown command "Tap 1")" + usage;
    QTest::newRow("escaped") << "go \"\x1b\"" << false << QStringList() << R"(unknown command "go \"\u001b\"")" + usage;
}

void TestCommandInput::commands()
{
    QFETCH(QString, line);
    QFETCH(bool, done);
    QFETCH(QStringList, lines);
    QFETCH(QString, warning);

    mServer = std::make_unique<HomeScreen::NotificationServer>();
    connect(mServer.get(), &HomeScreen::BusService::changeReported, this,
            [this](const QString &line) { mLines << line; });
    QVERIFY2(mServer->registerOnBus(), qPrintable(mServer->errorString()));
    NotificationServerProxy proxy(QStringLiteral("org.freedesktop.Notifications"),
                                  QStringLiteral("/org/freedesktop/Notifications"), QDBusConnection::sessionBus());
    QVERIFY(finish(proxy.Notify(QStringLiteral("test"), 0, QString(), QStringLiteral("s"), QString(),
                                {"default", "Open"}, {}, 0)));
    mLines.clear();

    HomeScreen::CommandInput input(mFeed.get(), mServer.get());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QCOMPARE(input.execute(line), done);
    QCOMPARE(mLines, lines);
}

void TestCommandInput::withoutNotifications()
{
    HomeScreen::CommandInput input(mFeed.get(), nullptr);
    QTest::ignoreMessage(QtWarningMsg, "tap finds no notifications: the home screen runs without them");
    QVERIFY(!input.execute(QStringLiteral("tap 1")));
    QVERIFY(input.execute(QStringLiteral("refresh")));
    QCOMPARE(mLines, QStringList {"refresh-requested"});
}

void TestCommandInput::readsLines()
{
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    HomeScreen::CommandInput input(mFeed.get(), nullptr);
    QVERIFY(input.listen(fds[0]));

    // A line split across writes, a line beyond the limit (skipped whole, also the part after the
    // limit that looks like a command), and a last line without its line end, done at the end.
    const QByteArray tooLong = QByteArray(HomeScreen::CommandInput::MaxLineLength, ' ') + "refresh\n";
    QTest::ignoreMessage(QtWarningMsg, "commands: a line longer than 256 bytes is skipped");
    for (const QByteArray &bytes : {QByteArray("ref"), QByteArray("resh\r\n") + tooLong, QByteArray("refresh")}) {
        QCOMPARE(::write(fds[1], bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        // Read before the next write comes.
        QTRY_COMPARE_WITH_TIMEOUT(bytesWaiting(fds[0]), 0, 10000);
    }
    ::close(fds[1]);
    QTRY_COMPARE_WITH_TIMEOUT(mLines.size(), 2, 10000);
    ::close(fds[0]);
    QCOMPARE(mLines, (QStringList {"refresh-requested", "refresh-requested"}));
}

QTEST_GUILESS_MAIN(TestCommandInput)
#include "tst_commandinput.moc"
