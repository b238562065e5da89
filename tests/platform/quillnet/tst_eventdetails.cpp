// The event-details request: the simulated service's invitations come back as they are, and answers
// that are not the event asked for become errors.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "cachetestdata.h"
#include "platform/quillnet/quillnet.h"
#include "quillnet-sim/simulator.h"
#include "rawhttpserver.h"

using namespace Qn;
using QuillnetSim::Simulator;

class TestEventDetails : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void invitationsComeBackAsTheServiceHasThem();
    void unknownOrUnsentEventIsNoAnswer();
    void answersOtherThanTheEventAreErrors_data();
    void answersOtherThanTheEventAreErrors();

private:
    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<QnCache> mCache;
    std::unique_ptr<Simulator> mSim;
    std::unique_ptr<Quillnet> mClient;
};

void TestEventDetails::init()
{
    mDir = std::make_unique<QTemporaryDir>();
    QVERIFY(mDir->isValid());
    mCache = std::make_unique<QnCache>(cacheConfiguration(*mDir));
    mSim = std::make_unique<Simulator>();
    QVERIFY(mSim->listen());
    QuillnetConfiguration configuration(mSim->accessToken());
    configuration.setCache(mCache.get());
    configuration.setServiceUrl(mSim->baseUrl());
    mClient = std::make_unique<Quillnet>(configuration);
}

void TestEventDetails::cleanup()
{
    mClient.reset();
    mSim.reset();
    mCache.reset();
    mDir.reset();
}

void TestEventDetails::invitationsComeBackAsTheServiceHasThem()
{
    // One without owner and start time, with an id that must be encoded in the path.
    Qn::QnEvent bare(QStringLiteral("ev/1 & 2?"));
    bare.setName(QStringLiteral("Bare"));
    QVERIFY(mSim->addEventInvitation(bare));
    const QnEvents invitations = mSim->eventInvitations();
    QCOMPARE(invitations.size(), 3);
    QVERIFY(invitations.first().owner().isValid());

    QSignalSpy details(mClient.get(), &Quillnet::eventDetailsRetrieved);
    QSignalSpy errors(mClient.get(), &Quillnet::error);
    mSim->clearRequests();
    for (const QnEvent &event : invitations)
        QCOMPARE(mClient->retrieveEventDetails(event.id()), int(StatusOk));
    QCOMPARE(details.count(), 0); // never before the call has returned
    QTRY_COMPARE(details.count(), invitations.size());
    QCOMPARE(errors.count(), 0);

    QnEvents answered;
    for (const QList<QVariant> &arguments : std::as_const(details))
        answered << arguments.at(0).value<QnEvent>();
    QCOMPARE(idsOf(answered), idsOf(invitations)); // one connection: in order
    QCOMPARE(answered, invitations);
    QCOMPARE(mSim->requestCount(QStringLiteral("/events/")), invitations.size());
    QCOMPARE(mSim->requests().last().path, QStringLiteral("/events/ev/1 & 2?"));
}

void TestEventDetails::unknownOrUnsentEventIsNoAnswer()
{
    QSignalSpy details(mClient.get(), &Quillnet::eventDetailsRetrieved);
    QSignalSpy errors(mClient.get(), &Quillnet::error);
    QTest::ignoreMessage(QtWarningMsg, "int Qn::Quillnet::retrieveEventDetails(const QString&) no event id");
    QCOMPARE(mClient->retrieveEventDetails(QString()), int(StatusInvalidArgument));
    QCOMPARE(mSim->requestCount(QStringLiteral("/events")), 0);

    QCOMPARE(mClient->retrieveEventDetails(QStringLiteral("400000000000099")), int(StatusOk));
    QVERIFY(errors.wait());
    QCOMPARE(errorAt(errors).errorType(), QnError::ServiceError);
    QCOMPARE(errorAt(errors).quillnetErrorString(), QStringLiteral("not_found: No such event"));
    QCOMPARE(details.count(), 0);
}

void TestEventDetails::answersOtherThanTheEventAreErrors_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("problem");

    QTest::newRow("another event") << QByteArray(R"({"event": {"id": "e2", "name": "Other"}})")
                                   << "event details: event e1 answered with e2";
    QTest::newRow("no name") << QByteArray(R"({"event": {"id": "e1"}})") << "event details: ";
    QTest::newRow("a list") << QByteArray(R"({"data": [{"id": "e1", "name": "Party"}]})") << "event details: ";
    QTest::newRow("owner not a user ref")
            << QByteArray(R"({"event": {"id": "e1", "name": "Party", "owner": "Ann"}})") << "event details: ";
}

void TestEventDetails::answersOtherThanTheEventAreErrors()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, problem);

    RawHttpServer server;
    QVERIFY(server.listen());
    QuillnetConfiguration configuration(QStringLiteral("token"));
    configuration.setServiceUrl(server.baseUrl());
    Quillnet client(configuration);
    server.enqueue(RawHttpServer::response(200, body), "/events/e1");

    QSignalSpy details(&client, &Quillnet::eventDetailsRetrieved);
    QSignalSpy errors(&client, &Quillnet::error);
    QCOMPARE(client.retrieveEventDetails(QStringLiteral("e1")), int(StatusOk));
    QVERIFY(errors.wait());
    QCOMPARE(errorAt(errors).errorType(), QnError::InvalidResponseError);
    QVERIFY2(errorAt(errors).quillnetErrorString().startsWith(problem),
             qPrintable(errorAt(errors).quillnetErrorString()));
    QCOMPARE(details.count(), 0);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().method, QByteArray("GET"));
    QCOMPARE(server.requests().first().header("Authorization"), QByteArray("Bearer token"));
}

QTEST_GUILESS_MAIN(TestEventDetails)
#include "tst_eventdetails.moc"
