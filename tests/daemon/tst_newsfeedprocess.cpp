// The news feed end to end: the real daemon binary, the simulated service and the reference home
// screen Event Feed, with the control interface driven over the bus as other programs would.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "homescreen/eventfeedservice.h"
#include "quillnet-sim/simulator.h"

namespace {

const QString ControlName = QStringLiteral("com.tarvo.quillnetveldo");

// The first wake-up comes within 10 s of the login; a pass over a fresh world downloads every picture.
constexpr int FirstPassMs = 40000;

} // namespace

class TestNewsFeedProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void feedArrivesChangesShrinksAndSurvivesARestart();
    void absentEventFeedEndsThePassAndALaterOnePublishesAll();

private:
    void writeAccount(bool newsOn);
    void startDaemon();
    void stopDaemon();
    // Waits for the end of the next publishing pass that a network import started.
    bool waitForPass(int timeoutMs);
    void callControl(const char *method);
    // The simulator's posts that the feed must show: its feed minus the excluded application.
    QStringList expectedPostIds() const;
    QMap<QString, QVariantMap> itemsByPost() const;

    std::unique_ptr<QTemporaryDir> mHome;
    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<HomeScreen::EventFeedService> mFeed;
    std::unique_ptr<QProcess> mDaemon;
    QByteArray mLog;
    QStringList mChanges;
};

void TestNewsFeedProcess::init()
{
    mHome.reset(new QTemporaryDir);
    QVERIFY(mHome->isValid());
    QuillnetSim::SimConfig config;
    // Fewer posts than one feed page: a post that leaves is not replaced by an older one.
    config.posts = 20;
    mSimulator.reset(new QuillnetSim::Simulator(config));
    QVERIFY(mSimulator->listen(0));
    mFeed.reset(new HomeScreen::EventFeedService);
    connect(mFeed.get(), &HomeScreen::EventFeedService::changeReported, this,
            [this](const QString &line) { mChanges << line; });
    mLog.clear();
    mChanges.clear();
}

void TestNewsFeedProcess::cleanup()
{
    if (mDaemon)
        stopDaemon();
    mFeed.reset();
    mSimulator.reset();
    mHome.reset();
}

void TestNewsFeedProcess::writeAccount(bool newsOn)
{
    const QString dir = mHome->path() + QStringLiteral("/config/quillnet");
    QVERIFY(QDir().mkpath(dir));
    QFile file(dir + QStringLiteral("/account.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[account]\nname=e2e@quillnet.example\nenabled=true\nservice_url=" + mSimulator->baseUrl().toEncoded()
               + "\nrefresh_token=" + mSimulator->refreshToken().toUtf8()
               + "\n[services]\nIM=false\n[settings]\nqn-notif_main=false\nqn-news_main=" + (newsOn ? "true" : "false")
               + "\n");
}

void TestNewsFeedProcess::startDaemon()
{
    mDaemon.reset(new QProcess);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), mHome->path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), mHome->path() + QStringLiteral("/config"));
    env.remove(QStringLiteral("XDG_CACHE_HOME"));
    // The engineering English texts.
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    mDaemon->setProcessEnvironment(env);
    connect(mDaemon.get(), &QProcess::readyReadStandardError, this,
            [this] { mLog += mDaemon->readAllStandardError(); });
    mDaemon->start(QStringLiteral(DAEMON_BINARY), {QStringLiteral("--debug")});
    QVERIFY(mDaemon->waitForStarted());
}

void TestNewsFeedProcess::stopDaemon()
{
    mDaemon->terminate();
    mDaemon->waitForFinished(10000);
    mDaemon.reset();
}

bool TestNewsFeedProcess::waitForPass(int timeoutMs)
{
    const QByteArray marker = "void QuillnetDaemon::onEventsFeedUpdated()";
    const int seen = mLog.count(marker);
    QElapsedTimer clock;
    clock.start();
    while (mLog.count(marker) == seen && clock.elapsed() < timeoutMs)
        QTest::qWait(50);
    return mLog.count(marker) > seen;
}

void TestNewsFeedProcess::callControl(const char *method)
{
    const QDBusMessage reply = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
            ControlName, QStringLiteral("/quillnetveldo"), ControlName, QLatin1String(method)));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
}

QStringList TestNewsFeedProcess::expectedPostIds() const
{
    QStringList ids;
    for (const Qn::QnPost &post : mSimulator->posts()) {
        if (post.application() != QuillnetSim::Simulator::excludedApplicationId())
            ids << post.id();
    }
    return ids;
}

QMap<QString, QVariantMap> TestNewsFeedProcess::itemsByPost() const
{
    // The post id travels in the item's action: the Base64 of a streamed variant holding it.
    QMap<QString, QVariantMap> byPost;
    for (const QVariantMap &item : mFeed->items()) {
        const QString action = item.value(QStringLiteral("action")).toString();
        QByteArray streamed = QByteArray::fromBase64(action.section(QLatin1Char(' '), 4).toLatin1());
        QDataStream stream(&streamed, QIODevice::ReadOnly);
        QVariant id;
        stream >> id;
        byPost.insert(id.toString(), item);
    }
    return byPost;
}

void TestNewsFeedProcess::feedArrivesChangesShrinksAndSurvivesARestart()
{
    QVERIFY(mFeed->registerOnBus());
    writeAccount(true);
    startDaemon();

    // The first wake-up publishes the feed.
    QVERIFY2(waitForPass(FirstPassMs), mLog.right(2000).constData());
    const QStringList expected = expectedPostIds();
    QMap<QString, QVariantMap> items = itemsByPost();
    QStringList published = items.keys();
    QStringList sortedExpected = expected;
    published.sort();
    sortedExpected.sort();
    QCOMPARE(published, sortedExpected);
    for (const Qn::QnPost &post : mSimulator->posts()) {
        if (!items.contains(post.id()))
            continue;
        const QVariantMap item = items.value(post.id());
        QCOMPARE(item.value(QStringLiteral("sourceName")).toString(), QStringLiteral("Quillnet"));
        QVERIFY2(QFileInfo::exists(item.value(QStringLiteral("icon")).toString()), qPrintable(post.id()));
        // Check-ins show no picture; other posts with one do.
        const bool picture = !post.picture().isEmpty() && post.type() != QLatin1String("checkin");
        QCOMPARE(item.contains(QStringLiteral("imageList")), picture);
        // Footers say what the counts say.
        const QString footer = item.value(QStringLiteral("footer")).toString();
        QCOMPARE(footer.isEmpty(), post.likes() == 0 && post.commentCount() == 0);
        if (post.likes() > 0)
            QVERIFY2(footer.contains(QString::number(post.likes())), qPrintable(footer));
        if (post.commentCount() > 0)
            QVERIFY2(footer.contains(QString::number(post.commentCount())), qPrintable(footer));
    }
    // One of the simulator's posts carries characters that must arrive escaped, and intact.
    QString special;
    for (const Qn::QnPost &post : mSimulator->posts()) {
        if (post.message().startsWith(QLatin1String("Fish & chips")))
            special = post.id();
    }
    QVERIFY(!special.isEmpty());
    QCOMPARE(items.value(special).value(QStringLiteral("body")).toString(),
             QStringLiteral("Fish &amp; chips &lt;tonight&gt; at &quot;Joe&apos;s&quot;"));

    // A like, then a sync from another program: one update, nothing else.
    const QString liked = expected.first();
    QVERIFY(mSimulator->likePost(liked));
    mChanges.clear();
    callControl("sync");
    QVERIFY(waitForPass(20000));
    // Updates are not waited for by the daemon: the change may come after its pass ended.
    QTRY_COMPARE(mChanges.size(), 1);
    QVERIFY2(mChanges.first().startsWith(QStringLiteral("updated ")), qPrintable(mChanges.first()));
    QVERIFY(itemsByPost()
                    .value(liked)
                    .value(QStringLiteral("footer"))
                    .toString()
                    .contains(QString::number(mSimulator->posts().first().likes())));

    // A post that left the feed: one removal.
    const QString gone = expected.at(3);
    QVERIFY(mSimulator->removePost(gone));
    mChanges.clear();
    callControl("sync");
    QVERIFY(waitForPass(20000));
    QTRY_COMPARE(mChanges.size(), 1);
    QVERIFY2(mChanges.first().startsWith(QStringLiteral("removed ")), qPrintable(mChanges.first()));
    QVERIFY(!itemsByPost().contains(gone));
    const int shown = mFeed->items().size();

    // A restart publishes nothing twice.
    stopDaemon();
    mChanges.clear();
    const int restartedAt = mLog.size();
    startDaemon();
    QVERIFY(waitForPass(FirstPassMs));
    // The pass decided on nothing to add, update or remove (the feed's own lines may lag behind).
    for (const char *decision : {"Adding post", "Updating post", "removed from events feed"})
        QVERIFY2(!mLog.mid(restartedAt).contains(decision), decision);
    QCOMPARE(mChanges, QStringList());
    QCOMPARE(mFeed->items().size(), shown);

    // News switched off in the account file: every item goes. On again, the next sync brings all back.
    writeAccount(false);
    QTRY_COMPARE_WITH_TIMEOUT(mFeed->items().size(), 0, 10000);
    const int switchedOn = mLog.count("\"qn-news_main\" true");
    writeAccount(true);
    QTRY_VERIFY_WITH_TIMEOUT(mLog.count("\"qn-news_main\" true") > switchedOn, 10000);
    callControl("sync");
    QVERIFY(waitForPass(20000));
    QCOMPARE(mFeed->items().size(), shown);
}

void TestNewsFeedProcess::absentEventFeedEndsThePassAndALaterOnePublishesAll()
{
    // No Event Feed on the bus: the pass must not wait for it post by post.
    writeAccount(true);
    startDaemon();
    QElapsedTimer clock;
    QTRY_VERIFY_WITH_TIMEOUT(mLog.contains("void QuillnetDaemon::onQnInitialized()"), 20000);
    clock.start();
    QVERIFY2(waitForPass(FirstPassMs), mLog.right(2000).constData());
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));

    QVERIFY(mFeed->registerOnBus());
    callControl("sync");
    QVERIFY(waitForPass(20000));
    QCOMPARE(mFeed->items().size(), expectedPostIds().size());
}

QTEST_GUILESS_MAIN(TestNewsFeedProcess)
#include "tst_newsfeedprocess.moc"
