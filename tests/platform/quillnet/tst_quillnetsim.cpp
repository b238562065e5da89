// The client against the simulated service on loopback: every call over the network and from the
// cache, paging, the cache across a reopen, downloads, clean-up, token expiry, faults and damage.
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <time.h>

#include "cachetestdata.h"
#include "platform/quillnet/quillnet.h"
#include "quillnet-sim/simulator.h"

using namespace Qn;
using QuillnetSim::Simulator;

namespace {

// The fields the friend import asks for.
const QSet<QString> FriendFields{ "mobile_phone", "first_name", "last_name", "email", "relationship_status",
                                  "website", "work", "interested_in", "political", "significant_other",
                                  "location", "link", "about", "birthday", "hometown", "bio", "gender",
                                  "religion", "picture" };

QnError errorAt(const QSignalSpy& spy, int index = 0)
{
    return spy.at(index).at(0).value<QnError>();
}

QStringList idsOf(const QnUserRefs& refs)
{
    QStringList ids;
    for (const QnUserRef& ref : refs)
        ids << ref.id();
    return ids;
}

QStringList idsOf(const QnUsers& users)
{
    QStringList ids;
    for (const QnUser& user : users)
        ids << user.id();
    return ids;
}

QByteArray fileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestQuillnetSim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void feedOverTheNetworkAndFromTheCache();
    void friendPagesFillTheCache();
    void profilesStatusesThreadsAndMessages();
    void notificationsAndMarkingRead();
    void downloadsMatchTheService();
    void cacheSurvivesReopening();
    void removePostsAndClearDiskCache();
    void expiredTokenIsErrorTypeOne();
    void faultsBecomeErrorsAndLeaveTheCache_data();
    void faultsBecomeErrorsAndLeaveTheCache();
    void cacheDamagedWhileRunningIsErrorTypeSix();
    void unreadableCacheFileIsRebuilt();
    void threadKeysDoNotDependOnTheZone();

private:
    std::unique_ptr<Quillnet> newClient(int transferTimeout = 0);
    bool initClient(Quillnet* client);
    QnPosts fetchFeed(Quillnet* client, int limit, int offset = 0);

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<QnCache> mCache;
    std::unique_ptr<Simulator> mSim;
    QByteArray mTz;
};

void TestQuillnetSim::init()
{
    mTz = qgetenv("TZ");
    mDir.reset(new QTemporaryDir);
    QVERIFY(mDir->isValid());
    mCache.reset(new QnCache(cacheConfiguration(*mDir)));
    QVERIFY(mCache->isOpen());
    QuillnetSim::SimConfig config;
    config.seed = 7;
    config.friends = 120;
    config.posts = 45;
    mSim.reset(new Simulator(config));
    QVERIFY(mSim->listen());
}

void TestQuillnetSim::cleanup()
{
    mSim.reset();
    mCache.reset();
    mDir.reset();
    if (mTz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", mTz);
    tzset();
}

std::unique_ptr<Quillnet> TestQuillnetSim::newClient(int transferTimeout)
{
    QuillnetConfiguration configuration(mSim->accessToken(), 0);
    configuration.setCache(mCache.get());
    configuration.setServiceUrl(mSim->baseUrl());
    configuration.setTransferTimeout(transferTimeout);
    return std::make_unique<Quillnet>(configuration);
}

bool TestQuillnetSim::initClient(Quillnet* client)
{
    QSignalSpy initialized(client, SIGNAL(initialized()));
    client->init();
    return initialized.wait() && client->currentProfileId() == mSim->me().id();
}

QnPosts TestQuillnetSim::fetchFeed(Quillnet* client, int limit, int offset)
{
    QSignalSpy feed(client, SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    if (client->retrieveNewsFeed(nullptr, QnDataFilter(client->currentProfileId(), limit, offset), RetrieveFromNetwork)
        != StatusOk)
        return QnPosts();
    if (!feed.wait())
        return QnPosts();
    return feed.at(0).at(0).value<QnPosts>();
}

void TestQuillnetSim::feedOverTheNetworkAndFromTheCache()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    const QnPosts service = mSim->posts();
    QCOMPARE(service.size(), 45);

    QSignalSpy feed(client.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    QCOMPARE(client->retrieveNewsFeed(nullptr, QnDataFilter(client->currentProfileId(), 30, 0), RetrieveFromNetwork),
             int(StatusOk));
    QCOMPARE(feed.count(), 0); // never before the call has returned
    QVERIFY(feed.wait());
    const QnPosts first = feed.at(0).at(0).value<QnPosts>();
    QCOMPARE(first, service.mid(0, 30));
    // The second page continues the cached feed.
    QCOMPARE(fetchFeed(client.get(), 30, 30), service.mid(30));

    QnPosts cached;
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(QString(), 30, 0), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, first);
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, service);

    // A new first page replaces the cached feed: a post the service dropped leaves the cache too.
    const QString gone = service.at(3).id();
    QVERIFY(mSim->removePost(gone));
    QnPost added;
    added.setFrom(mSim->friends().first().ref());
    added.setMessage(QStringLiteral("fresh"));
    added = mSim->addPost(added, "png");
    QVERIFY(added.isValid());
    const QnPosts refreshed = fetchFeed(client.get(), 30, 0);
    QCOMPARE(refreshed.first().id(), added.id());
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, refreshed);
    for (const QnPost& post : std::as_const(cached))
        QVERIFY(post.id() != gone);
}

void TestQuillnetSim::friendPagesFillTheCache()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy pages(client.get(), SIGNAL(friendsUpdated(Qn::QnUserRefs)));
    const QnUsers service = mSim->friends();
    QCOMPARE(service.size(), 120);

    // The way the friend import pages: 50 at a time until a page is short.
    QStringList received;
    for (int offset = 0;; offset += 50) {
        QnDataFilter filter(client->currentProfileId(), 50, offset);
        filter.setFields(FriendFields);
        QCOMPARE(client->retrieveFriends(nullptr, filter, RetrieveFromNetwork), int(StatusOk));
        QVERIFY(pages.wait());
        const QnUserRefs page = pages.takeLast().at(0).value<QnUserRefs>();
        received += idsOf(page);
        if (page.size() < 50)
            break;
    }
    QCOMPARE(received, idsOf(service));

    // The full records, with every requested field, are in the cache.
    QnUsers cached;
    QCOMPARE(client->retrieveFriends(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, service);
    const QnUser someone = service.at(77);
    QnUser user;
    QCOMPARE(client->retrieveProfile(&user, someone.id(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(user, someone);
    QVERIFY(!user.mobilePhone().isEmpty() || !user.birthday().isEmpty() || !user.website().isEmpty());
    // A user the cache does not hold: not filled, not 3.
    QnUser untouched(QStringLiteral("keep"), QStringLiteral("me"));
    QVERIFY(client->retrieveProfile(&untouched, QStringLiteral("nobody"), RetrieveFromCache) != StatusOk);
}

void TestQuillnetSim::profilesStatusesThreadsAndMessages()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy profiles(client.get(), SIGNAL(profileUpdated(QString)));
    QSignalSpy statuses(client.get(), SIGNAL(latestStatusMessageRetrieved(QStringList,Qn::QnPosts)));
    QSignalSpy threads(client.get(), SIGNAL(threadsRetrieved(Qn::MessageBoxType,Qn::QnThreads)));
    QSignalSpy messages(client.get(), SIGNAL(messagesUpdated(QString,Qn::QnMessages)));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));

    const QnUser friendUser = mSim->friends().at(5);
    QnUser user;
    QCOMPARE(client->retrieveProfile(&user, friendUser.id(), RetrieveFromCache), int(StatusNotFound));
    QCOMPARE(client->retrieveProfile(nullptr, friendUser.id(), RetrieveFromNetwork), int(StatusOk));
    QVERIFY(profiles.wait());
    QCOMPARE(profiles.at(0).at(0).toString(), friendUser.id());
    QCOMPARE(client->retrieveProfile(&user, friendUser.id(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(user, friendUser);

    // Latest status messages in a batch of 20, as the friend import asks for them.
    QStringList batch;
    for (int i = 0; i < 20; ++i)
        batch << mSim->friends().at(i).id();
    QCOMPARE(client->retrieveLatestStatusMessage(batch), int(StatusOk));
    QVERIFY(statuses.wait());
    QCOMPARE(statuses.at(0).at(0).toStringList(), batch);
    const QnPosts latest = statuses.at(0).at(1).value<QnPosts>();
    int withStatus = 0;
    for (const QString& id : std::as_const(batch)) {
        const QnPosts service = mSim->statusMessages(id);
        QnPosts cached;
        const int status = client->retrieveStatusMessages(&cached, QnDataFilter(id, 3));
        if (service.isEmpty()) {
            QCOMPARE(status, int(StatusNotFound));
            continue;
        }
        ++withStatus;
        QVERIFY(latest.contains(service.first()));
        QCOMPARE(status, int(StatusOk));
        QCOMPARE(cached, QnPosts{ service.first() });
    }
    QVERIFY(withStatus > 0);
    QCOMPARE(latest.size(), withStatus);

    QCOMPARE(client->retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork), int(StatusOk));
    QVERIFY(threads.wait());
    QCOMPARE(threads.at(0).at(0).value<Qn::MessageBoxType>(), Qn::Inbox);
    const QnThreads inbox = threads.at(0).at(1).value<QnThreads>();
    QCOMPARE(inbox, mSim->threads(Qn::Inbox).mid(0, 25));
    QVERIFY(!inbox.isEmpty());
    QnThreads cachedThreads;
    QCOMPARE(client->retrieveThreads(&cachedThreads, Qn::Inbox, RetrieveFromCache), int(StatusOk));
    QCOMPARE(cachedThreads, inbox);

    const QString threadId = inbox.first().id();
    QCOMPARE(client->retrieveMessages(nullptr, QnDataFilter(threadId, 1), RetrieveFromNetwork), int(StatusOk));
    QVERIFY(messages.wait());
    QCOMPARE(messages.at(0).at(0).toString(), threadId);
    const QnMessages newest = messages.at(0).at(1).value<QnMessages>();
    QCOMPARE(newest.size(), 1);
    QCOMPARE(newest.first().content(), mSim->messages(threadId).first().content());
    QnMessages cachedMessages;
    QCOMPARE(client->retrieveMessages(&cachedMessages, QnDataFilter(threadId, 1), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cachedMessages.first().content(), newest.first().content());

    // An unknown thread is the service's error, reported after the call returned.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type 3")));
    QCOMPARE(client->retrieveMessages(nullptr, QnDataFilter(QStringLiteral("no-such-thread"), 1), RetrieveFromNetwork),
             int(StatusOk));
    QCOMPARE(errors.count(), 0);
    QVERIFY(errors.wait());
    QCOMPARE(int(errorAt(errors).errorType()), 3);
    QVERIFY(errorAt(errors).quillnetErrorString().startsWith(QLatin1String("not_found: ")));
    QCOMPARE(messages.count(), 1);
}

void TestQuillnetSim::notificationsAndMarkingRead()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy all(client.get(), SIGNAL(allNotificationsRetrieved(Qn::QnUsers,Qn::QnEvents,Qn::QnNotificationList,quint32)));
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));

    QCOMPARE(client->retrieveAllNotifications(), int(StatusOk));
    QVERIFY(all.wait());
    const QList<QVariant> answer = all.at(0);
    QCOMPARE(answer.at(0).value<QnUsers>(), mSim->friendRequests());
    QCOMPARE(answer.at(1).value<QnEvents>(), mSim->eventInvitations());
    const QnNotificationList notifications = answer.at(2).value<QnNotificationList>();
    QCOMPARE(notifications, mSim->notifications());
    int unreadThreads = 0;
    for (const QnThread& thread : mSim->threads(Qn::Inbox))
        unreadThreads += thread.unread() > 0 ? 1 : 0;
    QCOMPARE(answer.at(3).value<quint32>(), quint32(unreadThreads));
    // Friend requests can be read back as profiles.
    if (!mSim->friendRequests().isEmpty()) {
        QnUser asker;
        QCOMPARE(client->retrieveProfile(&asker, mSim->friendRequests().first().id(), RetrieveFromCache), int(StatusOk));
    }

    QStringList unread;
    for (const QnNotification& notification : notifications) {
        if (notification.unread())
            unread << notification.id();
    }
    QVERIFY(!unread.isEmpty());
    QCOMPARE(client->markNotificationsRead(unread), int(StatusOk));
    QTRY_COMPARE(mSim->requestCount(QStringLiteral("/notifications/read")), 1);
    QTRY_VERIFY([this] {
        for (const QnNotification& notification : mSim->notifications()) {
            if (notification.unread())
                return false;
        }
        return true;
    }());
    QCOMPARE(errors.count(), 0);
}

void TestQuillnetSim::downloadsMatchTheService()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy data(client.get(), SIGNAL(dataRetrieved(QUrl,QString)));
    QSignalSpy avatars(client.get(), SIGNAL(profilePictureUpdated(QString,Qn::PictureType,QString)));

    // One picture of every format the service serves.
    QHash<QString, QUrl> byFormat;
    for (const QnPost& post : mSim->posts()) {
        const QUrl url(post.picture());
        const QString suffix = QFileInfo(url.path()).suffix().toLower();
        if (!post.picture().isEmpty() && !byFormat.contains(suffix))
            byFormat.insert(suffix, url);
    }
    QVERIFY2(byFormat.size() >= 2, qPrintable(QStringList(byFormat.keys()).join(',')));
    for (const QUrl& url : std::as_const(byFormat)) {
        QString location = QStringLiteral("stale");
        QCOMPARE(client->retrieveData(&location, url, RetrieveFromCache), int(StatusOk));
        QVERIFY(location.isEmpty());
        QCOMPARE(client->retrieveData(url), int(StatusOk));
    }
    QTRY_COMPARE(data.count(), byFormat.size());
    for (const QList<QVariant>& report : std::as_const(data)) {
        const QUrl url = report.at(0).toUrl();
        const QString file = report.at(1).toString();
        QVERIFY(QFileInfo(file).absolutePath() == QDir(mCache->path()).absolutePath());
        QCOMPARE(fileContent(file), mSim->pictureData(url));
        QVERIFY(!fileContent(file).isEmpty());
        QString location;
        QCOMPARE(client->retrieveData(&location, url, RetrieveFromCache), int(StatusOk));
        QCOMPARE(location, file);
    }

    const QString userId = mSim->friends().at(3).id();
    QCOMPARE(client->retrieveProfilePicture(userId, Qn::SmallPicture), int(StatusOk));
    QVERIFY(avatars.wait());
    QCOMPARE(avatars.at(0).at(0).toString(), userId);
    const QString avatar = avatars.at(0).at(2).toString();
    QCOMPARE(fileContent(avatar), mSim->profilePictureData(userId, Qn::SmallPicture));
    QString location;
    QCOMPARE(client->retrieveProfilePicture(&location, userId, Qn::SmallPicture, RetrieveFromCache), int(StatusOk));
    QCOMPARE(location, avatar);
    QCOMPARE(client->retrieveProfilePicture(&location, mSim->friends().at(4).id(), Qn::SmallPicture, RetrieveFromCache),
             int(StatusOk));
    QVERIFY(location.isEmpty());
}

void TestQuillnetSim::cacheSurvivesReopening()
{
    const QString threadId = mSim->threads(Qn::Inbox).first().id();
    const QUrl picture = [this] {
        for (const QnPost& post : mSim->posts()) {
            if (!post.picture().isEmpty())
                return QUrl(post.picture());
        }
        return QUrl();
    }();
    QVERIFY(picture.isValid());
    QString pictureFile;
    {
        auto client = newClient();
        QVERIFY(initClient(client.get()));
        QCOMPARE(fetchFeed(client.get(), 30).size(), 30);
        QSignalSpy pages(client.get(), SIGNAL(friendsUpdated(Qn::QnUserRefs)));
        QSignalSpy threads(client.get(), SIGNAL(threadsRetrieved(Qn::MessageBoxType,Qn::QnThreads)));
        QSignalSpy messages(client.get(), SIGNAL(messagesUpdated(QString,Qn::QnMessages)));
        QSignalSpy data(client.get(), SIGNAL(dataRetrieved(QUrl,QString)));
        QnDataFilter friends(QString(), 50, 0);
        friends.setFields(FriendFields);
        QCOMPARE(client->retrieveFriends(nullptr, friends, RetrieveFromNetwork), int(StatusOk));
        QCOMPARE(client->retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork), int(StatusOk));
        QCOMPARE(client->retrieveMessages(nullptr, QnDataFilter(threadId, 5), RetrieveFromNetwork), int(StatusOk));
        QCOMPARE(client->retrieveData(picture), int(StatusOk));
        QTRY_VERIFY(pages.count() == 1 && threads.count() == 1 && messages.count() == 1 && data.count() == 1);
        pictureFile = data.at(0).at(1).toString();
        QVERIFY(mCache->updateUserData(QStringLiteral("canceled_logins"), QStringLiteral("1")));
    }
    // What the service said, kept before it goes away: nothing below may use the network.
    const QnUser me = mSim->me();
    const QString firstPost = mSim->posts().first().id();
    const QnUsers firstFriends = mSim->friends().mid(0, 50);
    const QString newestMessage = mSim->messages(threadId).first().content();
    mSim.reset();
    QVERIFY(mCache->close());
    mCache.reset(new QnCache(cacheConfiguration(*mDir)));
    QVERIFY(mCache->isOpen());

    QuillnetConfiguration configuration(QStringLiteral("token"));
    configuration.setCache(mCache.get());
    Quillnet client(configuration);
    QCOMPARE(mCache->getUserData(QStringLiteral("canceled_logins")), QStringLiteral("1"));

    QnPosts posts;
    QCOMPARE(client.retrieveNewsFeed(&posts, QnDataFilter(me.id(), 30), RetrieveFromCache), int(StatusOk));
    QCOMPARE(posts.size(), 30);
    QCOMPARE(posts.first().id(), firstPost);
    QnUsers friends;
    QCOMPARE(client.retrieveFriends(&friends, QnDataFilter(me.id()), RetrieveFromCache), int(StatusOk));
    QCOMPARE(friends, firstFriends);
    QnUser user;
    QCOMPARE(client.retrieveProfile(&user, me.id(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(user, me);
    QnThreads threads;
    QCOMPARE(client.retrieveThreads(&threads, Qn::Inbox, RetrieveFromCache), int(StatusOk));
    QCOMPARE(threads.first().id(), threadId);
    QnMessages messages;
    QCOMPARE(client.retrieveMessages(&messages, QnDataFilter(threadId), RetrieveFromCache), int(StatusOk));
    QCOMPARE(messages.first().content(), newestMessage);
    QString location;
    QCOMPARE(client.retrieveData(&location, picture, RetrieveFromCache), int(StatusOk));
    QCOMPARE(location, pictureFile);
}

void TestQuillnetSim::removePostsAndClearDiskCache()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    const QnPosts feed = fetchFeed(client.get(), 45);
    QCOMPARE(feed.size(), 45);
    QSignalSpy data(client.get(), SIGNAL(dataRetrieved(QUrl,QString)));
    QUrl picture;
    for (const QnPost& post : feed) {
        if (!post.picture().isEmpty()) {
            picture = QUrl(post.picture());
            break;
        }
    }
    QCOMPARE(client->retrieveData(picture), int(StatusOk));
    QVERIFY(data.wait());
    const QString file = data.at(0).at(1).toString();

    // Everything created before the middle post goes; the rest stays in the service's order.
    QDateTime cut = feed.at(feed.size() / 2).created();
    QnPosts kept;
    for (const QnPost& post : feed) {
        if (post.created() >= cut)
            kept << post;
    }
    QVERIFY(kept.size() > 0 && kept.size() < feed.size());
    QVERIFY(client->cache()->removePosts(cut));
    QnPosts cached;
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, kept);

    QVERIFY(client->cache()->clearDiskCache());
    QVERIFY(!QFile::exists(file));
    QString location = QStringLiteral("stale");
    QCOMPARE(client->retrieveData(&location, picture, RetrieveFromCache), int(StatusOk));
    QVERIFY(location.isEmpty());
    // The database stays usable, and a new download lands again.
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(client->retrieveData(picture), int(StatusOk));
    QVERIFY(data.wait());
    QCOMPARE(fileContent(data.at(1).at(1).toString()), mSim->pictureData(picture));
}

void TestQuillnetSim::expiredTokenIsErrorTypeOne()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    const QnPosts feed = fetchFeed(client.get(), 30);
    QCOMPARE(feed.size(), 30);
    mSim->expireAccessToken();

    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QSignalSpy answers(client.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type 1")));
    QCOMPARE(client->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
    QVERIFY(errors.wait());
    const QnError error = errorAt(errors);
    QCOMPARE(int(error.errorType()), 1);
    QVERIFY2(error.quillnetErrorString().startsWith(QLatin1String("invalid_token: ")), qPrintable(error.quillnetErrorString()));
    QCOMPARE(answers.count(), 0);
    QnPosts cached;
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, feed);

    // A client made with the new token works again.
    auto renewed = newClient();
    QVERIFY(initClient(renewed.get()));
}

void TestQuillnetSim::faultsBecomeErrorsAndLeaveTheCache_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("type");
    QTest::newRow("service unavailable") << int(Simulator::HttpStatus) << 503 << 3;
    QTest::newRow("rate limited") << int(Simulator::HttpStatus) << 429 << 3;
    QTest::newRow("malformed") << int(Simulator::MalformedBody) << 0 << 4;
    QTest::newRow("truncated") << int(Simulator::TruncatedBody) << 0 << 2;
    QTest::newRow("dropped") << int(Simulator::DropConnection) << 0 << 2;
    QTest::newRow("oversized") << int(Simulator::OversizedBody) << 0 << 4;
    QTest::newRow("too slow") << int(Simulator::Delay) << 5000 << 2;
}

void TestQuillnetSim::faultsBecomeErrorsAndLeaveTheCache()
{
    QFETCH(int, kind);
    QFETCH(int, value);
    QFETCH(int, type);
    auto client = newClient(kind == Simulator::Delay ? 300 : 0);
    QVERIFY(initClient(client.get()));
    const QnPosts before = fetchFeed(client.get(), 30);
    QCOMPARE(before.size(), 30);
    // A post the failed answer would have brought must not reach the cache.
    QnPost added;
    added.setFrom(mSim->me().ref());
    added.setMessage(QStringLiteral("new"));
    QVERIFY(mSim->addPost(added).isValid());

    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QSignalSpy answers(client.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    // A connection that closes without an answer is tried again by the transport: every try fails.
    mSim->injectFault(QStringLiteral("/users/"), Simulator::FaultKind(kind), value, 4);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type %1").arg(type)));
    QCOMPARE(client->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
    QVERIFY(errors.wait(15000));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(int(errorAt(errors).errorType()), type);
    QCOMPARE(answers.count(), 0);
    QnPosts cached;
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached, before);

    // The next request, once the faults are used up, goes through.
    mSim->clearFaults();
    const QnPosts after = fetchFeed(client.get(), 30);
    QCOMPARE(after.size(), 30);
    QCOMPARE(after.first().message(), QStringLiteral("new"));
}

void TestQuillnetSim::cacheDamagedWhileRunningIsErrorTypeSix()
{
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QCOMPARE(fetchFeed(client.get(), 45).size(), 45);
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));

    // Damage every page after the first behind the open connection's back, and bump the header's
    // change counter so that SQLite does not trust what it read before.
    {
        QFile file(mCache->databaseName());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.size() > 4096);
        QVERIFY(file.seek(24));
        QVERIFY(file.write(QByteArray("\x7f\x00\x00\x01", 4)) == 4);
        QVERIFY(file.seek(4096));
        QVERIFY(file.write(QByteArray(file.size() - 4096, '\xff')) > 0);
    }
    QnPosts cached;
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusCacheError));
    QVERIFY(errors.wait());
    const QnError error = errorAt(errors);
    QCOMPARE(int(error.errorType()), 6);
    QVERIFY2(error.cacheErrorString().contains(QLatin1String("database disk image is malformed")),
             qPrintable(error.cacheErrorString()));

    // An answer from the network still arrives; storing it fails and is reported again.
    QSignalSpy feed(client.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
    QCOMPARE(client->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
    QVERIFY(feed.wait());
    QTRY_COMPARE(errors.count(), 2);
    QCOMPARE(int(errorAt(errors, 1).errorType()), 6);
}

void TestQuillnetSim::unreadableCacheFileIsRebuilt()
{
    mCache.reset();
    const QnCacheConfiguration configuration = cacheConfiguration(*mDir);
    {
        QFile file(configuration.databaseName());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(file.write(QByteArray(8192, 'Z')) == 8192);
    }
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("PRAGMA user_version")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("file is not a database")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("is not a database; moved to")));
    mCache.reset(new QnCache(configuration));
    QVERIFY(mCache->isOpen());
    const QStringList aside = QDir(QFileInfo(configuration.databaseName()).absolutePath())
                                  .entryList({ QStringLiteral("qncache.db.broken-*") });
    QCOMPARE(aside.size(), 1);

    auto client = newClient();
    QSignalSpy errors(client.get(), SIGNAL(error(Qn::QnError)));
    QVERIFY(initClient(client.get()));
    QCOMPARE(fetchFeed(client.get(), 30).size(), 30);
    QnPosts cached;
    QCOMPARE(client->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
    QCOMPARE(cached.size(), 30);
    QCOMPARE(errors.count(), 0);
}

void TestQuillnetSim::threadKeysDoNotDependOnTheZone()
{
    // Keys of message threads are "id.milliseconds"; they must not move with the zone.
    QStringList expected;
    for (const QnThread& thread : mSim->threads(Qn::Inbox).mid(0, 25))
        expected << QStringLiteral("%1.%2").arg(thread.id()).arg(thread.updatedTime().toMSecsSinceEpoch());
    const auto keys = [](const QnThreads& threads) {
        QStringList keys;
        for (const QnThread& thread : threads)
            keys << QStringLiteral("%1.%2").arg(thread.id()).arg(thread.updatedTime().toMSecsSinceEpoch());
        return keys;
    };

    qputenv("TZ", "NZST-12NZDT,M9.5.0,M4.1.0/3");
    tzset();
    auto client = newClient();
    QVERIFY(initClient(client.get()));
    QSignalSpy threads(client.get(), SIGNAL(threadsRetrieved(Qn::MessageBoxType,Qn::QnThreads)));
    QCOMPARE(client->retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork), int(StatusOk));
    QVERIFY(threads.wait());
    QCOMPARE(keys(threads.at(0).at(1).value<QnThreads>()), expected);

    qputenv("TZ", "PST8PDT,M3.2.0,M11.1.0");
    tzset();
    QnThreads cached;
    QCOMPARE(client->retrieveThreads(&cached, Qn::Inbox, RetrieveFromCache), int(StatusOk));
    QCOMPARE(keys(cached), expected);
}

QTEST_GUILESS_MAIN(TestQuillnetSim)
#include "tst_quillnetsim.moc"
