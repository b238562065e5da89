// The news feed end to end: the real daemon binary, the simulated service and the reference home
// screen Event Feed, with the control interface driven over the bus as other programs would.
#include <QFileInfo>
#include <QTest>

#include <memory>

#include "daemon/daemonrun.h"
#include "feeditems.h"
#include "homescreen/eventfeedservice.h"
#include "quillnet-sim/simulator.h"

namespace {

// The first wake-up comes within 10 s of the login; a pass over a fresh world downloads every picture.
constexpr int FirstPassMs = 40000;
// Logged at the end of each publishing pass that a network import started.
const QByteArray PassEnd = "void QuillnetDaemon::onEventsFeedUpdated()";

} // namespace

class TestNewsFeedProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void feedArrivesChangesAndSurvivesARestart();

private:
    bool writeAccount(bool newsOn)
    {
        return mDaemon->writeAccount(mSimulator->baseUrl(), mSimulator->refreshToken(),
                                     QByteArray("qn-notif_main=false\nqn-news_main=")
                                             + (newsOn ? "true\n" : "false\n"));
    }
    // The simulator's posts that the feed must show: its feed minus the excluded application.
    QStringList expectedPostIds() const;
    QMap<QString, QVariantMap> itemsByPost() const;

    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<HomeScreen::EventFeedService> mFeed;
    std::unique_ptr<DaemonRun> mDaemon;
    QStringList mChanges;
};

void TestNewsFeedProcess::init()
{
    QuillnetSim::SimConfig config;
    // Fewer posts than one feed page: the first pass downloads less.
    config.posts = 20;
    mSimulator.reset(new QuillnetSim::Simulator(config));
    QVERIFY(mSimulator->listen(0));
    mFeed.reset(new HomeScreen::EventFeedService);
    connect(mFeed.get(), &HomeScreen::EventFeedService::changeReported, this,
            [this](const QString &line) { mChanges << line; });
    mChanges.clear();
    mDaemon.reset(new DaemonRun);
}

void TestNewsFeedProcess::cleanup()
{
    mDaemon.reset();
    mFeed.reset();
    mSimulator.reset();
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
    QMap<QString, QVariantMap> byPost;
    for (const QVariantMap &item : mFeed->items())
        byPost.insert(postIdOf(item), item);
    return byPost;
}

void TestNewsFeedProcess::feedArrivesChangesAndSurvivesARestart()
{
    // What each item holds is the handler test's, and a switch in the account file is the
    // notification process test's; here the daemon's own wiring of the feed.
    QVERIFY(mFeed->registerOnBus());
    QVERIFY(writeAccount(true));
    QVERIFY(mDaemon->start());

    // The first wake-up publishes the feed, with the avatars in the daemon's cache.
    QVERIFY2(mDaemon->waitForNext(PassEnd, FirstPassMs), mDaemon->log.right(2000).constData());
    const QStringList expected = expectedPostIds();
    QStringList published = itemsByPost().keys();
    QStringList sortedExpected = expected;
    published.sort();
    sortedExpected.sort();
    QCOMPARE(published, sortedExpected);
    for (const QVariantMap &item : mFeed->items())
        QVERIFY(QFileInfo::exists(item.value(QStringLiteral("icon")).toString()));

    // A like, then a sync from another program: one update, nothing else (removals are the handler
    // test's).
    const QString liked = expected.first();
    QVERIFY(mSimulator->likePost(liked));
    mChanges.clear();
    QVERIFY(mDaemon->callControl("sync"));
    QVERIFY(mDaemon->waitForNext(PassEnd, 20000));
    // Updates are not waited for by the daemon: the change may come after its pass ended.
    QTRY_COMPARE(mChanges.size(), 1);
    QVERIFY2(mChanges.first().startsWith(QStringLiteral("updated ")), qPrintable(mChanges.first()));

    const int shown = mFeed->items().size();

    // A restart publishes nothing twice.
    mDaemon->stop();
    mChanges.clear();
    const qsizetype restartedAt = mDaemon->log.size();
    QVERIFY(mDaemon->start());
    QVERIFY(mDaemon->waitForNext(PassEnd, FirstPassMs));
    // The pass decided on nothing to add, update or remove (the feed's own lines may lag behind).
    for (const char *decision : {"Adding post", "Updating post", "removed from events feed"})
        QVERIFY2(!mDaemon->log.mid(restartedAt).contains(decision), decision);
    QCOMPARE(mChanges, QStringList());
    QCOMPARE(mFeed->items().size(), shown);
}

QTEST_GUILESS_MAIN(TestNewsFeedProcess)
#include "tst_newsfeedprocess.moc"
