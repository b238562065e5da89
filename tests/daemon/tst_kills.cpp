// The real daemon ended with SIGKILL at each step of a publishing pass, a notification cycle (and
// after a seen mark was answered) and a friend import, then started again: what the peers hold
// afterwards, what the databases hold, and that the next run completes. The fakes stop the daemon at
// a precise step of its calls to them; the log marks the steps that are not calls.
#include <QDBusArgument>
#include <QDeadlineTimer>
#include <QTest>

#include <algorithm>
#include <memory>

#include <signal.h>

#include "daemon/daemonrun.h"
#include "database/databaseinspector.h"
#include "fakes/fakeeventfeed.h"
#include "fakes/fakenotificationserver.h"
#include "feeditems.h"
#include "homescreen/contactsview.h"
#include "quillnet-sim/simulator.h"
#include "simclient.h"

namespace {

using namespace DaemonLog;

// Login and the first downloads of a fresh world; generous for the sanitizer build.
constexpr int RunMs = 40000;
const QString EventTypeHint = QStringLiteral("x-tarvo-event-type");
const QString &Requests = Constants::FriendRequestEventType;
const QString &General = Constants::NotificationsEventType;

// Where the kill lands, seen from the peer that receives the call.
enum Step {
    BeforeCall, // the call never reaches the peer: the daemon died just before sending it
    Answered, // the peer acted and answered; the daemon died before it recorded the answer
    AfterRecord, // the daemon recorded what the answer gave, and died before its next call
};

bool isNotify(const QDBusMessage &call, const QString &eventType, bool banner)
{
    if (call.member() != QLatin1String("Notify") || call.arguments().size() != 8)
        return false;
    const QVariantMap hints = qdbus_cast<QVariantMap>(call.arguments().at(6));
    return hints.value(EventTypeHint).toString() == eventType
            && hints.value(QStringLiteral("transient")).toBool() == banner;
}

// Polls the database from the fake's thread (the daemon is another process: nothing blocks it but
// the short read lock of each poll) until the statement gives a row.
void waitForRow(Inspector &database, const QString &statement)
{
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::usleep(200)) {
        const QList<QVariantList> rows = database.rows(statement);
        if (!rows.isEmpty() && !rows.first().value(0).toString().startsWith(QLatin1String("query failed")))
            return;
    }
}

// Notify calls the server took and answered, or notifications open on it, of the kind.
int countNotify(const QList<FakeNotificationCall> &calls, const QString &eventType, bool banner)
{
    return int(std::count_if(calls.cbegin(), calls.cend(), [&](const FakeNotificationCall &call) {
        return call.member == QLatin1String("Notify") && call.id != 0
                && call.hints.value(EventTypeHint).toString() == eventType
                && call.hints.value(QStringLiteral("transient")).toBool() == banner;
    }));
}

} // namespace

class TestKills : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QuillnetSim::SimConfig config;
        config.posts = 20;
        config.friends = 120;
        mSimulator.reset(new QuillnetSim::Simulator(config));
        QVERIFY(mSimulator->listen(0));
        mDaemon.reset(new DaemonRun);
        mKilled = false;
    }

    void cleanup()
    {
        unhook();
        mDaemon.reset();
        mFeed.stop();
        mServer.stop();
        mSimulator.reset();
    }

    void publishingPass_data()
    {
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("step");
        // The add whose post the Event Feed shows twice after the restart; 0 for none.
        QTest::addColumn<int>("twice");

        // After the pass's clear of the Event Feed.
        QTest::newRow("before the first add") << 1 << int(BeforeCall) << 0;
        // Nothing of the batch is recorded: the next pass clears the feed and adds everything anew.
        QTest::newRow("first add answered, no row") << 1 << int(Answered) << 0;
        QTest::newRow("before the fifth add") << 5 << int(BeforeCall) << 0;
        // The window of "call the peer, then record it".
        QTest::newRow("fifth add answered, no row") << 5 << int(Answered) << 5;
        QTest::newRow("after the fifth row") << 5 << int(AfterRecord) << 0;
    }

    void publishingPass()
    {
        QFETCH(int, n);
        QFETCH(int, step);
        QFETCH(int, twice);

        QVERIFY(mFeed.start());
        QVERIFY(mDaemon->writeAccount(*mSimulator, Switches::NewsOnly));
        mFeed.run([&](FakeEventFeed &feed) {
            feed.onCall = killAt(
                    feed, n, Step(step),
                    [](const QDBusMessage &call) { return call.member() == QLatin1String("addItem"); },
                    [&feed] {
                        return QStringLiteral("SELECT 1 FROM items WHERE homeview_id = %1").arg(feed.items().lastKey());
                    });
        });
        QVERIFY(startAndSync());
        QTRY_VERIFY_WITH_TIMEOUT(mKilled, RunMs);
        QVERIFY(mDaemon->kill());
        const QStringList firstRun = postIds(mFeed.items());
        unhook();

        QVERIFY(startAndSync());
        QVERIFY2(mDaemon->waitForNext(PassEnd, RunMs), mDaemon->tail().constData());

        // Every post of the feed once, but for the one whose add fell into the window.
        const QStringList expected = Expected::feedPosts(*mSimulator);
        const QMap<qlonglong, QVariantMap> items = mFeed.items();
        QStringList shown = postIds(items);
        QCOMPARE(shown.removeDuplicates(), twice ? 1 : 0);
        if (twice)
            QCOMPARE(postIds(items).count(firstRun.value(twice - 1)), 2);
        shown.sort();
        QCOMPARE(shown, expected);

        // One row per post, naming an item that shows that post.
        Inspector database(databasePath());
        QStringList recorded;
        for (const QVariantList &row : database.rows(QStringLiteral("SELECT quillnet_id, homeview_id FROM items"))) {
            recorded << row.value(0).toString();
            QCOMPARE(postIds({{0, items.value(row.value(1).toLongLong())}}), QStringList {recorded.last()});
        }
        recorded.sort();
        QCOMPARE(recorded, expected);
        checkAlive(database);
    }

    void notificationCycle_data()
    {
        // The kind acted on, its group or its banner (the notification inside the group), the step; an
        // empty kind: the kill comes after the cycle and an answered seen mark.
        QTest::addColumn<QString>("eventType");
        QTest::addColumn<bool>("banner");
        QTest::addColumn<int>("step");
        // Groups of the kind open on the server after the restart, and its banners over both runs.
        QTest::addColumn<int>("groups");
        QTest::addColumn<int>("banners");

        QTest::newRow("before the group") << Requests << false << int(BeforeCall) << 1 << 1;
        // The group is on the server, but not in the daemon's record of what it published.
        QTest::newRow("group answered, not recorded") << Requests << false << int(Answered) << 2 << 1;
        QTest::newRow("before the banner") << Requests << true << int(BeforeCall) << 1 << 1;
        // "Publish, then mark shown": the banner comes again.
        QTest::newRow("banner answered, not marked") << Requests << true << int(Answered) << 1 << 2;
        QTest::newRow("after the cycle and a seen mark") << QString() << false << int(AfterRecord) << 1 << 1;
    }

    void notificationCycle()
    {
        QFETCH(QString, eventType);
        QFETCH(bool, banner);
        QFETCH(int, step);
        QFETCH(int, groups);
        QFETCH(int, banners);

        QVERIFY(mServer.start({QStringLiteral("body"), QStringLiteral("actions")}));
        QVERIFY(mDaemon->writeAccount(*mSimulator, Switches::NotificationsOnly));
        if (!eventType.isEmpty()) {
            mServer.run([&](FakeNotificationServer &server) {
                server.onCall = killAt(server, 1, Step(step), [eventType, banner](const QDBusMessage &call) {
                    return isNotify(call, eventType, banner);
                });
            });
        }
        QVERIFY(startAndSync());
        const QString seen = mSimulator->friendRequests().first().id();
        if (eventType.isEmpty()) {
            QVERIFY(mDaemon->waitForNext(CycleEnd, RunMs));
            // Once the caller has its answer, a seen mark is kept whatever happens to the daemon (that
            // the next publication leaves it out is tst_faults' verifyOutcome).
            QVERIFY(mDaemon->callControl("itemSeen", {seen, QStringLiteral("friendreq")}));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(mKilled, RunMs);
        }
        QVERIFY(mDaemon->kill());
        if (eventType.isEmpty())
            QCOMPARE(Inspector(databasePath())
                             .column(QStringLiteral("SELECT type FROM seen_items WHERE id = '%1'").arg(seen)),
                     QVariantList {QStringLiteral("friendreq")});
        unhook();

        QVERIFY(startAndSync());
        QVERIFY2(mDaemon->waitForNext(CycleEnd, RunMs), mDaemon->tail().constData());

        // The general notifications, published before the friend requests, are not told again.
        const QList<FakeNotificationCall> calls = mServer.calls();
        QCOMPARE(countNotify(calls, General, true), 1);
        QCOMPARE(countNotify(calls, Requests, true), banners);
        QList<FakeNotificationCall> open = mServer.shown().values();
        QCOMPARE(countNotify(open, Requests, false), groups);

        // Every friend request is marked shown once.
        Inspector database(databasePath());
        QStringList requests = idsOf(mSimulator->friendRequests());
        requests.sort();
        QCOMPARE(QVariant(database.column(
                                  QStringLiteral("SELECT id FROM shown_items WHERE type = 'friendreq' ORDER BY id")))
                         .toStringList(),
                 requests);
        checkAlive(database);
    }

    void friendImport_data()
    {
        // The log line after which the kill comes, and what the service holds back meanwhile, so that
        // the kill lands before the next page or the statuses.
        QTest::addColumn<QByteArray>("marker");
        QTest::addColumn<QString>("held");

        QTest::newRow("between friend pages") << QByteArray("More friends needed..") << QStringLiteral("page");
        QTest::newRow("friends stored, statuses pending")
                << QByteArray("All friends received, starting status retrieval") << QStringLiteral("/statuses/latest");
        QTest::newRow("after the import") << FriendsEnd << QString();
    }

    void friendImport()
    {
        QFETCH(QByteArray, marker);
        QFETCH(QString, held);

        const QString pages = QStringLiteral("/users/%1/friends").arg(mSimulator->me().id());
        if (held == QLatin1String("page")) {
            mSimulator->injectFault(pages, QuillnetSim::Simulator::Delay, 0);
            mSimulator->injectFault(pages, QuillnetSim::Simulator::Delay, 2 * RunMs);
        } else if (!held.isEmpty()) {
            mSimulator->injectFault(held, QuillnetSim::Simulator::Delay, 2 * RunMs, 100);
        }
        QVERIFY(mDaemon->writeAccount(*mSimulator, Switches::Nothing, "IM=true\n"));
        // The first wake-up imports the friends.
        QVERIFY(mDaemon->start());
        QVERIFY2(mDaemon->waitForNext(marker, RunMs), mDaemon->tail().constData());
        QVERIFY(mDaemon->kill());
        mSimulator->clearFaults();

        const qsizetype restartedAt = mDaemon->log.size();
        QVERIFY(mDaemon->start());
        QVERIFY2(mDaemon->waitForNext(FriendsEnd, RunMs), mDaemon->tail().constData());
        QVERIFY2(mDaemon->log.mid(restartedAt).contains(FriendsEnd + " true"), mDaemon->tail().constData());

        // The client cache holds each friend once, in the service's order.
        const QStringList friends = idsOf(mSimulator->friends());
        Inspector cache(clientCachePath());
        QCOMPARE(QVariant(cache.column(QStringLiteral("SELECT friend_id FROM friends ORDER BY position")))
                         .toStringList(),
                 friends);
        QCOMPARE(cache.column(QStringLiteral("PRAGMA integrity_check")), QVariantList {QStringLiteral("ok")});

        // The contacts service is given each friend once.
        HomeScreen::ContactsView contacts;
        QStringList lines;
        connect(&contacts, &HomeScreen::ContactsView::changeReported, this,
                [&lines](const QString &line) { lines << line; });
        QVERIFY(contacts.start());
        QTRY_VERIFY_WITH_TIMEOUT(lines.contains(QStringLiteral("contacts %1").arg(friends.size())), 10000);
        QStringList served;
        for (const QString &line : lines.mid(0, lines.indexOf(QStringLiteral("contacts %1").arg(friends.size())))) {
            if (line.startsWith(QLatin1String("contact ")))
                served << line.section(QLatin1Char(' '), 1, 1);
        }
        served.removeDuplicates();
        QCOMPARE(served.size(), friends.size());

        Inspector database(databasePath());
        checkAlive(database);
    }

private:
    QString databasePath() const { return mDaemon->home() + QStringLiteral("/.quillnet/qndaemon-cache.db"); }
    QString clientCachePath() const { return mDaemon->home() + QStringLiteral("/.quillnet/private/qncache.db"); }
    // Starts the daemon and, once it is logged in, asks for a sync (the first wake-up may come
    // earlier: hooks are set before the start).
    bool startAndSync()
    {
        if (!mDaemon->start())
            return false;
        mPid = mDaemon->pid();
        if (!mDaemon->waitForNext(Initialized, RunMs))
            return false;
        // Unanswered when the first wake-up came first and a hook has ended the daemon already.
        mDaemon->callControl("sync");
        return true;
    }
    // A hook for the fake (run on its thread) that kills the daemon at step of the nth call that
    // which accepts; after the record, once the statement that recorded gives has a row.
    template<typename Fake>
    std::function<void(const QDBusMessage &, bool)> killAt(Fake &fake, int n, Step step,
                                                           const std::function<bool(const QDBusMessage &)> &which,
                                                           const std::function<QString()> &recorded = nullptr)
    {
        const QString path = databasePath();
        int seen = 0;
        return [=, this, &fake](const QDBusMessage &call, bool answered) mutable {
            if (mKilled || !which(call))
                return;
            if (!answered)
                ++seen;
            if (seen != n)
                return;
            switch (step) {
            case BeforeCall:
                fake.hung = true;
                break;
            case Answered:
                // Stopped while it waits, so that it never reads the answer.
                if (!answered) {
                    ::kill(pid_t(mPid.load()), SIGSTOP);
                    return;
                }
                break;
            case AfterRecord:
                if (!answered) {
                    mHookDatabase = std::make_shared<Inspector>(path);
                    return;
                }
                waitForRow(*mHookDatabase, recorded());
                // Whatever the daemon sends next is the call the kill lands before.
                fake.hung = true;
                break;
            }
            ::kill(pid_t(mPid.load()), SIGKILL);
            mKilled = true;
        };
    }
    // Takes the hooks, and their database connection, off the fakes; calls are answered again.
    void unhook()
    {
        // On the fakes' threads, where the hooks run and their connection was opened.
        const auto clear = [this](auto &fake) {
            fake.onCall = nullptr;
            fake.hung = false;
            mHookDatabase.reset();
        };
        mFeed.run(clear);
        mServer.run(clear);
    }
    // Sanity of the daemon database after a run, and that the daemon is still alive.
    void checkAlive(Inspector &database)
    {
        QVERIFY2(mDaemon->isRunning(), mDaemon->tail().constData());
        QCOMPARE(database.column(QStringLiteral("PRAGMA integrity_check")), QVariantList {QStringLiteral("ok")});
    }
    // The post id of each Event Feed item, in the order of the items.
    static QStringList postIds(const QMap<qlonglong, QVariantMap> &items)
    {
        QStringList ids;
        for (const QVariantMap &item : items)
            ids << postIdOf(item);
        return ids;
    }

    std::unique_ptr<QuillnetSim::Simulator> mSimulator;
    std::unique_ptr<DaemonRun> mDaemon;
    FakeEventFeedThread mFeed;
    FakeNotificationServerThread mServer;
    std::shared_ptr<Inspector> mHookDatabase;
    // The daemon the hooks act on; set by the test's thread, read on the fakes'.
    std::atomic<qint64> mPid {0};
    // Written on the fake's thread once the hook acted.
    std::atomic_bool mKilled {false};
};

QTEST_GUILESS_MAIN(TestKills)
#include "tst_kills.moc"
