// The news feed import from end to end: the simulated service, the client with its cache, the
// daemon's database and a fake Event Feed on the private bus.
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "common/constants.h"
#include "common/utils.h"
#include "database/daemondatabase.h"
#include "database/databaseinspector.h"
#include "eventfeed/eventfeedhandler.h"
#include "eventfeedinterface.h"
#include "fakes/fakeeventfeed.h"
#include "feeditems.h"
#include "platform/system/helper.h"
#include "simclient.h"

static const QString AddCall = QStringLiteral("addItem a{sv}");
static const QString UpdateCall = QStringLiteral("updateItem xa{sv}");
static const QString RemoveCall = QStringLiteral("removeItem x");
static const QString ClearCall = QStringLiteral("removeItemsBySourceName s");
static const QString TimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

static bool isExcluded(const Qn::QnPost &post)
{
    return post.application() == Constants::ExcludedApplicationId;
}

class TestEventfeedHandler : public QObject, public SimClientFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Local time differs from UTC, so that the conversion shows.
        qputenv("TZ", "Europe/Berlin");
        qputenv("QUILLNET_TRANSLATIONS_DIR", QUILLNET_TRANSLATIONS_BUILD_DIR);
        QLocale::setDefault(QLocale::c());
        QVERIFY(mHelper.setLocale(QStringLiteral("quillnet")));
    }

    void init()
    {
        QVERIFY(start());
        mDb = std::make_unique<DaemonDatabase>(dbFile());
        QVERIFY(mDb->init());
        QVERIFY(mFeed.start());
        mProxy = std::make_unique<ComTarvoHomeEventFeedInterface>(QStringLiteral("com.tarvo.home.EventFeed"),
                                                                  QStringLiteral("/eventfeed"),
                                                                  QDBusConnection::sessionBus());
        mHandler = std::make_unique<EventfeedHandler>();
        QVERIFY(mHandler->init(mClient.get(), mProxy.get(), mDb.get()));
    }

    void cleanup()
    {
        mHandler.reset();
        mProxy.reset();
        mFeed.stop();
        mDb.reset();
        stop();
    }

    void networkImportPublishesTheFeed()
    {
        // Picture addresses as a hostile service might send them: such addresses never reach the
        // client, which would refuse them with a warning.
        for (const char *address : {"file:///etc/passwd", "ftp://127.0.0.1/x.png", "javascript:alert(1)"}) {
            Qn::QnPost local;
            local.setFrom(mSim->friends().at(3).ref());
            local.setType(QStringLiteral("photo"));
            local.setPicture(QLatin1String(address));
            QVERIFY(mSim->addPost(local).isValid());
        }
        QTest::failOnWarning(QRegularExpression(QStringLiteral("refusing address")));

        QVERIFY(networkImport());

        // Nothing was published before: the old items go, then the posts come, oldest first, each with
        // its avatar and picture, each downloaded once however many posts share it.
        QStringList expected, published;
        const QMap<QString, QVariantMap> items = itemsByPost();
        for (const Qn::QnPost &post : servicePage()) {
            const bool withImage = post.picture().startsWith(QLatin1String("http")) && post.type() != "checkin";
            if (!post.picture().isEmpty())
                QCOMPARE(mSim->requestCount(QUrl(post.picture()).path()), int(withImage && !isExcluded(post)));
            if (isExcluded(post))
                continue;
            expected.prepend(post.id());
            QCOMPARE(mSim->requestCount(QStringLiteral("/users/%1/picture").arg(post.from().id())), 1);
            const QVariantMap item = items.value(post.id());
            // The action, body, icon, source names, timestamp and title; a footer when it has one.
            QCOMPARE(item.size(), 7 + int(post.likes() + post.commentCount() > 0) + int(withImage));
            QVERIFY(QFileInfo(item.value("icon").toString()).isFile());
            QCOMPARE(item.value("sourceName").toString(), QStringLiteral("Quillnet"));
            QCOMPARE(item.value("sourceDisplayName").toString(), QStringLiteral("Quillnet"));
            if (withImage) {
                // Named after its real format already.
                const QStringList images = item.value("imageList").toStringList();
                QString renamed = images.value(0);
                Utils::fixImageSuffix(renamed);
                QCOMPARE(images, QStringList({renamed, QString(), QString()}));
                QVERIFY(QFileInfo(renamed).isFile());
            }
        }
        QVERIFY(expected.size() < EventfeedHandler::FeedLimit);
        QCOMPARE(mFeed.calls(), QStringList {ClearCall} + QStringList(expected.size(), AddCall));
        for (const QVariantMap &item : mFeed.items())
            published << postIdOf(item);
        QCOMPARE(published, expected);

        // Downloads that fail end the wait too. The service has no picture of this author, nor the
        // picture of the other post.
        const Qn::QnUser stranger(QStringLiteral("100000000009999"), QStringLiteral("Stranger"));
        Qn::QnPost post;
        post.setFrom(stranger.ref());
        const QString id = mSim->addPost(post).id();
        Qn::QnPost gone;
        gone.setFrom(mSim->friends().first().ref());
        gone.setPicture(mSim->baseUrl().toString() + QStringLiteral("/pictures/gone.png"));
        const QString goneId = mSim->addPost(gone).id();
        mFeed.clearCalls();

        // Both downloads fail: the pass runs at once. The post without avatar is skipped, the other
        // comes without its picture.
        QSignalSpy failed(mClient.get(), &Qn::Quillnet::requestFailed);
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("Missing avatar for post \"%1\" skipping").arg(id)));
        QVERIFY(networkImport());
        QCOMPARE(failed.count(), 2);
        QCOMPARE(mFeed.calls(), QStringList {AddCall});
        QVERIFY(!itemsByPost().value(goneId).contains(QStringLiteral("imageList")));

        // Not recorded: once the author has a picture, the next pass publishes the post.
        QVERIFY(mSim->addFriend(stranger));
        mFeed.clearCalls();
        QVERIFY(networkImport());
        QCOMPARE(mFeed.calls(), QStringList {AddCall});
        QCOMPARE(itemsByPost().value(id).value("title").toString(), QStringLiteral("Stranger"));
    }

    void changesReachTheEventFeed()
    {
        mHandler->setEnabled(true);
        QVERIFY(networkImport());
        const QStringList published = itemsByPost().keys();

        // The home screen restarts: its new instance gives out the same ids again. The feed comes back
        // from the cache at once, and no old id is sent to the new instance: its items change below.
        mFeed.stop();
        QVERIFY(mFeed.start());
        QTRY_VERIFY(republished(published));
        QCOMPARE(mFeed.calls(), QStringList {ClearCall} + QStringList(published.size(), AddCall));

        // A like more; both counts down to zero, which leaves the old footer in place. The unchanged
        // posts: not a single call.
        mFeed.clearCalls();
        const Qn::QnPosts page = servicePage();
        const Qn::QnPost commented = page.at(0), liked = page.at(1);
        QCOMPARE(liked.likes(), 1);
        QVERIFY(mSim->likePost(commented.id()) && mSim->likePost(liked.id(), -1));
        QVERIFY(networkImport());
        QCOMPARE(mFeed.calls(), QStringList({UpdateCall, UpdateCall}));
        QCOMPARE(itemsByPost().value(commented.id()).value("footer").toString(), QStringLiteral("1 like, 2 comments"));
        QCOMPARE(itemsByPost().value(liked.id()).value("footer").toString(), QStringLiteral("1 like"));

        // A deleted post goes; the one that moves up into the page comes.
        const Qn::QnPost deleted = page.at(5);
        QVERIFY(mSim->removePost(deleted.id()));
        mFeed.clearCalls();
        QVERIFY(networkImport());
        const Qn::QnPost movedUp = servicePage().last();
        QCOMPARE(mFeed.calls(),
                 QStringList {RemoveCall} + (isExcluded(movedUp) ? QStringList() : QStringList {AddCall}));
        const QMap<QString, QVariantMap> now = itemsByPost();
        QVERIFY(!now.contains(deleted.id()));
        QCOMPARE(now.contains(movedUp.id()), !isExcluded(movedUp));

        // A rebuilt database: the items go, and come back from the cache only while switched on.
        mHandler->setEnabled(false);
        mFeed.clearCalls();
        emit mDb->dbReseted();
        QCOMPARE(mFeed.calls(), QStringList {ClearCall});
        mHandler->setEnabled(true);
        emit mDb->dbReseted();
        QTRY_VERIFY(republished(now.keys()));
        // Rebuilt while an import runs: published again once that import is over, and only once.
        QVERIFY(mHandler->startNewsfeedImport(false));
        emit mDb->dbReseted();
        QTRY_VERIFY(republished(now.keys()) && !mHandler->isImporting());

        // Switched off while the service is still answering: the import ends, and its items are
        // withdrawn and forgotten. On again, the next import publishes everything anew.
        QSignalSpy answered(mClient.get(), &Qn::Quillnet::newsFeedRetrieved);
        QSignalSpy imported(mHandler.get(), &EventfeedHandler::eventsfeedImported);
        QVERIFY(mHandler->startNewsfeedImport(false));
        mHandler->clear();
        QCOMPARE(mFeed.items(), (QMap<qlonglong, QVariantMap>()));
        mFeed.clearCalls();
        QVERIFY(answered.wait());
        QVERIFY(!safetyTimer()->isActive());
        QCOMPARE(mFeed.calls(), QStringList());
        QCOMPARE(imported.count(), 0);
        QVERIFY(networkImport());
        QCOMPARE(mFeed.calls(), QStringList {ClearCall} + QStringList(now.size(), AddCall));
        QCOMPARE(itemsByPost().keys(), now.keys());
    }

    void repeatedPostIsPublishedOnce()
    {
        // The simulated service never repeats a post; the answer comes from here instead of its own.
        mSim->injectFault(feedPath(), QuillnetSim::Simulator::HttpStatus, 503);
        const Qn::QnPosts page = servicePage();
        const Qn::QnPosts answer {page.at(0), page.at(1), page.at(0), page.at(2), page.at(1), page.at(1)};
        QSignalSpy imported(mHandler.get(), &EventfeedHandler::eventsfeedImported);
        QVERIFY(mHandler->startNewsfeedImport(false));
        emit mClient->newsFeedRetrieved(answer);
        QVERIFY(imported.wait(20000));

        // Three adds, three posts: each of the answer once.
        QCOMPARE(mFeed.calls(), QStringList({ClearCall, AddCall, AddCall, AddCall}));
        QCOMPARE(itemsByPost().size(), 3);
    }

    void itemShowsThePostAsItIs_data()
    {
        QTest::addColumn<Qn::QnPost>("post");
        // The item's title, body, footer and local time (empty: the time of the pass).
        QTest::addColumn<QStringList>("shown");

        // The poster, the first recipient, the message (or else the story) and the link's texts, with
        // markup and markers as a hostile service might send them; the creation time (or else the last
        // update's).
        const auto post = [](const QString &poster, const QStringList &recipients, const QString &message,
                             const QString &story, const Qn::QnLinkInfo &link, int likes, int comments,
                             const QDateTime &created, const QDateTime &updated = QDateTime()) {
            Qn::QnPost post(QStringLiteral("p1"));
            post.setFrom(Qn::QnUserRef(QStringLiteral("100000000008888"), poster));
            Qn::QnUserRefs to;
            for (const QString &name : recipients)
                to << Qn::QnUserRef(QStringLiteral("10000000000777%1").arg(to.size()), name);
            post.setTo(to);
            post.setMessage(message);
            post.setStory(story);
            post.setLinkInfo(link);
            post.setLikes(likes);
            post.setCommentCount(comments);
            post.setCreated(created);
            post.setUpdated(updated);
            return post;
        };
        const QDateTime created(QDate(2012, 3, 4), QTime(16, 6, 7), Qt::UTC);
        const QDateTime updated(QDate(2013, 7, 1), QTime(10, 0), Qt::UTC);
        QTest::newRow("markup everywhere")
                << post("<b>O'Brien</b>", {"Zed", "Other"}, "Tom & Jerry's <b>\"show\"</b> &amp;", "story",
                        Qn::QnLinkInfo("javascript:x", QString(), "<i>cap</i>", QString()), 0, 2, created, updated)
                << QStringList {"<b>O'Brien</b> -> Zed",
                                "Tom &amp; Jerry&apos;s &lt;b&gt;&quot;show&quot;&lt;/b&gt; "
                                "&amp;amp;<br/>&lt;i&gt;cap&lt;/i&gt;",
                                "2 comments", "2012-03-04 17:06:07"};
        QTest::newRow("marker alone, updated only") << post("%1", {}, "m", QString(), {}, 1, 0, QDateTime(), updated)
                                                    << QStringList {"%1", "m", "1 like", "2013-07-01 12:00:00"};
        QTest::newRow("story, second marker in the poster, no time")
                << post("Ann %2", {"Bob"}, QString(), "Ann & Bob", Qn::QnLinkInfo("http://l", "n", QString(), "d"), 3,
                        1, QDateTime())
                << QStringList {"Ann %2 -> Bob", "Ann &amp; Bob<br/>n<br/>d", "3 likes, 1 comment", QString()};
        QTest::newRow("markers both ways, link text alone")
                << post("%2 & co", {"%1"}, QString(), QString(), Qn::QnLinkInfo(QString(), QString(), QString(), "d"),
                        0, 0, created)
                << QStringList {"%2 & co -> %1", "d", QString(), "2012-03-04 17:06:07"};
    }

    void itemShowsThePostAsItIs()
    {
        QFETCH(Qn::QnPost, post);
        QFETCH(QStringList, shown);

        QVERIFY(storeCachedFeed({post}, true));
        mSim->clearRequests();
        QSignalSpy imported(mHandler.get(), &EventfeedHandler::eventsfeedImported);
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY(mHandler->startNewsfeedImport(true));
        const QDateTime after = QDateTime::currentDateTime();
        // Everything was in the cache: the pass ran within the call and sent its add, without the
        // signal.
        QCOMPARE(mFeed.calls(), QStringList({ClearCall, AddCall}));
        QCOMPARE(imported.count(), 0);
        QVERIFY(!safetyTimer()->isActive());
        QCOMPARE(mSim->requestCount(QStringLiteral("/")), 0);

        const QVariantMap item = itemsByPost().value(post.id());
        // Plain text to the Event Feed.
        QStringList published;
        for (const char *key : {"title", "body", "footer", "timestamp"})
            published << item.value(QLatin1String(key)).toString();
        QCOMPARE(item.contains("footer"), !shown.at(2).isEmpty());
        QCOMPARE(item.value("action").toString(),
                 QStringLiteral("com.tarvo.quillnet.eventfeed /EventFeedMessage com.tarvo.quillnet.eventfeed showItem "
                                "AAAACgAAAAAEAHAAMQ=="));
        if (shown.last().isEmpty()) {
            const QDateTime time = QDateTime::fromString(published.last(), TimeFormat);
            QVERIFY2(time >= before.addMSecs(-before.time().msec()) && time <= after, qPrintable(published.last()));
            shown.last() = published.last();
        }
        QCOMPARE(published, shown);
    }

    void silentEventFeedHoldsNewPostsBack_data()
    {
        QTest::addColumn<QString>("feed");
        QTest::newRow("refusing") << "refusing";
        // The add it left unanswered is answered before the next pass, or while that pass waits for it.
        QTest::newRow("hung, answered between passes") << "hung";
        QTest::newRow("hung, answered while the next pass waits") << "hung, waited for";
        QTest::newRow("absent") << "absent";
    }

    void silentEventFeedHoldsNewPostsBack()
    {
        QFETCH(QString, feed);
        const bool hung = feed.startsWith(QLatin1String("hung"));
        const Qn::QnPosts page = servicePage();
        const int shown = int(page.size() - std::count_if(page.cbegin(), page.cend(), isExcluded));

        const QRegularExpression silent(QStringLiteral("^Event Feed did not answer, new posts wait for the next pass"));
        if (feed == QLatin1String("refusing")) {
            mFeed.run([](FakeEventFeed &fake) { fake.failAdds = true; });
            for (int i = 0; i < shown; ++i)
                QTest::ignoreMessage(QtWarningMsg, "EventFeed returned error!");
        } else {
            if (hung)
                mFeed.run([](FakeEventFeed &fake) { fake.hung = true; });
            else
                mFeed.stop();
            // Once only: the first add that gets no answer ends the adding.
            QTest::ignoreMessage(QtWarningMsg, silent);
            QTest::failOnWarning(silent);
        }
        QVERIFY(networkImport());
        if (feed != QLatin1String("absent"))
            QCOMPARE(mFeed.calls(), QStringList {ClearCall} + QStringList(hung ? 1 : shown, AddCall));

        // Back: the next pass publishes what is missing. The hung add is recorded when its answer comes,
        // and not added again.
        if (feed == QLatin1String("absent"))
            QVERIFY(mFeed.start());
        mFeed.run([&feed](FakeEventFeed &fake) {
            fake.failAdds = fake.hung = false;
            if (feed == QLatin1String("hung"))
                fake.answerHeld();
        });
        if (feed == QLatin1String("hung"))
            QTRY_COMPARE(rowCount(), 1);
        mFeed.clearCalls();
        if (feed == QLatin1String("hung, waited for")) {
            QSignalSpy imported(mHandler.get(), &EventfeedHandler::eventsfeedImported);
            QVERIFY(mHandler->startNewsfeedImport(false));
            QTRY_VERIFY_WITH_TIMEOUT(mHandler->isAdding() || !imported.isEmpty(), 20000);
            QVERIFY2(imported.isEmpty(), "the pass did not wait for the add still out");
            mFeed.run([](FakeEventFeed &fake) { fake.answerHeld(); });
            QVERIFY(imported.wait(20000));
        } else {
            QVERIFY(networkImport());
        }
        QCOMPARE(mFeed.calls(),
                 hung ? QStringList(shown - 1, AddCall) : QStringList {ClearCall} + QStringList(shown, AddCall));
        QCOMPARE(mFeed.items().size(), shown);
        QCOMPARE(itemsByPost().size(), shown);
        QCOMPARE(rowCount(), shown);
    }

    void aDownloadFailsOnce()
    {
        // Two failure reports of one download (an abandoned earlier request of the same address may
        // report late) count once: the pass still waits for the other picture.
        const Qn::QnPost photo = servicePhoto();
        Qn::QnPost gone(QStringLiteral("gone"));
        gone.setFrom(photo.from());
        gone.setPicture(mSim->baseUrl().toString() + QStringLiteral("/pictures/gone.png"));
        QVERIFY(storeCachedFeed({photo, gone}, true));
        QVERIFY(mHandler->startNewsfeedImport(true));
        for (int report = 0; report < 2; ++report)
            emit mClient->requestFailed(Qn::DataRequest, QString::fromLatin1(QUrl(gone.picture()).toEncoded()));
        QTRY_VERIFY_WITH_TIMEOUT(!mHandler->isImporting(), 20000);
        QVERIFY(itemsByPost().value(photo.id()).contains("imageList"));
    }

    void requestOfAnImportThatGaveUpIsAbandoned()
    {
        // The downloads of a pass that gave up are asked for again by the next one: the post comes with
        // its picture.
        QSignalSpy failed(mClient.get(), &Qn::Quillnet::requestFailed);
        const Qn::QnPost photo = servicePhoto();
        QVERIFY(storeCachedFeed({photo}, false));
        QVERIFY(mHandler->startNewsfeedImport(true));
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("Missing avatar for post \"%1\" skipping").arg(photo.id())));
        QVERIFY(QMetaObject::invokeMethod(mHandler.get(), "onSafetyTimerHit"));
        QTRY_COMPARE(failed.count(), 2);
        QVERIFY(mHandler->startNewsfeedImport(true));
        QTRY_VERIFY(itemsByPost().value(photo.id()).contains("imageList") && !mHandler->isImporting());
        mFeed.clearCalls();

        mSim->injectFault(feedPath(), QuillnetSim::Simulator::Delay, 300);
        QSignalSpy imported(mHandler.get(), &EventfeedHandler::eventsfeedImported);
        QSignalSpy answered(mClient.get(), &Qn::Quillnet::newsFeedRetrieved);
        QVERIFY(mHandler->startNewsfeedImport(false));
        QVERIFY(safetyTimer()->isActive());

        // The request of an import that gave up is abandoned: it holds no connection, and ends nothing.
        QVERIFY(QMetaObject::invokeMethod(mHandler.get(), "onSafetyTimerHit"));
        QTRY_COMPARE(failed.count(), 3);
        QCOMPARE(answered.count(), 0);
        QCOMPARE(imported.count(), 1);
        QVERIFY(!safetyTimer()->isActive());
        QCOMPARE(mFeed.calls(), QStringList());

        // A feed request that fails ends its import at once, so that the next sync fetches.
        mSim->injectFault(feedPath(), QuillnetSim::Simulator::HttpStatus, 500);
        QVERIFY(networkImport());
        QVERIFY(!safetyTimer()->isActive());
        const int asked = mSim->requestCount(feedPath());
        QVERIFY(networkImport());
        QCOMPARE(mSim->requestCount(feedPath()), asked + 1);
    }

    void cachePassWithNothingNewEndsAtOnce()
    {
        // A cached post whose author has no picture anywhere: left out, so that page is not done yet.
        Qn::QnPost post(QStringLiteral("c1"));
        post.setFrom(Qn::QnUserRef(QStringLiteral("100000000009999"), QStringLiteral("Stranger")));
        QVERIFY(storeCachedFeed({post}, false));
        // The calls of one pass from the cache.
        const auto cachePass = [this] {
            mFeed.clearCalls();
            const bool ended = mHandler->startNewsfeedImport(true)
                    && QTest::qWaitFor([this] { return !mHandler->isImporting(); });
            return ended ? mFeed.calls() : QStringList {QStringLiteral("(did not end)")};
        };
        QTest::ignoreMessage(QtWarningMsg, "Missing avatar for post \"c1\" skipping");
        QCOMPARE(cachePass(), QStringList {ClearCall});
        // Its picture is cached now: the same page is published.
        QVERIFY(storeCachedFeed({post}, true));
        QCOMPARE(cachePass(), QStringList({ClearCall, AddCall}));
        // Nothing new: not a call. A like stored since: its footer. Withdrawn since: all of it again.
        QCOMPARE(cachePass(), QStringList());
        post.setLikes(3);
        QVERIFY(storeCachedFeed({post}, false));
        QCOMPARE(cachePass(), QStringList {UpdateCall});
        mHandler->clear();
        QCOMPARE(cachePass(), QStringList({ClearCall, AddCall}));
    }

    void oneImportAtATimeIgnoringOthersReports()
    {
        const QString elsewhere = mDir->filePath(QStringLiteral("elsewhere.png"));
        // A client that is not signed in yet starts nothing.
        Qn::Quillnet unready(Qn::QuillnetConfiguration(mSim->accessToken()));
        EventfeedHandler waiting;
        QVERIFY(waiting.init(&unready, mProxy.get(), mDb.get()));
        QVERIFY(!waiting.startNewsfeedImport(false));
        QVERIFY(!waiting.findChild<QTimer *>(QStringLiteral("safetyTimer"))->isActive());
        // No import runs: nothing starts waiting.
        emit mClient->dataRetrieved(QUrl(QStringLiteral("http://127.0.0.1/x.png")), elsewhere);
        emit mClient->profilePictureUpdated(mSim->friends().first().id(), Qn::SmallPicture, elsewhere);
        QVERIFY(!safetyTimer()->isActive());
        // Nothing cached yet: refused, leaving the next import free.
        QTest::ignoreMessage(QtWarningMsg, "Failed to fetch newsfeeds!");
        QVERIFY(!mHandler->startNewsfeedImport(true));

        // While the import waits for one avatar, another user's picture does not end the wait.
        Qn::QnPost post(QStringLiteral("c1"));
        post.setFrom(mSim->friends().first().ref());
        post.setPicture(mSim->baseUrl().toString() + QStringLiteral("/pictures/gone.png"));
        QVERIFY(storeCachedFeed({post}, false));
        QSignalSpy imported(mHandler.get(), &EventfeedHandler::eventsfeedImported);
        QVERIFY(mHandler->startNewsfeedImport(true));
        emit mClient->profilePictureUpdated(mSim->friends().at(1).id(), Qn::SmallPicture, elsewhere);
        QVERIFY(safetyTimer()->isActive());
        // A failed download is progress too: the wait starts anew.
        safetyTimer()->stop();
        emit mClient->requestFailed(Qn::DataRequest, QString::fromLatin1(QUrl(post.picture()).toEncoded()));
        QVERIFY(safetyTimer()->isActive());
        QCOMPARE(mFeed.calls(), QStringList());

        // A network import asked for meanwhile joins it and ends it with the signal, fetching nothing.
        QVERIFY(mHandler->startNewsfeedImport(false));
        QVERIFY(imported.wait(20000));
        QCOMPARE(mSim->requestCount(feedPath()), 0);
        QCOMPARE(itemsByPost().keys(), QStringList {post.id()});
        const QString icon = itemsByPost().value(post.id()).value("icon").toString();
        QVERIFY(QFileInfo(icon).isFile() && icon != elsewhere);

        // Imports asked for while one runs join it: one request; the last start asked for the cache, so
        // it ends without the signal.
        QVERIFY(mHandler->startNewsfeedImport(false));
        QVERIFY(mHandler->startNewsfeedImport(false));
        QVERIFY(mHandler->startNewsfeedImport(true));
        QTRY_VERIFY_WITH_TIMEOUT(!mHandler->isImporting(), 20000);
        QCOMPARE(mSim->requestCount(feedPath()), 1);
        QVERIFY(itemsByPost().size() > 1);
        QCOMPARE(imported.count(), 1);
    }

private:
    // A network import to its end; false when it did not end.
    [[nodiscard]] bool networkImport()
    {
        QSignalSpy imported(mHandler.get(), &EventfeedHandler::eventsfeedImported);
        return mHandler->startNewsfeedImport(false) && (imported.count() == 1 || imported.wait(20000))
                && imported.count() == 1;
    }
    // The feed's first page as the service gives it now.
    Qn::QnPosts servicePage() const { return mSim->posts().mid(0, EventfeedHandler::FeedLimit); }
    // The Event Feed's items by post id.
    QMap<QString, QVariantMap> itemsByPost()
    {
        QMap<QString, QVariantMap> byPost;
        for (const QVariantMap &item : mFeed.items())
            byPost.insert(postIdOf(item), item);
        return byPost;
    }
    // Published again, as published: the Event Feed holds the items and the pass that added them
    // is over (its last row is written as the last add is answered, and the pass ends with it).
    bool republished(const QStringList &posts) { return itemsByPost().keys() == posts && rowCount() == posts.size(); }
    // The items rows of the daemon's database.
    QString dbFile() const { return mDir->filePath(QStringLiteral("daemon.db")); }
    qsizetype rowCount() { return Inspector(dbFile()).column(QStringLiteral("SELECT id FROM items")).size(); }
    QTimer *safetyTimer() const { return mHandler->findChild<QTimer *>(QStringLiteral("safetyTimer")); }
    QString feedPath() const { return QStringLiteral("/users/%1/feed").arg(mSim->me().id()); }
    // A post of the service's page whose picture a pass downloads.
    Qn::QnPost servicePhoto()
    {
        const Qn::QnPosts page = servicePage();
        return *std::find_if(page.cbegin(), page.cend(), [](const Qn::QnPost &post) {
            return post.picture().startsWith(QLatin1String("http")) && post.type() != "checkin" && !isExcluded(post);
        });
    }
    // Stored in the client's cache as the feed; with an avatar of the first post's author there too
    // when asked.
    [[nodiscard]] bool storeCachedFeed(const Qn::QnPosts &posts, bool withAvatar)
    {
        const QByteArray avatar = mSim->profilePictureData(mSim->friends().first().id(), Qn::SmallPicture);
        return mCache->storeNewsFeed(mSim->me().id(), posts)
                && (!withAvatar
                    || !mCache->storeProfilePicture(posts.first().from().id(), Qn::SmallPicture, avatar).isEmpty());
    }

    Helper mHelper;
    std::unique_ptr<DaemonDatabase> mDb;
    std::unique_ptr<ComTarvoHomeEventFeedInterface> mProxy;
    std::unique_ptr<EventfeedHandler> mHandler;
    FakeEventFeedThread mFeed;
};

QTEST_GUILESS_MAIN(TestEventfeedHandler)
#include "tst_eventfeedhandler.moc"
