// Start-up of the real daemon binary: exit codes, the files it creates, the control object on the
// bus, and the --debug switch.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QDirIterator>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>

#include "testfiles.h"

namespace {

const QString ServiceName = QStringLiteral("com.tarvo.quillnetveldo");

const char ValidAccount[] = "[account]\n"
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
    void initTestCase();
    void init();
    void cleanup();

    void invalidAccountExitsQuietly_data();
    void invalidAccountExitsQuietly();
    void cachePaths_data();
    void cachePaths();
    void secondInstanceOnAnotherBusFindsTheCacheTakenAndEndsWithItsBus();
    void unusableDatabaseExitsOne();
    void controlObjectAndSecondInstance();
    void debugSwitch_data();
    void debugSwitch();
    void accountLoss_data();
    void accountLoss();

private:
    void writeAccount(const QByteArray &content);
    QProcess *start(const QStringList &args = {}, const QString &cacheHome = QString(),
                    const QString &busAddress = QString());
    // A session bus of the test's own, which it can end; its address.
    QString startBus();
    void waitForService();

    QTemporaryDir *mHome = nullptr;
    QString mConfigHome;
    QList<QProcess *> mProcesses;
};

void TestDaemonProcess::initTestCase()
{
    // A common default: the daemon must not rely on a stricter one.
    ::umask(022);
}

void TestDaemonProcess::init()
{
    mHome = new QTemporaryDir;
    QVERIFY(mHome->isValid());
    mConfigHome = mHome->path() + QStringLiteral("/config");
}

void TestDaemonProcess::cleanup()
{
    for (QProcess *process : qAsConst(mProcesses)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
        delete process;
    }
    mProcesses.clear();
    // The name must be free again before the next test starts a daemon.
    QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(ServiceName));
    delete mHome;
    mHome = nullptr;
}

void TestDaemonProcess::writeAccount(const QByteArray &content)
{
    QVERIFY(QDir().mkpath(mConfigHome + QStringLiteral("/quillnet")));
    QFile file(mConfigHome + QStringLiteral("/quillnet/account.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QProcess *TestDaemonProcess::start(const QStringList &args, const QString &cacheHome, const QString &busAddress)
{
    auto *process = new QProcess;
    mProcesses << process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), mHome->path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), mConfigHome);
    if (cacheHome.isNull())
        env.remove(QStringLiteral("XDG_CACHE_HOME"));
    else
        env.insert(QStringLiteral("XDG_CACHE_HOME"), cacheHome);
    if (!busAddress.isEmpty())
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    process->setProcessEnvironment(env);
    process->start(QStringLiteral(DAEMON_BINARY), args);
    process->waitForStarted();
    return process;
}

QString TestDaemonProcess::startBus()
{
    auto *bus = new QProcess;
    mProcesses << bus;
    bus->start(QStringLiteral("dbus-daemon"),
               {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!bus->waitForStarted() || !bus->waitForReadyRead(10000))
        return QString();
    return QString::fromUtf8(bus->readLine()).trimmed();
}

void TestDaemonProcess::waitForService()
{
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(ServiceName), 20000);
}

void TestDaemonProcess::invalidAccountExitsQuietly_data()
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

void TestDaemonProcess::invalidAccountExitsQuietly()
{
    QFETCH(QByteArray, content);
    if (!content.isNull())
        writeAccount(content);
    QProcess *daemon = start();
    QVERIFY(daemon->waitForFinished(20000));
    QCOMPARE(daemon->exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon->exitCode(), 0);
    // Without a usable account there is nothing to report, and nothing is written.
    QCOMPARE(daemon->readAllStandardError(), QByteArray());
    QCOMPARE(treeOf(mHome->path()),
             content.isNull() ? QStringList()
                              : QStringList({"config", "config/quillnet", "config/quillnet/account.conf"}));
}

void TestDaemonProcess::cachePaths_data()
{
    QTest::addColumn<QString>("cacheHome"); // relative to the home directory; null: not set
    QTest::addColumn<QString>("cacheDir"); // where the daemon's cache goes, relative to the home
    QTest::newRow("no XDG_CACHE_HOME") << QString() << ".quillnet";
    QTest::newRow("XDG_CACHE_HOME") << "xdgcache"
                                    << "xdgcache/quillnet";
    QTest::newRow("XDG_CACHE_HOME not there yet") << "new/cache"
                                                  << "new/cache/quillnet";
    // The XDG rules say a relative value is to be ignored.
    QTest::newRow("relative XDG_CACHE_HOME") << "relative"
                                             << ".quillnet";
}

void TestDaemonProcess::cachePaths()
{
    QFETCH(QString, cacheHome);
    QFETCH(QString, cacheDir);
    writeAccount(ValidAccount);
    const QString home = mHome->path() + QLatin1Char('/');
    QProcess *daemon = start({}, cacheHome.isNull() || cacheHome == "relative" ? cacheHome : home + cacheHome);
    waitForService();
    // The whole process runs at low priority: every thread, those started before it was lowered too.
    const QString tasks = QStringLiteral("/proc/%1/task").arg(daemon->processId());
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
    QDirIterator it(mHome->path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.startsWith(mConfigHome))
            continue;
        struct stat info
        {
        };
        QVERIFY(::lstat(QFile::encodeName(path).constData(), &info) == 0);
        QVERIFY2((info.st_mode & 077) == 0, qPrintable(path));
    }
}

void TestDaemonProcess::secondInstanceOnAnotherBusFindsTheCacheTakenAndEndsWithItsBus()
{
    writeAccount(ValidAccount);
    QProcess *first = start({QStringLiteral("--debug")});
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += first->readAllStandardError()).contains("loginToQuillnet"), 20000);

    const QString otherBus = startBus();
    QVERIFY(!otherBus.isEmpty());
    QProcess *bus = mProcesses.last();
    QProcess *second = start({}, QString(), otherBus);
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitCode(), 1);
    const QByteArray secondLog = second->readAllStandardError();
    QVERIFY2(secondLog.contains("<2>quillnet-daemon: ") && secondLog.contains("Another instance (process"),
             secondLog.constData());
    QCOMPARE(first->state(), QProcess::Running);

    // Once the first one is gone, however it ended and at whatever step of its start, the cache is
    // free again; so it is with a lock file that names nobody (a daemon killed as it made it).
    first->kill();
    first->waitForFinished();
    for (const char *step : {"registerService:", "registerObject:", "loginToQuillnet", ""}) {
        if (!*step)
            QVERIFY(writeFile(mHome->path() + QStringLiteral("/.quillnet/qndaemon.lock"), QByteArray()));
        QProcess *next = start({QStringLiteral("--debug")}, QString(), otherBus);
        QByteArray nextLog;
        QTRY_VERIFY_WITH_TIMEOUT((nextLog += next->readAllStandardError()).contains(*step ? step : "loginToQuillnet"),
                                 20000);
        next->kill();
        next->waitForFinished();
    }

    // A stop asked for ends the event loop, and so does the end of its session bus: the daemon
    // takes down what it made on its way out.
    for (const bool busGoes : {false, true}) {
        QProcess *third = start({QStringLiteral("--debug")}, QString(), otherBus);
        QByteArray thirdLog;
        QTRY_VERIFY_WITH_TIMEOUT((thirdLog += third->readAllStandardError()).contains("loginToQuillnet"), 20000);
        (busGoes ? bus : third)->terminate();
        QVERIFY(third->waitForFinished(20000));
        QCOMPARE(third->exitStatus(), QProcess::NormalExit);
        QCOMPARE(third->exitCode(), 0);
        thirdLog += third->readAllStandardError();
        QVERIFY2(thirdLog.contains(busGoes ? "The session bus is gone" : "Stopping on signal 15"),
                 thirdLog.right(300).constData());
    }
}

void TestDaemonProcess::unusableDatabaseExitsOne()
{
    writeAccount(ValidAccount);
    // A directory where the database file belongs.
    const QString cacheHome = mHome->path() + QStringLiteral("/xdgcache");
    QVERIFY(QDir().mkpath(cacheHome + QStringLiteral("/quillnet/qndaemon-cache.db")));

    QProcess *daemon = start({}, cacheHome);
    QVERIFY(daemon->waitForFinished(20000));
    QCOMPARE(daemon->exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon->exitCode(), 1);
    const QByteArray log = daemon->readAllStandardError();
    QVERIFY2(log.endsWith("<2>quillnet-daemon: Could not init internal database!\n"), log.constData());
}

void TestDaemonProcess::controlObjectAndSecondInstance()
{
    writeAccount(ValidAccount);
    start();
    waitForService();

    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, QStringLiteral("/quillnetveldo"),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QDomDocument document;
    QVERIFY(document.setContent(reply.arguments().value(0).toString()));

    QDomElement control;
    const QDomNodeList interfaces = document.documentElement().elementsByTagName(QStringLiteral("interface"));
    for (int i = 0; i < interfaces.count(); ++i) {
        if (interfaces.at(i).toElement().attribute(QStringLiteral("name")) == ServiceName)
            control = interfaces.at(i).toElement();
    }
    QVERIFY(!control.isNull());

    QStringList members;
    for (QDomElement member = control.firstChildElement(); !member.isNull(); member = member.nextSiblingElement()) {
        QStringList args;
        for (QDomElement arg = member.firstChildElement(QStringLiteral("arg")); !arg.isNull();
             arg = arg.nextSiblingElement(QStringLiteral("arg")))
            args << arg.attribute(QStringLiteral("direction")) + QLatin1Char(' ')
                            + arg.attribute(QStringLiteral("type")) + QLatin1Char(' ')
                            + arg.attribute(QStringLiteral("name"));
        members << member.tagName() + QLatin1Char(' ') + member.attribute(QStringLiteral("name")) + QLatin1Char('(')
                        + args.join(QStringLiteral(", ")) + QLatin1Char(')');
    }
    members.sort();
    const QStringList expected = {
            QStringLiteral("method itemSeen(in s id, in s type)"),
            QStringLiteral("method refreshEventFeed()"),
            QStringLiteral("method sync()"),
            QStringLiteral("signal cacheCleared()"),
            QStringLiteral("signal syncDone(out s err)"),
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
    const QString otherCache = mHome->path() + QStringLiteral("/second");
    QVERIFY(QDir().mkpath(otherCache));
    QProcess *second = start({}, otherCache);
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    QVERIFY2(second->readAllStandardError().contains("Failed to register service"), "no critical line");
    QVERIFY(!QFileInfo::exists(otherCache + QStringLiteral("/quillnet/qndaemon-cache.db")));
}

void TestDaemonProcess::debugSwitch_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("debug");
    const QList<QPair<QStringList, bool>> rows
            = {{{}, false},          {{"--debug"}, true}, {{"x", "--debug", "--debug"}, true},
               {{"--Debug"}, false}, {{"-debug"}, false}, {{"--debug=1"}, false}};
    for (const auto &row : rows)
        QTest::newRow(row.first.isEmpty() ? "none" : qPrintable(row.first.join(' '))) << row.first << row.second;
}

void TestDaemonProcess::debugSwitch()
{
    QFETCH(QStringList, args);
    QFETCH(bool, debug);
    writeAccount(ValidAccount);
    QProcess *daemon = start(args);
    waitForService();
    // The registration trace is written before the name appears on the bus.
    daemon->kill();
    daemon->waitForFinished();
    const QByteArray log = daemon->readAllStandardError();
    QCOMPARE(log.contains("<7>quillnet-daemon: QuillnetDaemon::QuillnetDaemon(QObject*) registerService: \""
                          "com.tarvo.quillnetveldo\""),
             debug);
}

void TestDaemonProcess::accountLoss_data()
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

void TestDaemonProcess::accountLoss()
{
    QFETCH(bool, removed);
    QFETCH(bool, xdgCacheHome);
    QFETCH(bool, linked);
    writeAccount(ValidAccount);
    const QString cacheHome = xdgCacheHome ? mHome->path() + QStringLiteral("/xdgcache") : QString();
    if (xdgCacheHome)
        QVERIFY(QDir().mkpath(cacheHome));
    const QString configured
            = xdgCacheHome ? cacheHome + QStringLiteral("/quillnet") : mHome->path() + QStringLiteral("/.quillnet");
    const QString disk = mHome->path() + QStringLiteral("/disk/quillnet");
    if (linked) {
        QVERIFY(QDir().mkpath(disk));
        QVERIFY(QFile::link(disk, configured));
    }
    // What is found below the configured path lives on the linked disk.
    const QString cacheDir = linked ? disk : configured;
    const QString clientDb = mHome->path() + QStringLiteral("/.quillnet/private/qncache.db");

    QProcess *daemon = start({QStringLiteral("--debug")}, cacheHome);
    // The login request is the constructor's last step: the account file is watched by then.
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += daemon->readAllStandardError()).contains("loginToQuillnet"), 20000);
    QVERIFY(QFileInfo::exists(cacheDir + QStringLiteral("/qndaemon-cache.db")));
    QVERIFY(QFileInfo::exists(clientDb));
    QFile picture(cacheDir + QStringLiteral("/qncache/picture.png"));
    QVERIFY(picture.open(QIODevice::WriteOnly));
    picture.close();

    const QString accountFile = mConfigHome + QStringLiteral("/quillnet/account.conf");
    if (removed)
        QVERIFY(QFile::remove(accountFile));
    else
        writeAccount(QByteArray(ValidAccount).replace("enabled=true", "enabled=false"));

    QVERIFY(daemon->waitForFinished(20000));
    QCOMPARE(daemon->exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon->exitCode(), 0);
    QVERIFY(!QFileInfo::exists(cacheDir + QStringLiteral("/qndaemon-cache.db")));
    QVERIFY(!QFileInfo::exists(cacheDir + QStringLiteral("/qncache")));
    if (removed) {
        QVERIFY(!QFileInfo::exists(cacheDir));
        QVERIFY(!QFileInfo(configured).isSymLink());
        QVERIFY(!QFileInfo::exists(mHome->path() + QStringLiteral("/.quillnet/private")));
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

QTEST_GUILESS_MAIN(TestDaemonProcess)
#include "tst_daemonprocess.moc"
