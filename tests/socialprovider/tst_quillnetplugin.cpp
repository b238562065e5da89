// The Quillnet plug-in without the bus: account and service records, conversions and their caches,
// announcements and the pool, and person queries that the bus tests do not reach.
#include <QDataStream>
#include <QDate>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

#include "platform/socialprovider/socialdatarequest.h"
#include "simclient.h"
#include "socialprovider/quillnetplugin.h"

namespace {

// A request of the persons type that is not a persons request.
class OddRequest : public SocialDataRequest
{
public:
    OddRequest()
        : SocialDataRequest(PersonsType, nullptr)
    {}
};

QByteArray streamed(const SocialGenericData &record)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << record;
    return bytes;
}

QStringList idsOf(const QList<SocialNetworkPerson> &persons)
{
    QStringList ids;
    for (const SocialNetworkPerson &person : persons)
        ids.append(person.property(SocialGenericData::Id).toString());
    return ids;
}

} // namespace

class TestQuillnetPlugin : public QObject, public SimClientFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Qn::registerMetaTypes();
        QuillnetSim::SimConfig config;
        config.friends = 0;
        QVERIFY(start(config));

        for (int i = 0; i < 120; ++i) {
            Qn::QnUser user(QStringLiteral("f%1").arg(i, 3, 10, QLatin1Char('0')), QStringLiteral("Friend %1").arg(i));
            user.setFirstName(QStringLiteral("Friend"));
            mFriends.append(user);
        }
        // Not a number as it stands ("p" is a pause), but one as a SIP address.
        mFriends[0].setMobilePhone(QStringLiteral("sip:1234@example.org"));
        mFriends[1].setBirthday(QStringLiteral("02/30/1990"));
        mFriends[2].setBirthday(QStringLiteral("07/04"));
        mFriends[3].setBirthday(QStringLiteral("07/04/1976"));
        QVERIFY(mCache->storeFriendPage(mSim->me().id(), mFriends));
    }

    void init()
    {
        mPlugin = std::make_unique<QuillnetPlugin>();
        mPlugin->setQuillnetInstance(QStringLiteral("acct"), mClient.get());
    }

    void cleanup() { mPlugin.reset(); }

    void accountRecordsAndEvents()
    {
        const QString me = mSim->me().id();
        SocialServiceAccount account = mPlugin->buildAccount(QStringLiteral("acct"));
        QCOMPARE(account.propertyNames(),
                 QStringList({"Id", "SocialServiceId", "AccountName", "UserName", "State", "ProfileId"}));
        QCOMPARE(account.property(SocialGenericData::Id), QVariant(QStringLiteral("quillnet:acct")));
        QCOMPARE(account.property(SocialServiceAccount::State), QVariant(3));
        QCOMPARE(account.property(SocialServiceAccount::ProfileId), QVariant(QStringLiteral("quillnet:acct:") + me));

        // The client's picture path is absolute already: taken as it is.
        const QString picture
                = mCache->storeProfilePicture(me, Qn::SmallPicture, mSim->profilePictureData(me, Qn::SmallPicture));
        QVERIFY(QDir::isAbsolutePath(picture));
        QCOMPARE(mPlugin->buildAccount(QStringLiteral("acct")).property(SocialServiceAccount::Avatar),
                 QVariant(picture));

        const SocialServiceAccount other = mPlugin->buildAccount(QStringLiteral("other"));
        QCOMPARE(other.property(SocialServiceAccount::State), QVariant(1));
        QVERIFY(!other.hasProperty(SocialServiceAccount::ProfileId));
        QVERIFY(!other.hasProperty(SocialServiceAccount::Avatar));

        QCOMPARE(mPlugin->accounts().size(), 1);
        QVERIFY(mCache->clearDiskCache());

        QSignalSpy data(mPlugin.get(), &SocialProviderInterface::dataUpdate);
        // Bound a second time under the same name: still one announcement per initialisation.
        mPlugin->setQuillnetInstance(QStringLiteral("acct"), mClient.get());
        emit mClient->initialized();
        QCOMPARE(data.count(), 1);
        QCOMPARE(data.takeFirst().at(1).value<QList<QString>>(), QList<QString>());

        mPlugin->accountDisabled();
        mPlugin->accountRemoved();
        QCOMPARE(data.count(), 2);
        for (int state : {4, 5}) {
            const QList<QVariant> arguments = data.takeFirst();
            const auto records = arguments.at(0).value<QList<SocialGenericData>>();
            QCOMPARE(records.value(0).property(SocialServiceAccount::State), QVariant(state));
            QCOMPARE(arguments.at(1).value<QList<QString>>(), QList<QString> {SocialServiceAccount::State});
        }

        // Removed: persons fail, services and accounts are still answered.
        SocialGetPersonsRequest persons;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Init failed or not called. Cannot perform request."));
        mPlugin->performRequest(&persons);
        QCOMPARE(persons.errors(),
                 QList<SocialProviderError> {SocialProviderError(
                         6, QStringLiteral("QuillnetSocialProvider failed to initialize (No accounts?)."))});
        GetAggregatedServicesRequest services;
        mPlugin->performRequest(&services);
        QCOMPARE(services.services().size(), 1);
        SocialGetAccountsRequest accounts;
        mPlugin->performRequest(&accounts);
        QVERIFY(accounts.state() == SocialDataRequest::Finished && accounts.errors().isEmpty());

        OddRequest odd;
        mPlugin->setQuillnetInstance(QStringLiteral("acct"), mClient.get());
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("qobject_cast<SocialGetPersonsRequest\\*>\\(request\\) = 0"));
        mPlugin->performRequest(&odd);
        QCOMPARE(odd.errors(), QList<SocialProviderError> {SocialProviderError(7, QString())});
    }

    void conversions()
    {
        Qn::QnUsers users = mFriends.mid(0, 4);
        users.append(mSim->me());
        QList<SocialNetworkPerson> persons;
        QVERIFY(mPlugin->convertQnFriends2SocPersons(users, persons, true));
        QCOMPARE(persons.first().propertyNames(), QStringList({"Id", "Relationship", "ParentAccount"}));
        QCOMPARE(persons.first().property(SocialNetworkPerson::Relationship), QVariant(2));
        QCOMPARE(persons.last().property(SocialNetworkPerson::Relationship), QVariant(1));

        persons.clear();
        QVERIFY(mPlugin->convertQnFriends2SocPersons(users, persons, false));
        QVERIFY(!persons.at(1).hasProperty(QStringLiteral("Birthday")));
        QVERIFY(!persons.at(2).hasProperty(QStringLiteral("Birthday")));
        // Filed under the digits of the SIP address.
        QCOMPARE(idsOf(query(SocialNetworkPerson::PhoneNumber, QStringLiteral("1234"))),
                 QStringList {"quillnet:acct:f000"});

        // Records kept in memory are made again when handed out: each time the same bytes as the record
        // made from the user, texts that need two bytes a character, null and empty ones alike.
        Qn::QnUser wide(QStringLiteral("f006"), QStringLiteral("x"));
        wide.setFirstName(QStringLiteral("Zo\u00eb \u0141\u00f3d\u017a ") + QChar(0xd800));
        wide.setLastName(QStringLiteral(""));
        wide.setEmail(QStringLiteral("zoe@example.org"));
        wide.setWebsite(QStringLiteral(" a.example  b.example "));
        wide.setBirthday(QStringLiteral("12/31/1999"));
        wide.setMobilePhone(QStringLiteral("+49 170 555 0106"));
        wide.setLink(QStringLiteral("https://quillnet.example/f006"));
        Qn::QnUser narrow(QStringLiteral("f007"), QStringLiteral("y"));
        narrow.setFirstName(QStringLiteral("\u00c9mile"));
        narrow.setMobilePhone(QStringLiteral("0170 555 0107"));
        Qn::QnPost post(QStringLiteral("s6"));
        post.setMessage(QStringLiteral("Gr\u00fc\u00dfe \u263a"));
        post.setUpdated(QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC));
        mPlugin->setStatusMessage(wide.id(), post);
        for (const Qn::QnUser &user : {wide, narrow}) {
            SocialNetworkPerson expected;
            expected.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct:") + user.id());
            expected.setProperty(SocialNetworkPerson::Relationship, 2);
            expected.setParentAccount(QStringLiteral("quillnet:acct"));
            expected.setProperty(SocialNetworkPerson::FirstName, user.firstName());
            expected.setProperty(SocialNetworkPerson::LastName, user.lastName());
            expected.setProperty(SocialServiceAccount::SocialServiceId, QStringLiteral("quillnet"));
            expected.setProperty(SocialNetworkPerson::AboutMe, user.about());
            if (user.id() == wide.id()) {
                expected.setProperty(QStringLiteral("EmailAddresses"), QStringList {user.email()});
                expected.setProperty(QStringLiteral("Websites"), QStringList {"a.example", "b.example"});
                expected.setProperty(QStringLiteral("Birthday"), QDate(1999, 12, 31));
            }
            expected.setProperty(QStringLiteral("PhoneNumber"), user.mobilePhone());
            if (user.id() == wide.id()) {
                expected.setProperty(QStringLiteral("ProfileLink"), user.link());
                expected.setProperty(SocialNetworkPerson::Status, post.message());
                expected.setProperty(SocialNetworkPerson::StatusChangeTime, post.updated());
            }
            QList<SocialNetworkPerson> made;
            mPlugin->convertQnFriends2SocPersons({user, user}, made, false);
            made += query(SocialGenericData::Id, QStringLiteral("quillnet:acct:") + user.id());
            made += query(SocialNetworkPerson::PhoneNumber, user.mobilePhone().right(4));
            QCOMPARE(made.size(), 4);
            for (const SocialNetworkPerson &person : std::as_const(made))
                QCOMPARE(streamed(person).toHex(), streamed(expected).toHex());
        }

        // Nothing to convert, but the list was not empty.
        QVERIFY(mPlugin->convertQnFriends2SocPersons({}, persons, false));
        QList<SocialNetworkPerson> empty;
        QVERIFY(!mPlugin->convertQnFriends2SocPersons({}, empty, false));
    }

    void recentRecordsAreServedUntilTheTimer()
    {
        Qn::QnUser changed = mFriends.at(5);
        QList<SocialNetworkPerson> persons;
        mPlugin->convertQnFriends2SocPersons({changed}, persons, false);
        QVERIFY(timer("recentTimer")->isActive());
        QCOMPARE(timer("recentTimer")->interval(), 300000);
        QVERIFY(!timer("recentTimer")->isSingleShot());

        changed.setFirstName(QStringLiteral("Renamed"));
        mPlugin->convertQnFriends2SocPersons({changed}, persons, false);
        QCOMPARE(persons.at(1).property(SocialNetworkPerson::FirstName), QVariant(QStringLiteral("Friend")));

        QVERIFY(QMetaObject::invokeMethod(mPlugin.get(), "onClearRecentFriendsTimer"));
        QVERIFY(!timer("recentTimer")->isActive());
        mPlugin->convertQnFriends2SocPersons({changed}, persons, false);
        QCOMPARE(persons.at(2).property(SocialNetworkPerson::FirstName), QVariant(QStringLiteral("Renamed")));
    }

    void announcementsInChunksAndThePool()
    {
        // Fifty at most, in short records (tst_friendimporter: 120 as 50, 50, 20); none for nobody.
        QSignalSpy announced(mPlugin.get(), &SocialProviderInterface::personsUpdate);
        mPlugin->friendsUpdated(mFriends.mid(0, 50));
        mPlugin->friendsUpdated(Qn::QnUsers());
        QCOMPARE(announced.count(), 1);
        const auto persons = announced.first().at(0).value<QList<SocialNetworkPerson>>();
        QCOMPARE(persons.size(), 50);
        QCOMPARE(persons.first().propertyCount(), 3);

        // The pool announces at fifty or after a quiet time.
        announced.clear();
        for (int i = 0; i < 49; ++i)
            mPlugin->addToFriendPool(mFriends.at(i).id());
        QCOMPARE(announced.count(), 0);
        QVERIFY(timer("poolTimer")->isActive());
        QCOMPARE(timer("poolTimer")->interval(), 5000);
        // The fiftieth announces all at once, a repeated id included.
        mPlugin->addToFriendPool(mFriends.at(0).id());
        QCOMPARE(announced.count(), 1);
        QCOMPARE(announced.takeFirst().at(0).value<QList<SocialNetworkPerson>>().size(), 50);

        // An id the cache does not know is left out; the rest go after the quiet time.
        mPlugin->addToFriendPool(QStringLiteral("stranger"));
        mPlugin->addToFriendPool(mFriends.at(60).id());
        QVERIFY(QMetaObject::invokeMethod(mPlugin.get(), "onFriendsPoolTimeout"));
        QCOMPARE(announced.count(), 1);
        QCOMPARE(idsOf(announced.takeFirst().at(0).value<QList<SocialNetworkPerson>>()),
                 QStringList {"quillnet:acct:f060"});
        QVERIFY(!timer("poolTimer")->isActive());
        QVERIFY(QMetaObject::invokeMethod(mPlugin.get(), "onFriendsPoolTimeout"));
        QCOMPARE(announced.count(), 0);

        // One friend's update goes out at once, past the pool; one the cache does not know, not at all.
        mPlugin->friendUpdated(QStringLiteral("stranger"));
        mPlugin->friendUpdated(mFriends.at(7).id());
        QCOMPARE(announced.count(), 1);
        QCOMPARE(idsOf(announced.takeFirst().at(0).value<QList<SocialNetworkPerson>>()),
                 QStringList {"quillnet:acct:f007"});
    }

    void queriesThatAnswerNothing()
    {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Unsupported Relationship filter"));
        QVERIFY(query(SocialNetworkPerson::Relationship, QStringLiteral("2")).isEmpty());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Unsupported filters"));
        QVERIFY(query(SocialNetworkPerson::FirstName, QStringLiteral("Friend")).isEmpty());
        QTest::ignoreMessage(QtWarningMsg, "No qn friend with ID: \"nobody\"");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no match"));
        QVERIFY(query(SocialGenericData::Id, QStringLiteral("quillnet:acct:nobody|quillnet:other:f001|f002"))
                        .isEmpty());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Account != current account"));
        QVERIFY(query(SocialGenericData::ParentAccount, QStringLiteral("other")).isEmpty());

        // A client that went: the query is left unanswered.
        auto *client = new Qn::Quillnet(Qn::QuillnetConfiguration(QStringLiteral("token")));
        QuillnetPlugin plugin;
        plugin.setQuillnetInstance(QStringLiteral("acct"), client);
        delete client;
        SocialGetPersonsRequest request;
        plugin.performRequest(&request);
        QCOMPARE(request.state(), int(SocialDataRequest::Created));
        QList<SocialNetworkPerson> persons;
        QVERIFY(!plugin.convertQnFriends2SocPersons(mFriends.mid(0, 1), persons, true));
        QCOMPARE(plugin.buildAccount(QStringLiteral("acct")).propertyCount(), 0);
        QVERIFY(plugin.accounts().isEmpty());
    }

    void manyFriendsAreAnsweredOverSeveralPasses()
    {
        // Several pages of friends, read from the cache, then from the records kept once they are all the friends.
        for (const bool kept : {false, true}) {
            mPlugin->cacheFriends(mFriends, kept);
            SocialGetPersonsRequest request;
            mPlugin->performRequest(&request);
            QCOMPARE(request.state(), int(SocialDataRequest::Processing));
            QTRY_COMPARE(request.state(), int(SocialDataRequest::Finished));
            QCOMPARE(idsOf(request.persons()), idsOf(query(SocialGenericData::Id, idsOf(request.persons()).join('|'))));
            QCOMPARE(request.persons().size(), mFriends.size());
        }
    }

private:
    QList<SocialNetworkPerson> query(const QString &property, const QString &pattern)
    {
        SocialGetPersonsRequest request;
        request.setPropertyFilter({{property, QRegularExpression(pattern)}});
        mPlugin->performRequest(&request);
        // Many friends come over several event-loop passes.
        return QTest::qWaitFor([&] { return request.state() == SocialDataRequest::Finished; }, 5000)
                ? request.persons()
                : QList<SocialNetworkPerson> {};
    }

    QTimer *timer(const char *name) const { return mPlugin->findChild<QTimer *>(QLatin1String(name)); }

    std::unique_ptr<QuillnetPlugin> mPlugin;
    Qn::QnUsers mFriends;
};

QTEST_GUILESS_MAIN(TestQuillnetPlugin)
#include "tst_quillnetplugin.moc"
