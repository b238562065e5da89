// The client against the simulated service on loopback: every call over the network and from the
// cache, event details, feed paging, the cache across a reopen, downloads, token expiry, faults and
// damage. Signals are spied on by the string signatures the daemon's handlers connect with.
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

#include "simclient.h"
#include "testfiles.h"

using namespace Qn;
using namespace Qt::StringLiterals;
using QuillnetSim::Simulator;

namespace {

// A failure of the table below that is not one of the simulator's faults.
constexpr int ExpiredToken = -1;

// The arguments of the spy's next emission, or none when it does not come.
QList<QVariant> next(QSignalSpy &spy)
{
    return spy.isEmpty() && !spy.wait() ? QList<QVariant>() : spy.takeFirst();
}

} // namespace

class TestQuillnetSim : public QObject, public SimClientFixture
{
    Q_OBJECT

private slots:
    // That init() names the signed-in user is tst_quillnethttp's.
    void init() { QVERIFY(start(QuillnetSim::SimConfig {7, 120, 45})); }
    void cleanup() { stop(); }

    void feedAndDownloadsOverTheNetworkAndFromTheCache()
    {
        const QnPosts service = mSim->posts();
        QSignalSpy feed(mClient.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
        QCOMPARE(mClient->retrieveNewsFeed(nullptr, QnDataFilter(mSim->me().id(), 30, 0), RetrieveFromNetwork),
                 int(StatusOk));
        QCOMPARE(feed.count(), 0); // never before the call has returned
        QCOMPARE(next(feed).value(0).value<QnPosts>(), service.mid(0, 30));
        // The second page continues the cached feed; cache reads page the same way.
        QCOMPARE(fetchFeed(30, 30), service.mid(30));
        QnPosts cached;
        QCOMPARE(mClient->retrieveNewsFeed(&cached, QnDataFilter(QString(), 5, 28), RetrieveFromCache), int(StatusOk));
        QCOMPARE(cached, service.mid(28, 5));
        QCOMPARE(mClient->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
        QCOMPARE(cached, service);
        QCOMPARE(mClient->retrieveNewsFeed(&cached, QnDataFilter("nobody"), RetrieveFromCache), int(StatusNotFound));

        // A new first page replaces the cached feed: a post the service dropped leaves the cache too.
        const QString gone = service.at(3).id();
        QVERIFY(mSim->removePost(gone));
        QnPost added;
        added.setFrom(mSim->friends().first().ref());
        added.setMessage("fresh");
        added = mSim->addPost(added, "png");
        const QnPosts refreshed = fetchFeed(30);
        QCOMPARE(refreshed.first().id(), added.id());
        QVERIFY(!idsOf(refreshed).contains(gone));

        QSignalSpy data(mClient.get(), SIGNAL(dataRetrieved(QUrl, QString)));
        QSignalSpy avatars(mClient.get(), SIGNAL(profilePictureUpdated(QString, Qn::PictureType, QString)));
        // One picture of every format the service serves, and an avatar.
        QHash<QString, QUrl> byFormat;
        for (const QnPost &post : mSim->posts()) {
            if (!post.picture().isEmpty())
                byFormat.insert(QFileInfo(QUrl(post.picture()).path()).suffix().toLower(), QUrl(post.picture()));
        }
        QVERIFY2(byFormat.size() >= 2, qPrintable(QStringList(byFormat.keys()).join(',')));
        for (const QUrl &url : std::as_const(byFormat))
            QCOMPARE(mClient->retrieveData(url), int(StatusOk));
        const QString userId = mSim->friends().at(3).id();
        QCOMPARE(mClient->retrieveProfilePicture(userId, Qn::SmallPicture), int(StatusOk));
        QTRY_COMPARE(data.count(), byFormat.size());
        const QList<QVariant> avatar = next(avatars);
        QCOMPARE(avatar.value(0).toString(), userId);
        QCOMPARE(avatar.value(1).value<Qn::PictureType>(), Qn::SmallPicture);

        // Kept on disk: read through the cache opened again, without the service.
        QVERIFY(reopenCache());
        QCOMPARE(mClient->retrieveNewsFeed(&cached, QnDataFilter(mSim->me().id()), RetrieveFromCache), int(StatusOk));
        QCOMPARE(cached, refreshed);
        QString location;
        for (const QList<QVariant> &report : std::as_const(data)) {
            QCOMPARE(mClient->retrieveData(&location, report.at(0).toUrl(), RetrieveFromCache), int(StatusOk));
            QCOMPARE(location, report.at(1).toString());
            QCOMPARE(readFile(location), mSim->pictureData(report.at(0).toUrl()));
        }
        QCOMPARE(mClient->retrieveProfilePicture(&location, userId, Qn::SmallPicture, RetrieveFromCache),
                 int(StatusOk));
        QCOMPARE(location, avatar.value(2).toString());
        QCOMPARE(readFile(location), mSim->profilePictureData(userId, Qn::SmallPicture));
        QCOMPARE(mClient->retrieveProfilePicture(&location, userId, Qn::LargePicture, RetrieveFromCache),
                 int(StatusOk));
        QVERIFY(location.isEmpty());
    }

    void profilesThreadsAndMessages()
    {
        QSignalSpy profiles(mClient.get(), SIGNAL(profileUpdated(QString)));
        QSignalSpy threads(mClient.get(), SIGNAL(threadsRetrieved(Qn::MessageBoxType, Qn::QnThreads)));
        QSignalSpy messages(mClient.get(), SIGNAL(messagesUpdated(QString, Qn::QnMessages)));

        const QnUser friendUser = mSim->friends().at(5);
        QnUser user;
        QCOMPARE(mClient->retrieveProfile(&user, friendUser.id(), RetrieveFromCache), int(StatusNotFound));
        QCOMPARE(mClient->retrieveProfile(nullptr, friendUser.id(), RetrieveFromNetwork), int(StatusOk));
        QCOMPARE(next(profiles).value(0).toString(), friendUser.id());
        QCOMPARE(mClient->retrieveProfile(&user, friendUser.id(), RetrieveFromCache), int(StatusOk));
        QCOMPARE(user, friendUser);

        QCOMPARE(mClient->retrieveThreads(nullptr, Qn::Inbox, RetrieveFromNetwork), int(StatusOk));
        const QList<QVariant> folder = next(threads);
        QCOMPARE(folder.value(0).value<Qn::MessageBoxType>(), Qn::Inbox);
        const QnThreads inbox = folder.value(1).value<QnThreads>();
        QCOMPARE(inbox, mSim->threads(Qn::Inbox).mid(0, 25));
        QnThreads cachedThreads;
        QCOMPARE(mClient->retrieveThreads(&cachedThreads, Qn::Inbox, RetrieveFromCache), int(StatusOk));
        QCOMPARE(cachedThreads, inbox);
        QCOMPARE(mClient->retrieveThreads(&cachedThreads, Qn::Updates, RetrieveFromCache), int(StatusNotFound));

        QString threadId;
        for (const QnThread &thread : inbox) {
            if (threadId.isEmpty() && mSim->messages(thread.id()).size() > 1)
                threadId = thread.id();
        }
        QCOMPARE(mClient->retrieveMessages(nullptr, QnDataFilter(threadId, 5), RetrieveFromNetwork), int(StatusOk));
        const QList<QVariant> thread = next(messages);
        QCOMPARE(thread.value(0).toString(), threadId);
        const QnMessages newest = thread.value(1).value<QnMessages>();
        QVERIFY(newest.size() > 1);
        QCOMPARE(newest.first().content(), mSim->messages(threadId).first().content());
        // Latest first from the cache too, each under the thread it was fetched for.
        QnMessages cachedMessages;
        QCOMPARE(mClient->retrieveMessages(&cachedMessages, QnDataFilter(threadId, 1), RetrieveFromCache),
                 int(StatusOk));
        QCOMPARE(idsOf(cachedMessages), QStringList {newest.first().id()});
        QCOMPARE(cachedMessages.first().threadId(), threadId);
    }

    void notificationsAndEventDetails()
    {
        // An invitation without owner and start time, with an id that must be encoded in the path.
        QnEvent bare(u"ev/1 & 2?"_s);
        bare.setName(u"Bare"_s);
        QVERIFY(mSim->addEventInvitation(bare));
        const QnEvents invitations = mSim->eventInvitations();
        QSignalSpy all(mClient.get(),
                       SIGNAL(allNotificationsRetrieved(Qn::QnUsers, Qn::QnEvents, Qn::QnNotificationList, quint32)));
        QSignalSpy details(mClient.get(), SIGNAL(eventDetailsRetrieved(Qn::QnEvent)));
        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        QCOMPARE(mClient->retrieveAllNotifications(), int(StatusOk));
        const QList<QVariant> answer = next(all);
        QCOMPARE(answer.value(0).value<QnUsers>(), mSim->friendRequests());
        QCOMPARE(answer.value(1).value<QnEvents>(), invitations);
        QCOMPARE(answer.value(2).value<QnNotificationList>(), mSim->notifications());
        quint32 unreadThreads = 0;
        for (const QnThread &thread : mSim->threads(Qn::Inbox))
            unreadThreads += thread.unread() > 0 ? 1 : 0;
        QCOMPARE(answer.value(3).value<quint32>(), unreadThreads);
        // Friend requests can be read back as profiles.
        QnUser asker;
        QCOMPARE(mClient->retrieveProfile(&asker, mSim->friendRequests().value(0).id(), RetrieveFromCache),
                 int(StatusOk));
        // Marking read through the service is the notification handler's (tst_notificationhandler).

        for (const QnEvent &event : invitations)
            QCOMPARE(mClient->retrieveEventDetails(event.id()), int(StatusOk));
        QTRY_COMPARE(details.count(), invitations.size());
        // Several connections to one host: the answers come in any order.
        QMap<QString, QnEvent> answered, expected;
        for (int i = 0; i < invitations.size(); ++i) {
            const QnEvent event = details.at(i).at(0).value<QnEvent>();
            answered.insert(event.id(), event);
            expected.insert(invitations.at(i).id(), invitations.at(i));
        }
        QCOMPARE(answered, expected);
        QCOMPARE(mSim->requestCount(u"/events/ev/1 & 2?"_s), 1);
        QCOMPARE(errors.count(), 0);
        // An event the service does not know is tst_faults' missingPicturesAndEventDetails; the service
        // error's text and a call without an id are tst_quillnethttp's.
    }

    void failuresBecomeErrorsAndLeaveTheCache_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("type");
        QTest::newRow("malformed") << int(Simulator::MalformedBody) << 0 << 4;
        QTest::newRow("truncated") << int(Simulator::TruncatedBody) << 0 << 2;
        QTest::newRow("dropped") << int(Simulator::DropConnection) << 0 << 2;
        QTest::newRow("too slow") << int(Simulator::Delay) << 5000 << 2;
        QTest::newRow("token expired") << ExpiredToken << 0 << 1;
    }

    void failuresBecomeErrorsAndLeaveTheCache()
    {
        QFETCH(int, kind);
        QFETCH(int, value);
        QFETCH(int, type);
        if (kind == Simulator::Delay) {
            Qn::QuillnetConfiguration slow = clientConfiguration();
            slow.setTransferTimeout(300);
            QVERIFY(newClient(slow));
        }
        const QnPosts before = fetchFeed(30);
        // A post the failed answer would have brought must not reach the cache.
        QnPost added;
        added.setFrom(mSim->me().ref());
        added.setMessage("new");
        QVERIFY(mSim->addPost(added).isValid());

        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        QSignalSpy answers(mClient.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
        // A connection that closes without an answer is tried again by the transport: every try fails.
        if (kind == ExpiredToken)
            mSim->expireAccessToken();
        else
            mSim->injectFault("/users/", Simulator::FaultKind(kind), value, 4);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("failed, type %1").arg(type)));
        QCOMPARE(mClient->retrieveNewsFeed(nullptr, QnDataFilter(QString(), 30), RetrieveFromNetwork), int(StatusOk));
        QVERIFY(errors.wait(15000));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(int(errorAt(errors).errorType()), type);
        QCOMPARE(answers.count(), 0);
        QnPosts cached;
        QCOMPARE(mClient->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusOk));
        QCOMPARE(cached, before);

        // Once the faults are used up, or with a client holding the new token, requests go through.
        mSim->clearFaults();
        if (kind == ExpiredToken)
            QVERIFY(newClient(clientConfiguration()));
        QCOMPARE(fetchFeed(30).first().message(), u"new"_s);
    }

    void cacheDamagedWhileRunningIsErrorTypeSix()
    {
        QCOMPARE(fetchFeed(45).size(), 45);
        QSignalSpy errors(mClient.get(), SIGNAL(error(Qn::QnError)));
        // Behind the open connection's back.
        QVERIFY(damageDatabase(mCache->databaseName()));
        QnPosts cached;
        QCOMPARE(mClient->retrieveNewsFeed(&cached, QnDataFilter(), RetrieveFromCache), int(StatusCacheError));
        // The daemon's own use of the cache fails too; one report covers the burst, after the calls.
        QVERIFY(mCache->getUserData("canceled_logins").isEmpty());
        QCOMPARE(errors.count(), 0);
        QVERIFY(errors.wait());
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 1);
        // Its text is what the daemon reads to end itself (tst_faults' damagedStorage).
        QCOMPARE(int(errorAt(errors).errorType()), 6);

        // An answer from the network still arrives; storing it fails and is reported again.
        QCOMPARE(fetchFeed(30).size(), 30);
        QTRY_COMPARE(errors.count(), 2);
        QCOMPARE(int(errorAt(errors, 1).errorType()), 6);
    }

private:
    QnPosts fetchFeed(int limit, int offset = 0)
    {
        QSignalSpy feed(mClient.get(), SIGNAL(newsFeedRetrieved(Qn::QnPosts)));
        const QnDataFilter filter(mClient->currentProfileId(), limit, offset);
        if (mClient->retrieveNewsFeed(nullptr, filter, RetrieveFromNetwork) != StatusOk)
            return QnPosts();
        return next(feed).value(0).value<QnPosts>();
    }
};

QTEST_GUILESS_MAIN(TestQuillnetSim)
#include "tst_quillnetsim.moc"
