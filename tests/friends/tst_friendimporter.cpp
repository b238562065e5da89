// The friend import against the simulated service: pages, status batches, the announcements that
// reach the contacts service over the private bus, the cache mode, and imports that stall.
#include <QTest>
#include <QTimer>

#include "common/utils.h"
#include "friends/friendimporter.h"
#include "platform/socialprovider/socialdatarequest.h"
#include "simclient.h"
#include "socialprovider/contactsservice.h"
#include "socialprovider/quillnetplugin.h"

class TestFriendImporter : public QObject, public SimClientFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { Qn::registerMetaTypes(); }

    void cleanup()
    {
        mImporter.reset();
        stop();
    }

    void networkImportThenRestartFromTheCache()
    {
        begin(120);
        ContactsService contacts;
        QVERIFY(contacts.isConnected());
        QSignalSpy ready(mImporter.get(), &FriendImporter::friendImportReady);
        QVERIFY(mImporter->startFriendImport(false));
        QVERIFY(ready.wait(20000));
        QCOMPARE(ready.takeFirst(), QList<QVariant> {true});

        QStringList statusIds;
        for (const QuillnetSim::Simulator::Request &request : mSim->requests()) {
            if (request.path == friendsPath()) {
                QCOMPARE(request.query.queryItemValue(QStringLiteral("limit")), QStringLiteral("50"));
                QCOMPARE(request.query.queryItemValue(QStringLiteral("fields")).split(QLatin1Char(',')).size(), 19);
            } else if (request.path == QLatin1String("/statuses/latest")) {
                const QStringList ids = request.query.queryItemValue(QStringLiteral("ids")).split(QLatin1Char(','));
                QCOMPARE(ids.size(), 20);
                statusIds.append(ids);
            }
        }
        QCOMPARE(statusIds.size(), 120);
        QCOMPARE(statusIds.removeDuplicates(), 0);

        // Two pools went out when they were full; the last twenty wait for the quiet time.
        QVERIFY(plugin()->findChild<QTimer *>(QStringLiteral("poolTimer"))->isActive());
        QVERIFY(QMetaObject::invokeMethod(plugin(), "onFriendsPoolTimeout"));
        QTRY_COMPARE(contacts.personsUpdates.size(), 3);
        QCOMPARE(contacts.personsUpdates.last().size(), 20);

        // A friend's full record carries the latest status message the import brought.
        QString withStatus;
        QString phone;
        for (const Qn::QnUser &user : mSim->friends()) {
            phone = Utils::phoneNumberDigits(user.mobilePhone(), false);
            if (!mSim->statusMessages(user.id()).isEmpty() && phone.size() > 6) {
                withStatus = user.id();
                break;
            }
        }
        QVERIFY(!withStatus.isEmpty());
        const QString latest = mSim->statusMessages(withStatus).first().message();
        const auto find = [this](const QString &property, const QString &pattern) {
            SocialGetPersonsRequest request;
            request.setPropertyFilter({{property, QRegularExpression(pattern)}});
            plugin()->performRequest(&request);
            return request.persons().value(0);
        };
        QCOMPARE(find(SocialGenericData::Id, "quillnet:acct:" + withStatus).property(SocialNetworkPerson::Status),
                 QVariant(latest));

        // A restart: a new client and importer on the same cache serve the friends before asking the
        // service anything.
        newImporter();
        QSignalSpy announced(plugin(), &SocialProviderInterface::personsUpdate);
        QVERIFY(mImporter->startFriendImport(true));
        QCOMPARE(announced.count(), 3);
        QCOMPARE(announced.at(2).at(0).value<QList<SocialNetworkPerson>>().size(), 20);
        QCOMPARE(mSim->requests().size(), 0);
        // Kept in full at once: found by phone number (which no other query would have filled in).
        const SocialNetworkPerson found = find(SocialNetworkPerson::PhoneNumber, phone);
        QCOMPARE(found.property(SocialGenericData::Id), QVariant("quillnet:acct:" + withStatus));
        QCOMPARE(found.property(SocialNetworkPerson::Status), QVariant(latest));
        SocialGetPersonsRequest all;
        all.setPropertyFilter(
                {{SocialGenericData::ParentAccount, QRegularExpression(QStringLiteral("quillnet:acct"))}});
        plugin()->performRequest(&all);
        QTRY_COMPARE(all.persons().size(), 120);
        QCOMPARE(mSim->requests().size(), 0);
    }

    void stalledImportEndsAndTheNextStartsAfresh()
    {
        begin(100);
        mSim->injectFault(QStringLiteral("/statuses/latest"), QuillnetSim::Simulator::Delay, 60000, 5);
        QSignalSpy ready(mImporter.get(), &FriendImporter::friendImportReady);
        QSignalSpy failed(mClient.get(), &Qn::Quillnet::requestFailed);
        QSignalSpy announced(plugin(), &SocialProviderInterface::personsUpdate);
        QVERIFY(mImporter->startFriendImport(false));
        QTRY_COMPARE(mSim->requestCount(QStringLiteral("/statuses/latest")), 5);
        QVERIFY(safetyTimer()->isActive() && safetyTimer()->isSingleShot());
        QCOMPARE(safetyTimer()->interval(), 60000);

        // Friends without a status are announced all the same; the requests still on their way are
        // abandoned, so that they hold no connection.
        invoke("onSafetyTimeout", QGenericArgument());
        QCOMPARE(ready.takeFirst(), QList<QVariant> {false});
        QCOMPARE(announced.count(), 2);
        QTRY_COMPARE(failed.count(), 5);
        QCOMPARE(failed.first().at(0).value<Qn::RequestKind>(), Qn::LatestStatusMessageRequest);

        // The next import starts afresh, not with those friends known: all pages again, the third empty.
        QVERIFY(mImporter->startFriendImport(false));
        QVERIFY(ready.wait(20000));
        QCOMPARE(ready.first(), QList<QVariant> {true});
        QCOMPARE(mSim->requestCount(friendsPath()), 6);
        QCOMPARE(mSim->requests().at(2).query.queryItemValue(QStringLiteral("offset")), QStringLiteral("100"));
        QCOMPARE(mSim->requestCount(QStringLiteral("/statuses/latest")), 10);
    }

    void repeatedFullPagesEndThePaging()
    {
        begin(50);
        // The service's own pages come too late to matter: the test answers in its place.
        mSim->injectFault(friendsPath(), QuillnetSim::Simulator::Delay, 60000, 10);
        QVERIFY(mImporter->startFriendImport(false));
        Qn::QnUserRefs page;
        for (const Qn::QnUser &user : mSim->friends())
            page.append(user.ref());
        invoke("onFriendsUpdated", Q_ARG(Qn::QnUserRefs, page));
        QTRY_COMPARE(mSim->requestCount(friendsPath()), 2);
        // The same friends again: nothing new, so no further page.
        invoke("onFriendsUpdated", Q_ARG(Qn::QnUserRefs, page));
        QSignalSpy ready(mImporter.get(), &FriendImporter::friendImportReady);
        QVERIFY(ready.wait(20000));
        QCOMPARE(ready.first(), QList<QVariant> {true});
        QCOMPARE(mSim->requestCount(friendsPath()), 2);
        QCOMPARE(mSim->requestCount(QStringLiteral("/statuses/latest")), 3);
    }

    void refusedPagesEndTheImport()
    {
        // A page too large to take costs its friends only: the next page is asked for, and the import
        // ends at once, incomplete. Two failed pages in a row end the paging with what was found.
        for (const int refused : {1, 2}) {
            begin(120);
            QSignalSpy done(mImporter.get(), &FriendImporter::friendImportReady);
            QSignalSpy announced(plugin(), &SocialProviderInterface::personsUpdate);
            QSignalSpy pageFailed(mClient.get(), &Qn::Quillnet::requestFailed);
            mSim->injectFault(friendsPath(), QuillnetSim::Simulator::OversizedBody, 0, refused);
            QVERIFY(mImporter->startFriendImport(false));
            // Without a friend found, only the safety timer ends the import, as with an empty list: a
            // failed page arms it anew (stopped here, it must run again after the failures).
            safetyTimer()->stop();
            if (refused == 2) {
                QTRY_COMPARE(pageFailed.count(), 2);
                QVERIFY(safetyTimer()->isActive());
                invoke("onSafetyTimeout", QGenericArgument());
            }
            QVERIFY(done.count() == 1 || done.wait(20000));
            QCOMPARE(done.first(), QList<QVariant> {false});
            QCOMPARE(mSim->requestCount(friendsPath()), refused == 1 ? 3 : 2);
            QCOMPARE(mSim->requestCount(QStringLiteral("/statuses/latest")), refused == 1 ? 4 : 0);
            QVERIFY(QMetaObject::invokeMethod(plugin(), "onFriendsPoolTimeout"));
            qsizetype persons = 0;
            for (const QList<QVariant> &batch : std::as_const(announced))
                persons += batch.at(0).value<QList<SocialNetworkPerson>>().size();
            QCOMPARE(persons, refused == 1 ? 70 : 0);
        }
    }

    void startConditions()
    {
        FriendImporter unbound;
        QVERIFY(!unbound.init(nullptr, QStringLiteral("acct")));
        QVERIFY(!unbound.startFriendImport(false));

        begin(0);
        // An empty cache has nothing to serve.
        QVERIFY(!mImporter->startFriendImport(true));
        // A second start while one runs sends nothing more.
        QSignalSpy page(mClient.get(), &Qn::Quillnet::friendsUpdated);
        QSignalSpy ready(mImporter.get(), &FriendImporter::friendImportReady);
        QVERIFY(mImporter->startFriendImport(false));
        QVERIFY(mImporter->startFriendImport(false));
        QVERIFY(page.wait());
        QCOMPARE(mSim->requestCount(friendsPath()), 1);
        // No friends: the empty page asks for no status, and only the safety timer ends the import.
        QCOMPARE(page.first().first().value<Qn::QnUserRefs>().size(), 0);
        QVERIFY(safetyTimer()->isActive());
        QCOMPARE(ready.count(), 0);
        invoke("onSafetyTimeout", QGenericArgument());
        QCOMPARE(ready.takeFirst(), QList<QVariant> {false});
        QCOMPARE(mSim->requestCount(QStringLiteral("/statuses/latest")), 0);
    }

private:
    // A simulated world of that many friends, a signed-in client, and an importer bound to it.
    void begin(int friends)
    {
        mImporter.reset();
        QuillnetSim::SimConfig config;
        config.friends = friends;
        QVERIFY(start(config, false));
        newImporter();
    }

    // A new signed-in client on the same cache, and a new importer bound to it.
    void newImporter()
    {
        mImporter.reset();
        QVERIFY(newClient(clientConfiguration()));
        mImporter = std::make_unique<FriendImporter>();
        QVERIFY(mImporter->init(mClient.get(), QStringLiteral("acct")));
        mSim->clearRequests();
    }

    QuillnetPlugin *plugin() const { return mImporter->findChild<QuillnetPlugin *>(); }
    QTimer *safetyTimer() const { return mImporter->findChild<QTimer *>(QStringLiteral("safetyTimer")); }
    QString friendsPath() const { return QStringLiteral("/users/%1/friends").arg(mSim->me().id()); }

    void invoke(const char *slot, QGenericArgument a, QGenericArgument b = QGenericArgument())
    {
        QVERIFY(QMetaObject::invokeMethod(mImporter.get(), slot, a, b));
    }

    std::unique_ptr<FriendImporter> mImporter;
};

QTEST_GUILESS_MAIN(TestFriendImporter)
#include "tst_friendimporter.moc"
