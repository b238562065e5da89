// The runner on the private bus, asked as the contacts service asks it: request bytes in, answers
// and updates out, with the Quillnet plug-in over a simulated service, or with a stand-in handler
// where the handler's own behaviour is the point.
#include <QDBusReply>
#include <QPointer>
#include <QTest>

#include <memory>
#include <numeric>

#include "platform/socialprovider/socialdatarequest.h"
#include "platform/socialprovider/socialproviderinterface.h"
#include "simclient.h"
#include "socialprovider/contactsservice.h"
#include "socialprovider/quillnetplugin.h"
#include "socialprovider/sdpimpl.h"

namespace {

// The request of the worked example in docs/socialprovider.md, copied from there.
const QByteArray DocumentRequest = QByteArray::fromHex(
        "0000000100000001000000040049006400000020007100750069006c006c006e00650074003a0061006300630074003a00340032");

const QString Unsupported = QStringLiteral("void SdpImpl::performRequest(int, const QString&, const QByteArray&)");

// Keeps what it is given, unfinished unless it answers persons at once, and emits updates on demand.
class StandInHandler : public SocialProviderInterface
{
public:
    void performRequest(SocialDataRequest *request) override
    {
        requests.append(request);
        if (auto *persons = qobject_cast<SocialGetPersonsRequest *>(request); persons && answerAtOnce) {
            persons->setPersons(answer);
            persons->setState(SocialDataRequest::Finished);
        }
    }
    QList<QPointer<SocialDataRequest>> requests;
    bool answerAtOnce = false;
    QList<SocialNetworkPerson> answer;
};

// Persons of about `bytes` bytes each in the record form.
QList<SocialNetworkPerson> personsOf(int count, int bytes)
{
    QList<SocialNetworkPerson> persons;
    const QString about(bytes / 2, QLatin1Char('a'));
    for (int i = 0; i < count; ++i) {
        SocialNetworkPerson person;
        person.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct:%1").arg(i));
        person.setProperty(SocialNetworkPerson::AboutMe, about);
        persons.append(person);
    }
    return persons;
}

} // namespace

class TestSdpImpl : public QObject, public SimClientFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        Qn::registerMetaTypes();
        QuillnetSim::SimConfig config;
        config.friends = 0;
        QVERIFY(start(config));

        Qn::QnUsers friends;
        for (const QString &mobile : {QStringLiteral("+1 555 0100 123"), QStringLiteral("555-0100"), QString()}) {
            friends.append(Qn::QnUser(QString::number(42 + friends.size()), QStringLiteral("Friend")));
            friends.last().setMobilePhone(mobile);
        }
        QVERIFY(mCache->storeFriendPage(mSim->me().id(), friends));
    }

    void init()
    {
        mRunner = std::make_unique<SdpImpl>();
        mPlugin = new QuillnetPlugin;
        mRunner->setHandler(mPlugin);
        mPlugin->setQuillnetInstance(QStringLiteral("acct"), mClient.get());
        mContacts = std::make_unique<ContactsService>();
        QVERIFY(mContacts->isConnected());
    }

    void cleanup()
    {
        mContacts.reset();
        mRunner.reset();
    }

    void introspection()
    {
        // The runner's interface (its members are the adaptor's, generated from the same XML) and,
        // besides it, only the bus's standard interfaces.
        const QDBusReply<QString> reply
                = mContacts->bus().call(ContactsService::call(QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                              QStringLiteral("Introspect")),
                                        QDBus::BlockWithGui);
        const QString xml = reply.value();
        QVERIFY(xml.contains(QStringLiteral("<interface name=\"com.tarvo.socialprovider.runner\">")));
        QCOMPARE(xml.count(QStringLiteral("<interface name=")),
                 xml.count(QStringLiteral("<interface name=\"org.freedesktop.DBus.")) + 1);
    }

    void personsRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("ids");
        const QString me = QStringLiteral("quillnet:acct:") + mSim->me().id();
        QTest::newRow("by id, the document's bytes") << DocumentRequest << QStringList {"quillnet:acct:42"};
        QTest::newRow("by ids, other accounts skipped")
                << ContactsService::requestBytes({{"Id", "(quillnet:acct:43)|(quillnet:other:42)|(quillnet:acct:44)"}})
                << QStringList {"quillnet:acct:43", "quillnet:acct:44"};
        QTest::newRow("by relationship") << ContactsService::requestBytes({{"Relationship", "\\b(2|1)\\b"}})
                                         << QStringList {me};
        QTest::newRow("by parent account") << ContactsService::requestBytes({{"ParentAccount", "quillnet:acct"}})
                                           << QStringList {"quillnet:acct:42", "quillnet:acct:43", "quillnet:acct:44"};
        // Digits 15550100123 and 5550100: the empty alternative ends both and takes the first in order.
        QTest::newRow("by phone number suffix")
                << ContactsService::requestBytes({{"PhoneNumber", "5550100|0123|"}})
                << QStringList {"quillnet:acct:43", "quillnet:acct:42", "quillnet:acct:42"};
        QTest::newRow("relationship before id")
                << ContactsService::requestBytes({{"Id", "quillnet:acct:42"}, {"Relationship", "1"}})
                << QStringList {me};
        QTest::newRow("all friends") << ContactsService::requestBytes({})
                                     << QStringList {"quillnet:acct:42", "quillnet:acct:43", "quillnet:acct:44"};
    }

    void personsRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, ids);
        // Phone numbers are known once friends were converted in full.
        Qn::QnUsers friends;
        QCOMPARE(mClient->retrieveFriends(&friends, Qn::QnDataFilter(), Qn::RetrieveFromCache), int(Qn::StatusOk));
        mPlugin->cacheFriends(friends, false);

        ContactsService::Answer answer;
        QVERIFY(ask(SocialDataRequest::PersonsType, QStringLiteral("req-1"), request, &answer));
        QVERIFY(answer.error.isEmpty());
        bool ok = false;
        const QList<ContactsService::Record> records = ContactsService::records(answer.request, &ok);
        QVERIFY(ok);
        QStringList answered;
        for (const ContactsService::Record &record : records) {
            QCOMPARE(record.className, QStringLiteral("SocialNetworkPerson"));
            answered.append(record.value(QStringLiteral("Id")).toString());
        }
        QCOMPARE(answered, ids);
    }

    void refusedRequests_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("description");
        const QString unreadable = QStringLiteral("The request could not be read");
        QTest::newRow("type 2") << 2 << DocumentRequest << Unsupported;
        QTest::newRow("type 12") << 12 << QByteArray() << Unsupported;
        // How each malformed form is refused is the reader's and tst_socialdata's; here, that it is answered.
        QTest::newRow("garbage") << 5 << QByteArray("\x13\x37 not a request at all") << unreadable;
        QTest::newRow("over 1 MiB") << 5 << DocumentRequest + QByteArray(1024 * 1024, '\0') << unreadable;
    }

    void refusedRequests()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, request);
        QFETCH(QString, description);
        ContactsService::Answer answer;
        QVERIFY(ask(type, QStringLiteral("bad"), request, &answer));
        // Sent back unless that would not fit into a message.
        QCOMPARE(answer.request, request.size() > SdpImpl::DefaultMaxMessageBytes - 8192 ? QByteArray() : request);
        QCOMPARE(ContactsService::error(answer.error), qMakePair(1, description));

        // The runner goes on answering.
        QVERIFY(ask(SocialDataRequest::AggregatedServicesType, QStringLiteral("after"),
                    ContactsService::requestBytes({}), &answer));
        QVERIFY(answer.error.isEmpty());
    }

    void withoutHandler()
    {
        mRunner->setHandler(nullptr);
        QTest::ignoreMessage(QtWarningMsg, qPrintable(Unsupported + QStringLiteral(" Handler is null")));
        ContactsService::Answer answer;
        QVERIFY(ask(SocialDataRequest::AggregatedServicesType, QStringLiteral("s"), ContactsService::requestBytes({}),
                    &answer));
        QVERIFY(answer.error.isEmpty());
        bool ok = false;
        const QList<ContactsService::Record> services = ContactsService::records(answer.request, &ok);
        QVERIFY(ok);
        QCOMPARE(services.size(), 1);
        QCOMPARE(services.first().className, QStringLiteral("SocialService"));
        QCOMPARE(services.first().names,
                 QStringList({"ProviderName", "Id", "Description", "Icon", "Website", "ForceAutomerged"}));
        QCOMPARE(services.first().value("Website").toUrl().scheme(), QStringLiteral("https"));
        QCOMPARE(services.first().value("ForceAutomerged"), QVariant(true));

        QTest::ignoreMessage(QtWarningMsg, qPrintable(Unsupported + QStringLiteral(" Handler is null")));
        QVERIFY(ask(SocialDataRequest::PersonsType, QStringLiteral("p"), DocumentRequest, &answer));
        QCOMPARE(answer.request, DocumentRequest);
        QCOMPARE(ContactsService::error(answer.error), qMakePair(6, QStringLiteral("Handler not ready")));
    }

    void sameIdTwiceIsAnsweredTwice()
    {
        for (int i = 0; i < 2; ++i)
            mContacts->perform(SocialDataRequest::AccountsType, QStringLiteral("dup"),
                               ContactsService::requestBytes({}));
        QTRY_COMPARE(mContacts->answers.size(), 2);
        for (const ContactsService::Answer &answer : std::as_const(mContacts->answers)) {
            bool ok = false;
            const QList<ContactsService::Record> records = ContactsService::records(answer.request, &ok);
            QVERIFY(ok && answer.id == QLatin1String("dup"));
            QCOMPARE(records.value(0).value("Id"), QVariant(QStringLiteral("quillnet:acct")));
        }
    }

    void requestsLeaveNothingBehind()
    {
        // One with an empty id is deleted when it finishes, unanswered; one that finishes with two errors
        // is answered with the first; the unfinished one goes with the runner.
        StandInHandler *handler = useStandIn();
        mRunner->performRequest(SocialDataRequest::PersonsType, QString(), DocumentRequest);
        mRunner->performRequest(SocialDataRequest::PersonsType, QStringLiteral("errors"),
                                ContactsService::requestBytes({{"Id", "x"}}));
        mRunner->performRequest(SocialDataRequest::AccountsType, QStringLiteral("never"),
                                ContactsService::requestBytes({}));
        QTRY_COMPARE(handler->requests.size(), 3);
        const QList<QPointer<SocialDataRequest>> requests = handler->requests;
        QTest::ignoreMessage(
                QtWarningMsg,
                "void SdpImpl::requestFinished(SocialDataRequest*) \"\" request not signaled - not found!!!!");
        requests.first()->setState(SocialDataRequest::Finished);
        requests.at(1)->setState(
                SocialDataRequest::Finished,
                {SocialProviderError(7, QStringLiteral("first")), SocialProviderError(6, QStringLiteral("second"))});
        QTRY_COMPARE(mContacts->answers.size(), 1);
        QCOMPARE(ContactsService::error(mContacts->answers.first().error), qMakePair(7, QStringLiteral("first")));
        QTRY_VERIFY(requests.first().isNull() && requests.at(1).isNull());
        mContacts.reset();
        mRunner.reset();
        QVERIFY(requests.last().isNull());
    }

    void updatesAndLargeAnswersComeInParts()
    {
        StandInHandler *handler = useStandIn();
        emit handler->personsUpdate({}, {});
        SocialServiceAccount account;
        account.setProperty(SocialServiceAccount::State, 4);
        emit handler->dataUpdate({account}, {SocialServiceAccount::State});
        emit handler->activityUpdate({SocialActivity()}, {}, SocialProviderTimeline::FriendsTimeline);
        QTRY_COMPARE(mContacts->timelines, QList<int> {2});
        QCOMPARE(mContacts->personsUpdates, QList<QVariantList> {QVariantList()});
        QCOMPARE(mContacts->dataProperties, QList<QStringList> {QStringList {"State"}});
        QCOMPARE(mContacts->dataUpdates.value(0).size(), 1);
        bool ok = false;
        const ContactsService::Record record = ContactsService::record(mContacts->dataUpdates[0][0].toByteArray(), &ok);
        QVERIFY(ok && record.className == QLatin1String("SocialServiceAccount"));
        QCOMPARE(record.value("State"), QVariant(4));

        // 70 000 friends of 1 KB: more than the bus takes in one message (libdbus aborts the sender).
        handler->answerAtOnce = true;
        handler->answer = personsOf(70000, 1000);
        mContacts->perform(SocialDataRequest::PersonsType, QStringLiteral("all"), ContactsService::requestBytes({}));
        QTRY_VERIFY_WITH_TIMEOUT(mContacts->completed.contains(QStringLiteral("all")), 60000);
        const QList<ContactsService::Record> records = mContacts->assembled(QStringLiteral("all"), &ok);
        QVERIFY(ok);
        QCOMPARE(records.size(), 70000);
        QCOMPARE(records.last().value("Id"), QVariant(QStringLiteral("quillnet:acct:69999")));
        QVERIFY(mContacts->largestAnswer <= SdpImpl::DefaultMaxMessageBytes);

        // With a lower limit: a record that fits no message is left out; updates are split as well.
        mContacts->answers.clear();
        mContacts->personsUpdates.clear();
        mContacts->largestAnswer = 0;
        mRunner->setMaxMessageBytes(16 * 1024);
        handler->answer = personsOf(3, 4000) + personsOf(1, 20000);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("1 records larger than a message are left out of part"));
        mContacts->perform(SocialDataRequest::PersonsType, QStringLiteral("some"), ContactsService::requestBytes({}));
        QTRY_VERIFY(mContacts->completed.contains(QStringLiteral("some")));
        QCOMPARE(mContacts->assembled(QStringLiteral("some"), &ok).size(), 3);
        QVERIFY(ok);
        emit handler->personsUpdate(personsOf(10, 4000), {});
        QTRY_COMPARE(std::accumulate(mContacts->personsUpdates.cbegin(), mContacts->personsUpdates.cend(), 0,
                                     [](int sum, const QVariantList &data) { return sum + int(data.size()); }),
                     10);
        QVERIFY(mContacts->personsUpdates.size() > 1);
        QVERIFY(mContacts->largestAnswer <= 16 * 1024);
        // Room is kept for the names of the updated properties, no more than they take.
        mContacts->personsUpdates.clear();
        emit handler->personsUpdate(personsOf(1, 5000), {QString(3000, QLatin1Char('p'))});
        QTRY_COMPARE(mContacts->personsUpdates.value(0).size(), 1);
    }

    void floodIsAnsweredFromOneConversion()
    {
        constexpr int Flood = 300;
        StandInHandler *handler = useStandIn();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("has 128 requests pending: refusing more"));
        for (int i = 0; i < Flood; ++i)
            mContacts->perform(SocialDataRequest::PersonsType, QStringLiteral("flood-%1").arg(i),
                               ContactsService::requestBytes({}));
        QTRY_COMPARE(mContacts->answers.size(), Flood - SdpImpl::MaxPendingPerClient);
        for (const ContactsService::Answer &answer : std::as_const(mContacts->answers))
            QCOMPARE(ContactsService::error(answer.error), qMakePair(1, QStringLiteral("Too many requests pending")));
        // One conversion for all of them.
        QCOMPARE(handler->requests.size(), 1);

        // Each in parts (the daemon's control calls pass between them: tst_faults).
        mRunner->setMaxMessageBytes(16 * 1024);
        static_cast<SocialGetPersonsRequest *>(handler->requests.first().data())->setPersons(personsOf(30, 1000));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("172 requests of client .* were refused"));
        handler->requests.first()->setState(SocialDataRequest::Finished);
        QTRY_COMPARE_WITH_TIMEOUT(mContacts->completed.size(), Flood, 30000);
        bool ok = false;
        QCOMPARE(mContacts->assembled(mContacts->completed.last(), &ok).size(), 30);
        QVERIFY(ok);
    }

private:
    // The plug-in's answer to a request sent over the bus; false when none came.
    [[nodiscard]] bool ask(int type, const QString &id, const QByteArray &bytes, ContactsService::Answer *answer)
    {
        const int before = mContacts->answers.size();
        mContacts->perform(type, id, bytes);
        if (!QTest::qWaitFor([&] { return mContacts->answers.size() > before; }, 10000))
            return false;
        *answer = mContacts->answers.last();
        return answer->type == type && answer->id == id;
    }

    StandInHandler *useStandIn()
    {
        auto *handler = new StandInHandler;
        mRunner->setHandler(handler);
        return handler;
    }

    std::unique_ptr<SdpImpl> mRunner;
    std::unique_ptr<ContactsService> mContacts;
    QuillnetPlugin *mPlugin = nullptr;
};

QTEST_GUILESS_MAIN(TestSdpImpl)
#include "tst_sdpimpl.moc"
