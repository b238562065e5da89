// Start-up of the real daemon binary: exit codes, the files it creates (where, with the --debug
// switch given in each way), the control object on the bus.
#include <QDBusInterface>
#include <QDirIterator>
#include <QFileInfo>
#include <QMetaMethod>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "daemon/daemonrun.h"

namespace {

const QString ServiceName = QStringLiteral("com.tarvo.quillnetveldo");
constexpr int WaitMs = 20000;

// Nothing listens at its service: the daemon starts, asks for its login and goes no further.
const QByteArray ValidAccount = "[account]\n"
                                "name=alice@example.org\n"
                                "enabled=true\n"
                                "service_url=http://127.0.0.1:1\n"
                                "access_token=token-1\n"
                                "[services]\n"
                                "IM=true\n"
                                "[settings]\n"
                                "qn-notif_main=true\n"
                                "qn-news_main=false\n";

QStringList treeOf(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(root).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

} // namespace

class TestDaemonProcess : public QObject
{
    Q_OBJECT

private slots:
    // A common default: the daemon must not rely on a stricter one.
    void initTestCase() { ::umask(022); }
    // The name must be free again before the next test starts a daemon.
    void cleanup() { QTRY_VERIFY(!DaemonRun::controlOnBus()); }

    void invalidAccountExitsQuietly_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::newRow("no file") << QByteArray();
        QTest::newRow("no name") << QByteArray("[account]\nenabled=true\naccess_token=t\n");
        QTest::newRow("no credential") << QByteArray("[account]\nname=a@b\nenabled=true\n");
        QTest::newRow("empty file") << QByteArray("");
        QTest::newRow("garbage") << QByteArray("\x01\x02[[[\nname\n=\n\xff\xfe", 16);
        QTest::newRow("disabled, with a bad value") << QByteArray(ValidAccount)
                                                               .replace("enabled=true", "enabled=false")
                                                               .replace("qn-news_main=false", "qn-news_main=maybe");
    }

    void invalidAccountExitsQuietly()
    {
        QFETCH(QByteArray, content);
        DaemonRun daemon;
        QVERIFY(content.isNull() || daemon.writeAccountFile(content));
        QVERIFY(daemon.start({}));
        QCOMPARE(daemon.waitForExit(WaitMs), 0);
        // Without a usable account there is nothing to report, and nothing is written.
        QCOMPARE(daemon.log, QByteArray());
        QCOMPARE(treeOf(daemon.home()),
                 content.isNull() ? QStringList()
                                  : QStringList({"config", "config/quillnet", "config/quillnet/account.conf"}));
    }

    void cachePaths_data()
    {
        QTest::addColumn<QString>("cacheHome"); // relative to the home directory; null: not set
        QTest::addColumn<QString>("cacheDir"); // where the daemon's cache goes, relative to the home
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("debug"); // whether the arguments turn the debug trace on
        QTest::newRow("no XDG_CACHE_HOME") << QString() << ".quillnet" << QStringList() << false;
        QTest::newRow("XDG_CACHE_HOME, --debug") << "xdgcache"
                                                 << "xdgcache/quillnet" << QStringList {"--debug"} << true;
        QTest::newRow("XDG_CACHE_HOME not there yet, x --debug --debug")
                << "new/cache"
                << "new/cache/quillnet" << QStringList {"x", "--debug", "--debug"} << true;
        // The XDG rules say a relative value is to be ignored.
        QTest::newRow("relative XDG_CACHE_HOME, --Debug") << "relative"
                                                          << ".quillnet" << QStringList {"--Debug"} << false;
        QTest::newRow("-debug") << QString() << ".quillnet" << QStringList {"-debug"} << false;
        QTest::newRow("--debug=1") << QString() << ".quillnet" << QStringList {"--debug=1"} << false;
    }

    void cachePaths()
    {
        QFETCH(QString, cacheHome);
        QFETCH(QString, cacheDir);
        QFETCH(QStringList, args);
        QFETCH(bool, debug);
        DaemonRun daemon;
        QVERIFY(daemon.writeAccountFile(ValidAccount));
        const QString home = daemon.home() + QLatin1Char('/');
        if (!cacheHome.isNull())
            daemon.environment.append(
                    {QStringLiteral("XDG_CACHE_HOME"), cacheHome == "relative" ? cacheHome : home + cacheHome});
        QVERIFY(daemon.start(args));
        QTRY_VERIFY_WITH_TIMEOUT(DaemonRun::controlOnBus(), WaitMs);
        // The whole process runs at low priority: every thread, those started before it was lowered too.
        const QString tasks = QStringLiteral("/proc/%1/task").arg(daemon.pid());
        QTRY_VERIFY(QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() > 1);
        const auto niceValues = [&tasks] {
            QList<int> values;
            for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                values << ::getpriority(PRIO_PROCESS, id_t(task.toUInt()));
            return values;
        };
        QTRY_COMPARE(niceValues(), QList<int>(niceValues().size(), 10));

        QTRY_VERIFY(QFileInfo::exists(home + cacheDir + QStringLiteral("/qndaemon-cache.db")));
        QTRY_VERIFY(QFileInfo(home + cacheDir + QStringLiteral("/qncache")).isDir());
        // The client cache database stays below the home directory.
        QTRY_VERIFY(QFileInfo::exists(home + QStringLiteral(".quillnet/private/qncache.db")));
        if (cacheDir != QLatin1String(".quillnet"))
            QVERIFY(!QFileInfo::exists(home + QStringLiteral(".quillnet/qndaemon-cache.db")));

        // Everything the daemon made is the user's alone, although this test runs with umask 022.
        for (const QString &path : treeOf(daemon.home())) {
            if (!path.startsWith(QLatin1String("config")))
                QVERIFY2((modeOf(home + path) & 077) == 0, qPrintable(path));
        }
        // The registration trace was written before the name appeared on the bus.
        QVERIFY(daemon.kill());
        QCOMPARE(daemon.log.contains("<7>quillnet-daemon: QuillnetDaemon::QuillnetDaemon(QObject*) registerService: \""
                                     "com.tarvo.quillnetveldo\""),
                 debug);
    }

    void secondInstanceOnAnotherBusFindsTheCacheTakenAndEndsWithItsBus()
    {
        DaemonRun first;
        QVERIFY(first.writeAccountFile(ValidAccount));
        QVERIFY(first.start() && first.waitForNext(DaemonLog::LoginRequested, WaitMs));

        // A session bus of the test's own, which it can end.
        QProcess bus;
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY(bus.waitForStarted() && bus.waitForReadyRead(10000));
        DaemonRun second(first.home());
        second.environment.append(
                {QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromUtf8(bus.readLine()).trimmed()});
        QVERIFY(second.start({}));
        QCOMPARE(second.waitForExit(WaitMs), 1);
        QVERIFY2(second.log.contains("<2>quillnet-daemon: ") && second.log.contains("Another instance (process"),
                 second.log.constData());
        QVERIFY(first.isRunning());

        // Once the first one is gone, however it ended and at whatever step of its start, the cache is
        // free again; so it is with a lock file that names nobody (a daemon killed as it made it).
        QVERIFY(first.kill());
        for (const char *step : {"registerService:", "registerObject:", "loginToQuillnet", ""}) {
            if (!*step)
                QVERIFY(writeFile(first.home() + QStringLiteral("/.quillnet/qndaemon.lock"), QByteArray()));
            QVERIFY(second.start() && second.waitForNext(*step ? QByteArray(step) : DaemonLog::LoginRequested, WaitMs));
            QVERIFY(second.kill());
        }

        // A stop asked for ends the event loop, and so does the end of its session bus: the daemon
        // takes down what it made on its way out.
        for (const bool busGoes : {false, true}) {
            const qsizetype from = second.log.size();
            QVERIFY(second.start() && second.waitForNext(DaemonLog::LoginRequested, WaitMs));
            if (busGoes)
                bus.terminate();
            else
                QCOMPARE(::kill(pid_t(second.pid()), SIGTERM), 0);
            QCOMPARE(second.waitForExit(WaitMs), 0);
            QVERIFY2(second.log.indexOf(busGoes ? "The session bus is gone" : "Stopping on signal 15", from) >= 0,
                     second.tail().constData());
        }
    }

    void unusableDatabaseExitsOne()
    {
        DaemonRun daemon;
        QVERIFY(daemon.writeAccountFile(ValidAccount));
        // A directory where the database file belongs.
        const QString cacheHome = daemon.home() + QStringLiteral("/xdgcache");
        QVERIFY(QDir().mkpath(cacheHome + QStringLiteral("/quillnet/qndaemon-cache.db")));
        daemon.environment.append({QStringLiteral("XDG_CACHE_HOME"), cacheHome});
        QVERIFY(daemon.start({}));
        QCOMPARE(daemon.waitForExit(WaitMs), 1);
        QVERIFY2(daemon.log.endsWith("<2>quillnet-daemon: Could not init internal database!\n"),
                 daemon.log.constData());
    }

    void controlObjectAndSecondInstance()
    {
        DaemonRun daemon;
        QVERIFY(daemon.writeAccountFile(ValidAccount));
        QVERIFY(daemon.start({}));
        QTRY_VERIFY_WITH_TIMEOUT(DaemonRun::controlOnBus(), WaitMs);

        // Its introspection, as the bus's other programs see it.
        QDBusInterface control(ServiceName, QStringLiteral("/quillnetveldo"), ServiceName);
        QVERIFY(control.isValid());
        const QMetaObject *meta = control.metaObject();
        QStringList members;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod member = meta->method(i);
            QStringList args;
            for (int arg = 0; arg < member.parameterCount(); ++arg)
                args << QString::fromLatin1(member.parameterTypeName(arg) + ' ' + member.parameterNames().at(arg));
            members << QLatin1String(member.methodType() == QMetaMethod::Signal ? "signal " : "method ")
                            + QLatin1String(QByteArray(member.typeName()) + ' ' + member.name()) + QLatin1Char('(')
                            + args.join(QStringLiteral(", ")) + QLatin1Char(')');
        }
        members.sort();
        const QStringList expected = {
                QStringLiteral("method void itemSeen(QString id, QString type)"),
                QStringLiteral("method void refreshEventFeed()"),
                QStringLiteral("method void sync()"),
                QStringLiteral("signal void cacheCleared()"),
                QStringLiteral("signal void syncDone(QString err)"),
        };
        QCOMPARE(members, expected);

        // The control calls answer at once with an empty reply.
        for (const char *method : {"sync", "refreshEventFeed"}) {
            const QDBusMessage r = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
                    ServiceName, QStringLiteral("/quillnetveldo"), ServiceName, QLatin1String(method)));
            QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
            QVERIFY(r.arguments().isEmpty());
        }
        // A private slot is not reachable.
        const QDBusMessage hidden = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
                ServiceName, QStringLiteral("/quillnetveldo"), ServiceName, QStringLiteral("retryLogin")));
        QCOMPARE(hidden.type(), QDBusMessage::ErrorMessage);

        // A second daemon on the same bus finds the name taken and ends before it opens a database.
        DaemonRun second(daemon.home());
        const QString otherCache = daemon.home() + QStringLiteral("/second");
        QVERIFY(QDir().mkpath(otherCache));
        second.environment.append({QStringLiteral("XDG_CACHE_HOME"), otherCache});
        QVERIFY(second.start({}));
        QCOMPARE(second.waitForExit(WaitMs), 1);
        QVERIFY2(second.log.contains("Failed to register service"), second.log.constData());
        QVERIFY(!QFileInfo::exists(otherCache + QStringLiteral("/quillnet/qndaemon-cache.db")));
    }

    void accountLoss_data()
    {
        QTest::addColumn<bool>("removed");
        QTest::addColumn<bool>("xdgCacheHome");
        QTest::addColumn<bool>("linked"); // the cache directory is a link to another disk
        QTest::newRow("removed") << true << false << false;
        QTest::newRow("removed, XDG_CACHE_HOME") << true << true << false;
        QTest::newRow("disabled") << false << false << false;
        QTest::newRow("disabled, XDG_CACHE_HOME") << false << true << false;
        QTest::newRow("removed, linked") << true << false << true;
        QTest::newRow("removed, XDG_CACHE_HOME linked") << true << true << true;
        QTest::newRow("disabled, linked") << false << false << true;
    }

    void accountLoss()
    {
        QFETCH(bool, removed);
        QFETCH(bool, xdgCacheHome);
        QFETCH(bool, linked);
        DaemonRun daemon;
        QVERIFY(daemon.writeAccountFile(ValidAccount));
        const QString cacheHome = daemon.home() + QStringLiteral("/xdgcache");
        if (xdgCacheHome) {
            QVERIFY(QDir().mkpath(cacheHome));
            daemon.environment.append({QStringLiteral("XDG_CACHE_HOME"), cacheHome});
        }
        const QString configured
                = xdgCacheHome ? cacheHome + QStringLiteral("/quillnet") : daemon.home() + QStringLiteral("/.quillnet");
        const QString disk = daemon.home() + QStringLiteral("/disk/quillnet");
        if (linked) {
            QVERIFY(QDir().mkpath(disk));
            QVERIFY(QFile::link(disk, configured));
        }
        // What is found below the configured path lives on the linked disk.
        const QString cacheDir = linked ? disk : configured;
        const QString clientDb = daemon.home() + QStringLiteral("/.quillnet/private/qncache.db");

        // The login request is the constructor's last step: the account file is watched by then.
        QVERIFY(daemon.start() && daemon.waitForNext(DaemonLog::LoginRequested, WaitMs));
        QVERIFY(QFileInfo::exists(cacheDir + QStringLiteral("/qndaemon-cache.db")));
        QVERIFY(QFileInfo::exists(clientDb));
        QFile picture(cacheDir + QStringLiteral("/qncache/picture.png"));
        QVERIFY(picture.open(QIODevice::WriteOnly));
        picture.close();

        if (removed)
            QVERIFY(QFile::remove(daemon.accountPath()));
        else
            QVERIFY(daemon.writeAccountFile(QByteArray(ValidAccount).replace("enabled=true", "enabled=false")));
        QCOMPARE(daemon.waitForExit(WaitMs), 0);
        QVERIFY(!QFileInfo::exists(cacheDir + QStringLiteral("/qndaemon-cache.db")));
        QVERIFY(!QFileInfo::exists(cacheDir + QStringLiteral("/qncache")));
        if (removed) {
            QVERIFY(!QFileInfo::exists(cacheDir));
            QVERIFY(!QFileInfo(configured).isSymLink());
            QVERIFY(!QFileInfo::exists(daemon.home() + QStringLiteral("/.quillnet/private")));
            QVERIFY(!QFileInfo::exists(disk + QStringLiteral("/private")));
        } else {
            // A disabled account keeps the client cache database, wherever the daemon's cache is.
            QVERIFY(QFileInfo::exists(clientDb));
            if (xdgCacheHome)
                QVERIFY(!QFileInfo::exists(cacheDir));
            else
                QCOMPARE(QDir(cacheDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                         QStringList({QStringLiteral("private")}));
        }
    }
};

QTEST_GUILESS_MAIN(TestDaemonProcess)
#include "tst_daemonprocess.moc"
