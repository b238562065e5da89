// The framework's stream forms against docs/socialprovider.md, and what its readers make of bytes
// that do not hold them.
#include <QDataStream>
#include <QDate>
#include <QDateTime>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include "platform/socialprovider/socialdatarequest.h"
#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialprovidererror.h"
#include "platform/socialprovider/socialproviderinterface.h"

namespace {

// Hex as the document writes it: blanks and line breaks are only for reading.
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', "").replace('\n', ""));
}

// The worked example of the document.
const char *const ExampleRequest = "0000000100000001000000040049006400000020007100750069006c006c006e00650074003a"
                                   "0061006300630074003a00340032";
const char *const ExampleAnswer
        = "0000000100000001000000040049006400000020007100750069006c006c006e00650074003a0061006300630074003a0034"
          "0032000000010000010b000000260053006f006300690061006c004e006500740077006f0072006b0050006500720073006f"
          "006e0000000500000004004900640000000a0000000020007100750069006c006c006e00650074003a006100630063007400"
          "3a003400320000001800520065006c006100740069006f006e00730068006900700000000200000000020000001a00500061"
          "00720065006e0074004100630063006f0075006e00740000000a000000001a007100750069006c006c006e00650074003a00"
          "610063006300740000001200460069007200730074004e0061006d00650000000a0000000006004100640061000000100042"
          "00690072007400680064006100790000000e000000000000255b6c";

template<typename T>
QByteArray written(const T &value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << value;
    return bytes;
}

// A record with one property of the value, as the bytes of the record form.
QByteArray recordWith(const QByteArray &valueBytes)
{
    QByteArray bytes = written(QStringLiteral("C")) + hex("00000001") + written(QStringLiteral("p"));
    return bytes + valueBytes;
}

} // namespace

class TestSocialData : public QObject
{
    Q_OBJECT

private slots:
    void workedExample()
    {
        SocialGetPersonsRequest request;
        QDataStream in(hex(ExampleRequest));
        QVERIFY(request.readFromStream(in));
        QCOMPARE(request.propertyFilter().keys(), QStringList {QStringLiteral("Id")});
        QCOMPARE(request.propertyFilter().value(QStringLiteral("Id")).pattern(), QStringLiteral("quillnet:acct:42"));

        SocialNetworkPerson person;
        person.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct:42"));
        person.setProperty(SocialNetworkPerson::Relationship, 2);
        person.setParentAccount(QStringLiteral("quillnet:acct"));
        person.setProperty(SocialNetworkPerson::FirstName, QStringLiteral("Ada"));
        person.setProperty(QStringLiteral("Birthday"), QDate(1990, 12, 10));
        request.setPersons({person});
        QByteArray answer;
        QDataStream out(&answer, QIODevice::WriteOnly);
        request.writeToStream(out);
        QCOMPARE(answer.toHex(), hex(ExampleAnswer).toHex());
        // Read back as it was, properties in their order.
        SocialGetPersonsRequest reader;
        QDataStream answerIn(answer);
        QVERIFY(reader.readAnswerFromStream(answerIn));
        QCOMPARE(SocialGenericData(reader.persons().value(0)), SocialGenericData(person));
        QCOMPARE(reader.persons().value(0).propertyNames().last(), QStringLiteral("Birthday"));
        // Cut for a smaller transport: whole when its part form fits, else parts in the part form.
        int next = 0;
        int skipped = 0;
        QCOMPARE(request.writeAnswerPart(1, 0, answer.size() + 5, &next, &skipped), answer);
        request.setPersons({person, person});
        // (Parts read back: tst_homescreen's contactsBounds.)
        request.writeAnswerPart(1, 0, answer.size() + 5, &next, &skipped);
        const QByteArray second = request.writeAnswerPart(2, next, answer.size() + 5, &next, &skipped);
        QCOMPARE(qMakePair(next, skipped), qMakePair(-1, 0));
        QCOMPARE(second.toHex(), (hex("00000002 00000002 01") + answer.mid(4)).toHex());
        // A reader that does not ask for parts takes none.
        QDataStream wholeOnly(second);
        QVERIFY(!reader.readAnswerFromStream(wholeOnly));

        QCOMPARE(written(SocialProviderError(6, QStringLiteral("Handler not ready"))).toHex(),
                 hex("00000006 00000022 00480061006e0064006c006500720020006e006f0074002000720065006100640079").toHex());
    }

    void valueForms_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("bytes");
        // The examples of the document's value table.
        QTest::newRow("none") << QVariant() << hex("00000000 01");
        QTest::newRow("bool") << QVariant(true) << hex("00000001 00 01");
        QTest::newRow("int") << QVariant(2) << hex("00000002 00 00000002");
        QTest::newRow("string") << QVariant(QStringLiteral("Ada")) << hex("0000000a 00 00000006 004100640061");
        QTest::newRow("empty string") << QVariant(QString(QLatin1String(""))) << hex("0000000a 00 00000000");
        QTest::newRow("string list") << QVariant(QStringList {QStringLiteral("x")})
                                     << hex("0000000b 00 00000001 00000002 0078");
        QTest::newRow("bytes") << QVariant(QByteArray("ab")) << hex("0000000c 00 00000002 6162");
        QTest::newRow("date") << QVariant(QDate(1990, 12, 10)) << hex("0000000e 00 0000000000255b6c");
        QTest::newRow("no date") << QVariant(QDate()) << hex("0000000e 00 8000000000000000");
        QTest::newRow("date and time") << QVariant(QDateTime(QDate(2024, 5, 1), QTime(8, 15), Qt::UTC))
                                       << hex("00000010 00 0000000000258b10 01c52fa0 01");
        QTest::newRow("web address") << QVariant(QUrl(QStringLiteral("https://a.example/%20")))
                                     << written(QVariant(QUrl(QStringLiteral("https://a.example/%20"))));
    }

    void valueForms()
    {
        QFETCH(QVariant, value);
        QFETCH(QByteArray, bytes);
        SocialGenericData data(QStringLiteral("C"));
        data.setProperty(QStringLiteral("p"), value);
        QCOMPARE(written(data).toHex(), recordWith(bytes).toHex());

        SocialGenericData read;
        QDataStream in(recordWith(bytes));
        in >> read;
        QCOMPARE(in.status(), QDataStream::Ok);
        QVERIFY(in.atEnd());
        QCOMPARE(read.property(QStringLiteral("p")), value);
    }

    void badBytes_data()
    {
        QTest::addColumn<bool>("isRequest"); // else a record
        QTest::addColumn<QByteArray>("bytes");
        const auto request = [](const char *tag, const QByteArray &bytes) { QTest::newRow(tag) << true << bytes; };
        const auto record = [](const char *tag, const QByteArray &bytes) { QTest::newRow(tag) << false << bytes; };
        request("empty", QByteArray());
        request("version 2", hex("00000002 00000000"));
        request("count past the bytes", hex("00000001 0ffffff0 00000000 00000000"));
        request("more entries than allowed", hex("00000001 00000041") + QByteArray(65 * 8, '\0'));
        request("string too long", hex("00000001 00000001 00020002") + QByteArray(0x20002 + 4, '\0'));
        request("cut short", hex(ExampleRequest).chopped(3));
        request("trailing byte", hex(ExampleRequest) + '\0');
        const QByteArray head = written(QStringLiteral("C"));
        record("property count past the bytes", head + hex("7fffffff 00000000"));
        record("more properties than allowed", head + hex("00000101") + QByteArray(257 * 9, '\0'));
        record("a map", recordWith(written(QVariant(QVariantMap {{QStringLiteral("k"), 1}}))));
        record("a type by name", recordWith(hex("00010000 00 00000004 41424344")));
        record("null flag 2", recordWith(hex("00000002 02 00000002")));
        record("list count past the bytes", recordWith(hex("0000000b 00 3fffffff 00000000")));
        record("list longer than allowed", recordWith(hex("0000000b 00 000003e9") + QByteArray(1001 * 4, '\0')));
        record("bytes past the end", recordWith(hex("0000000c 00 00100000 61")));
        record("time zone by name", recordWith(hex("00000010 00 0000000000258b10 01c52fa0 03 00000000")));
        record("cut short", recordWith(hex("00000002 00 0000")));
    }

    // Refused, with what was there before left as it was (a request's filter is emptied).
    void badBytes()
    {
        QFETCH(bool, isRequest);
        QFETCH(QByteArray, bytes);
        QDataStream in(bytes);
        if (isRequest) {
            SocialGetPersonsRequest request;
            request.setPropertyFilter({{QStringLiteral("Id"), QRegularExpression(QStringLiteral("old"))}});
            QVERIFY(!request.readFromStream(in));
            QVERIFY(request.propertyFilter().isEmpty());
        } else {
            SocialGenericData data(QStringLiteral("Kept"));
            in >> data;
            QCOMPARE(data, SocialGenericData(QStringLiteral("Kept")));
        }
        QVERIFY(in.status() != QDataStream::Ok);
    }

    void requestFinishesOnceAndTheBaseProviderAnswersAll()
    {
        SocialGetPersonsRequest request;
        QSignalSpy finished(&request, &SocialDataRequest::finished);
        request.setState(SocialDataRequest::Processing, {SocialProviderError(7, QString())});
        QCOMPARE(finished.count(), 0);
        request.setState(SocialDataRequest::Finished, {SocialProviderError(1, QStringLiteral("a"))});
        request.setState(SocialDataRequest::Finished, {SocialProviderError(6, QStringLiteral("b"))});
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.first().first().value<SocialDataRequest *>(), &request);
        // The errors are those of the last state.
        QCOMPARE(request.errors(), QList<SocialProviderError> {SocialProviderError(6, QStringLiteral("b"))});

        SocialProviderInterface provider;
        GetAggregatedServicesRequest services;
        SocialGetAccountsRequest accounts;
        provider.performRequest(&services);
        provider.performRequest(&accounts);
        QVERIFY(services.services().isEmpty() && accounts.accounts().isEmpty() && accounts.errors().isEmpty());
        QCOMPARE(services.state(), int(SocialDataRequest::Finished));

        SocialGetPersonsRequest persons;
        provider.performRequest(&persons);
        QCOMPARE(persons.errors().value(0).type(), int(SocialProviderError::InvalidRequestError));

        SocialGetPersonsRequest canceled;
        provider.cancelRequest(&canceled);
        QCOMPARE(canceled.errors().value(0).type(), int(SocialProviderError::CanceledError));
    }
};

QTEST_GUILESS_MAIN(TestSocialData)
#include "tst_socialdata.moc"
