// The home screen's contacts view against a fake social provider on the test bus: what it asks and
// when, the lines it prints for what the provider answers and announces, and what it leaves alone.
#include <QDataStream>
#include <QDateTime>
#include <QIODevice>
#include <QRegularExpression>
#include <QTest>

#include <memory>

#include "fakeprovider.h"
#include "homescreen/contactsview.h"

namespace {

SocialNetworkPerson person(const QString &id, int relationship = SocialNetworkPerson::Friend)
{
    SocialNetworkPerson record;
    record.setProperty(SocialGenericData::Id, id);
    record.setProperty(SocialNetworkPerson::Relationship, relationship);
    record.setParentAccount(QStringLiteral("quillnet:acct"));
    return record;
}

// A warning about the view's request number n.
QRegularExpression aboutRequest(const QString &pattern, int n)
{
    const QString id = QStringLiteral("homescreen-%1-%2").arg(QCoreApplication::applicationPid()).arg(n);
    return QRegularExpression(QRegularExpression::anchoredPattern(QRegularExpression::escape(pattern.arg(id))));
}

} // namespace

class TestContactsView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void asksOnAppearance();
    void followsPersonsUpdate();
    void answers();
    void bounds();

private:
    void startView();
    // A provider answering with these persons, not on the bus yet.
    FakeProvider *makeProvider(const QList<SocialNetworkPerson> &persons = {});

    std::unique_ptr<HomeScreen::ContactsView> mView;
    std::unique_ptr<FakeProvider> mProvider;
    QStringList mLines;
};

void TestContactsView::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

void TestContactsView::cleanup()
{
    mView.reset();
    mProvider.reset();
    mLines.clear();
}

void TestContactsView::startView()
{
    mView = std::make_unique<HomeScreen::ContactsView>();
    connect(mView.get(), &HomeScreen::ContactsView::changeReported, this,
            [this](const QString &line) { mLines << line; });
    QVERIFY(mView->start());
}

FakeProvider *TestContactsView::makeProvider(const QList<SocialNetworkPerson> &persons)
{
    mProvider = std::make_unique<FakeProvider>();
    mProvider->persons = persons;
    return mProvider.get();
}

void TestContactsView::asksOnAppearance()
{
    startView();
    SocialNetworkPerson ada;
    // Set in another order than shown.
    ada.setProperty(QStringLiteral("Nickname"), QStringLiteral("Ace"));
    ada.setProperty(SocialNetworkPerson::Status, QStringLiteral("Off to \"the\" lab\nback at 5\t\\o/"));
    ada.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct:42"));
    ada.setProperty(SocialNetworkPerson::Relationship, 2);
    ada.setParentAccount(QStringLiteral("quillnet:acct"));
    ada.setProperty(SocialNetworkPerson::FirstName, QStringLiteral("Ada"));
    ada.setProperty(SocialNetworkPerson::LastName, QStringLiteral("Love\x1blace"));
    ada.setProperty(SocialNetworkPerson::AboutMe, QString(250, QLatin1Char('a')));
    ada.setProperty(QStringLiteral("EmailAddresses"), QStringList {"ada@example.org"});
    ada.setProperty(QStringLiteral("Birthday"), QDate(1990, 12, 10));
    ada.setProperty(SocialNetworkPerson::StatusChangeTime, QDateTime(QDate(2024, 5, 1), QTime(8, 15), Qt::UTC));
    ada.setProperty(SocialNetworkPerson::PhoneNumber, QStringLiteral("+1 555 0100"));
    ada.setProperty(SocialServiceAccount::SocialServiceId, QStringLiteral("quillnet"));
    ada.setProperty(QStringLiteral("two words"), QStringLiteral("left out"));

    QTest::ignoreMessage(QtWarningMsg, aboutRequest("contacts: 1 persons of the answer to %1 have no usable id", 1));
    FakeProvider *provider = makeProvider({ada, person("quillnet:acct:4 2"), person("quillnet:acct:43", 1)});
    QVERIFY(provider->registerOnBus());
    const QStringList expected = {
            R"(contact quillnet:acct:42 first="Ada" last="Love\u001blace" status="Off to \"the\" lab\nback at )"
            R"(5\t\\o/" phone="+1 555 0100" email=["ada@example.org"] birthday="1990-12-10" about=")"
                    + QString(200, QLatin1Char('a'))
                    + R"x(... (250 characters)" status-time="2024-05-01T08:15:00Z" relationship="2" )x"
                      R"x(account="quillnet:acct" service="quillnet" Nickname="Ace" ... (14 properties))x",
            R"(contact quillnet:acct:43 relationship="1" account="quillnet:acct")",
            "contacts 2",
    };
    QTRY_COMPARE_WITH_TIMEOUT(mLines, expected, 10000);
    QCOMPARE(provider->requests.size(), 1);
    const FakeProvider::Request &asked = provider->requests.first();
    QCOMPARE(asked.type, 5);
    QVERIFY(asked.readCleanly);
    QVERIFY(asked.filter.isEmpty());

    // Gone and back with the daemon's next login: asked anew.
    mProvider.reset();
    mLines.clear();
    provider = makeProvider();
    QVERIFY(provider->registerOnBus());
    QTRY_COMPARE_WITH_TIMEOUT(mLines, QStringList {"contacts 0"}, 10000);
    QCOMPARE(provider->requests.size(), 1);
}

void TestContactsView::followsPersonsUpdate()
{
    FakeProvider *provider = makeProvider();
    QVERIFY(provider->registerOnBus());
    startView();
    QTRY_COMPARE_WITH_TIMEOUT(mLines, QStringList {"contacts 0"}, 10000);

    SocialNetworkPerson ada = person(QStringLiteral("quillnet:acct:42"));
    ada.setProperty(SocialNetworkPerson::FirstName, QStringLiteral("Ada"));
    provider->persons = {ada};
    SocialServiceAccount account;
    account.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct"));
    // An id with a "|" would ask for more than was announced.
    QTest::ignoreMessage(QtWarningMsg, "contacts: 2 announced records are not persons with a usable id");
    provider->announce({person("quillnet:acct:42"), account, person("quillnet:acct:42"),
                        person("quillnet:acct:1|quillnet:acct:2")});
    const QStringList expected = {
            "contacts 0",
            "persons-update 4",
            R"(contact quillnet:acct:42 first="Ada" relationship="2" account="quillnet:acct")",
            "contacts 1",
    };
    QTRY_COMPARE_WITH_TIMEOUT(mLines, expected, 10000);
    QCOMPARE(provider->requests.size(), 2);
    QCOMPARE(provider->requests.at(1).type, 5);
    QVERIFY(provider->requests.at(1).id != provider->requests.at(0).id);
    // The worked example of docs/socialprovider.md, byte for byte.
    QCOMPARE(provider->requests.at(1).bytes.toHex(),
             QByteArray("0000000100000001000000040049006400000020007100750069006c006c006e00650074003a0061006300630074"
                        "003a00340032"));
}

void TestContactsView::answers()
{
    const auto bytes = [](auto... values) {
        QByteArray result;
        QDataStream out(&result, QIODevice::WriteOnly);
        (out << ... << values);
        return result;
    };
    SocialServiceAccount account;
    account.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct"));
    const QByteArray record = bytes(person(QStringLiteral("quillnet:acct:42")));
    const QByteArray good = bytes(quint32(1), quint32(0), quint32(1), record);
    const QString unreadable = QStringLiteral("contacts: the answer to %1 does not read");
    struct Case
    {
        QByteArray answer;
        // The warning it draws, about the request; empty for none.
        QString warning;
        SocialProviderError error = {};
        QString answerId = {};
        QStringList lines = {};
    };
    const QList<Case> cases = {
            {{},
             {},
             SocialProviderError(6, QStringLiteral("Handler \"not\"\nready")),
             {},
             {R"(contacts-error type=6 description="Handler \"not\"\nready")"}},
            // Every caller's answers reach every listener.
            {{}, {}, {}, "contactsd-1"},
            {bytes(quint32(3), quint32(0), quint32(1), record), unreadable}, // another version
            {bytes(quint32(2), quint32(2), quint8(1), quint32(0), quint32(1), record),
             QStringLiteral("contacts: part 2 of the answer to %1 came where part 1 was due")},
            {good + '\0', unreadable},
            {good.chopped(1), unreadable},
            {bytes(quint32(1), quint32(0), quint32(1), record + '\0'), unreadable},
            {bytes(quint32(1), quint32(0), quint32(10000), record), unreadable}, // more records than bytes
            {bytes(quint32(1), quint32(0), quint32(10001)) + QByteArray(40004, '\0'), unreadable}, // too many
            {bytes(quint32(1), quint32(1), quint32(3), quint32(0), quint32(0)), unreadable}, // odd filter text
            {bytes(quint32(1), quint32(0), quint32(1), account), unreadable}, // an account for a person
    };
    for (const Case &c : cases) {
        startView();
        makeProvider({person(QStringLiteral("quillnet:acct:42"))});
        mProvider->answerBytes = c.answer;
        mProvider->error = c.error;
        mProvider->answerId = c.answerId;
        if (!c.warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, aboutRequest(c.warning, 1));
        QVERIFY(mProvider->registerOnBus());
        QTRY_COMPARE_WITH_TIMEOUT(mProvider->requests.size(), 1, 10000);

        // Asked again, answered well: answers reach the view in the order they were sent, so
        // whatever the first one printed is before.
        mProvider->answerBytes.clear();
        mProvider->error = SocialProviderError();
        mProvider->answerId.clear();
        QVERIFY(mView->requestAll());
        const QStringList lines = c.lines
                + QStringList {R"(contact quillnet:acct:42 relationship="2" account="quillnet:acct")", "contacts 1"};
        QTRY_COMPARE_WITH_TIMEOUT(mLines, lines, 10000);
        cleanup();
    }
}

void TestContactsView::bounds()
{
    using HomeScreen::ContactsView;
    QList<SocialNetworkPerson> many;
    for (int i = 0; i <= ContactsView::MaxContactsPerAnswer; ++i)
        many << person(QStringLiteral("quillnet:acct:%1").arg(i));
    QTest::ignoreMessage(QtWarningMsg,
                         aboutRequest(QStringLiteral("contacts: the answer to %1 holds more than %2 "
                                                     "persons; the first %2 are shown")
                                              .arg("%1", QString::number(ContactsView::MaxContactsPerAnswer)),
                                      1));
    FakeProvider *provider = makeProvider(many);
    // In parts, as the daemon sends an answer this large.
    provider->partBytes = 64 * 1024;
    QVERIFY(provider->registerOnBus());
    startView();
    QTRY_COMPARE_WITH_TIMEOUT(mLines.size(), ContactsView::MaxContactsPerAnswer + 1, 10000);
    QCOMPARE(mLines.at(ContactsView::MaxContactsPerAnswer - 1),
             QStringLiteral(R"(contact quillnet:acct:%1 relationship="2" account="quillnet:acct")")
                     .arg(ContactsView::MaxContactsPerAnswer - 1));
    QCOMPARE(mLines.last(), QStringLiteral("contacts %1").arg(ContactsView::MaxContactsPerAnswer));

    // Requests awaiting their answer: beyond the bound the oldest is forgotten, and its answer too.
    mLines.clear();
    provider->persons.clear();
    provider->holdAnswers = true;
    for (int i = 0; i <= ContactsView::MaxPendingRequests; ++i)
        QVERIFY(mView->requestAll());
    QTRY_COMPARE_WITH_TIMEOUT(provider->requests.size(), ContactsView::MaxPendingRequests + 2, 10000);
    provider->answerHeld();
    QTRY_COMPARE_WITH_TIMEOUT(mLines, QStringList(ContactsView::MaxPendingRequests, QStringLiteral("contacts 0")),
                              10000);

    // Announced persons asked for at once.
    mLines.clear();
    provider->holdAnswers = false;
    QTest::ignoreMessage(QtWarningMsg, "contacts: 101 persons announced at once; the first 100 are asked for");
    provider->announce(QList<SocialGenericData>(many.cbegin(), many.cbegin() + ContactsView::MaxPersonsPerUpdate + 1));
    QTRY_COMPARE_WITH_TIMEOUT(mLines, (QStringList {"persons-update 101", "contacts 0"}), 10000);
    const QStringList asked = provider->requests.last().filter.value(SocialGenericData::Id).split(QLatin1Char('|'));
    QCOMPARE(asked.size(), ContactsView::MaxPersonsPerUpdate);
    QCOMPARE(asked.last(), QStringLiteral("quillnet:acct:99"));
}

QTEST_GUILESS_MAIN(TestContactsView)
#include "tst_contactsview.moc"
