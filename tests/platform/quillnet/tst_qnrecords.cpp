// The records' JSON forms and equality, the strict readers of what the service sends, and times.
// That every signal is known by the string signature the handlers connect with, its arguments
// included, is shown by tst_quillnethttp and tst_quillnetsim, which spy on each of them that way.
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include "platform/quillnet/qnjson.h"
#include "platform/quillnet/quillnet.h"

using namespace Qn;

namespace {

// Every record with every member set, in the form the service sends and the cache keeps.
const QByteArray PostJson
        = R"({"id": "p1", "from": {"id": "u1", "name": "Ann"}, "to": [{"id": "u2", "name": "Bob"}],)"
          R"("message": "a & <b>", "story": "story", "picture": "http://pics.example/1.jpg", "type": "photo",)"
          R"("link": {"link": "http://l", "name": "n", "caption": "c", "description": "d"}, "application": "12345678901234567",)"
          R"("likes": 2, "comments": 3, "created": "2012-03-04T17:06:07.123Z", "updated": "2012-03-04T18:06:07.000Z"})";
const QByteArray UserJson
        = R"({"id": "u1", "name": "Ann Lee", "first_name": "Ann", "last_name": "Lee", "about": "a",)"
          R"("email": "ann@example.org", "website": "http://a  http://b", "birthday": "03/04/1980", "mobile_phone": "+358 40 1",)"
          R"("link": "http://quillnet.example/ann"})";
const QByteArray ThreadJson
        = R"({"id": "t1", "subject": "hi", "updated_time": "2012-03-04T18:06:07.000Z", "unread": 2,)"
          R"("senders": [{"id": "u2", "name": "Bob"}]})";
const QByteArray MessageJson
        = R"({"id": "m1", "thread_id": "t1", "from": {"id": "u2", "name": "Bob"}, "content": "hello",)"
          R"("created": "2012-03-04T17:06:07.123Z"})";
const QByteArray EventJson
        = R"({"id": "e1", "name": "party", "owner": {"id": "u3", "name": "Cid"}, "location": "here",)"
          R"("start_time": "2012-03-04T17:06:07.123Z"})";
const QByteArray NotificationJson = R"({"id": "n1", "title": "Bob liked your photo", "object_type": "photo",)"
                                    R"("object_id": "o1", "unread": true, "updated_time": "2012-03-04T18:06:07.000Z"})";

// Every variant of a JSON value with exactly one leaf changed.
QList<QJsonValue> leafChanges(const QJsonValue &value)
{
    if (value.isString())
        return {value.toString() + QLatin1Char('x')};
    if (value.isDouble())
        return {value.toDouble() + 1};
    if (value.isBool())
        return {!value.toBool()};
    QList<QJsonValue> changes;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        for (const QJsonValue &change : leafChanges(it.value())) {
            QJsonObject changed = object;
            changed.insert(it.key(), change);
            changes << changed;
        }
    }
    const QJsonArray array = value.toArray();
    for (int i = 0; i < array.size(); ++i) {
        for (const QJsonValue &change : leafChanges(array.at(i))) {
            QJsonArray changed = array;
            changed.replace(i, change);
            changes << changed;
        }
    }
    return changes;
}

// A record read strictly from its wire form writes back exactly that form, reads back the same
// through the cache's lenient reader, and differs from every variant with one member changed.
template<typename T>
void checkRecord(const QByteArray &json, T (*strict)(const QJsonValue &, QString *), T (*lenient)(const QJsonObject &))
{
    const QJsonObject wire = QnJson::parseObject(json);
    QString error = QStringLiteral("stale");
    const T record = strict(wire, &error);
    QVERIFY2(record.isValid() && error.isEmpty(), qPrintable(error));
    QCOMPARE(QnJson::toJson(record), wire);
    QCOMPARE(lenient(QnJson::parseObject(QnJson::serialize(QnJson::toJson(record)))), record);
    const QList<QJsonValue> changes = leafChanges(wire);
    QVERIFY(changes.size() >= wire.size());
    for (const QJsonValue &changed : changes)
        QVERIFY2(lenient(changed.toObject()) != record, QnJson::serialize(changed.toObject()).constData());
}

bool readsValid(const QString &kind, const QJsonValue &value, QString *error)
{
    if (kind == QLatin1String("post"))
        return QnJson::readPost(value, error).isValid();
    if (kind == QLatin1String("user"))
        return QnJson::readUser(value, error).isValid();
    if (kind == QLatin1String("thread"))
        return QnJson::readThread(value, error).isValid();
    if (kind == QLatin1String("message"))
        return QnJson::readMessage(value, error).isValid();
    if (kind == QLatin1String("event"))
        return QnJson::readEvent(value, error).isValid();
    return QnJson::readNotification(value, error).isValid();
}

} // namespace

class TestQnRecords : public QObject
{
    Q_OBJECT

private slots:
    void recordsRoundTripAndCompareEveryMember()
    {
        checkRecord(PostJson, &QnJson::readPost, &QnJson::postFromJson);
        checkRecord(UserJson, &QnJson::readUser, &QnJson::userFromJson);
        checkRecord(ThreadJson, &QnJson::readThread, &QnJson::threadFromJson);
        checkRecord(MessageJson, &QnJson::readMessage, &QnJson::messageFromJson);
        checkRecord(EventJson, &QnJson::readEvent, &QnJson::eventFromJson);
        checkRecord(NotificationJson, &QnJson::readNotification, &QnJson::notificationFromJson);
    }

    void lenientReadingToleratesBadInput()
    {
        QVERIFY(QnJson::parseObject("[1,2]").isEmpty());
        QVERIFY(QnJson::parseObject("{\"id\":").isEmpty());
        // Absent times stay absent rather than becoming the epoch.
        QVERIFY(!QnJson::postFromJson(QnJson::toJson(QnPost(QStringLiteral("p")))).created().isValid());

        QJsonArray manyRefs;
        for (int i = 0; i < QnJson::MaxListEntries + 5; ++i)
            manyRefs.append(QJsonObject {{"id", QString::number(i)}});
        const QnPost post = QnJson::postFromJson(QJsonObject {{"id", 42},
                                                              {"from", "Ann"},
                                                              {"to", manyRefs},
                                                              {"likes", -4},
                                                              {"comments", "7"},
                                                              {"created", "yesterday"},
                                                              {"updated", 1e300}});
        QCOMPARE((QVariantList {post.id(), post.from().isValid(), post.to().size(), post.likes(), post.commentCount(),
                                post.created().isValid(), post.updated().isValid()}),
                 (QVariantList {QString(), false, QnJson::MaxListEntries, 0, 0, false, false}));

        // Texts from the service are cut to what is ever shown, never inside a surrogate pair.
        const QString emoji = QStringLiteral("\U0001F600");
        const QString name = QString(QnJson::MaxTextLength - 1, QLatin1Char('n')) + emoji;
        QString error;
        const QnUser user = QnJson::readUser(
                QJsonObject {{"id", "u"}, {"name", name}, {"about", QString(QnJson::MaxLongTextLength + 9, 'a')}},
                &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(user.name(), name.left(QnJson::MaxTextLength - 1));
        QCOMPARE(user.about().size(), QnJson::MaxLongTextLength);
    }

    void strictReadersRefuseBadRecords_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char *tag, const char *kind, const QByteArray &json, const char *reason) {
            QTest::newRow(tag) << kind << json << reason;
        };
        const QByteArray post = R"({"id": "p", "from": {"id": "u", "name": "U"}, )";
        const QByteArray dated = post + R"("created": "2012-03-04T17:06:07Z", )";
        const QByteArray thread = R"({"id": "t", "updated_time": "2012-03-04T17:06:07Z", )";
        row("post without time", "post", post + "\"x\": 1}", "\"created\" is missing");
        row("post local time", "post", post + "\"created\": \"2012-03-04T17:06:07\"}",
            "\"created\" is not a time with an offset");
        row("post from text", "post", R"({"id": "p", "from": "U", "created": "2012-03-04T17:06:07Z"})",
            "member \"from\": user ref: not an object");
        row("recipient without id", "post", dated + R"("to": [{"name": "x"}]})",
            "member \"to\": user ref: member \"id\" is missing");
        row("fractional count", "post", dated + R"("comments": 1.5})", "\"comments\" is not a count");
        row("huge count", "post", dated + R"("comments": 1e12})", "\"comments\" is not a count");
        row("link member", "post", dated + R"("link": {"name": 1}})",
            "member \"link\": member \"name\" is not a string");
        row("post not an object", "post", "[]", "not an object");
        row("user empty id", "user", R"({"id": "", "name": "x"})", "\"id\" is empty");
        row("user id too long", "user", R"({"id": ")" + QByteArray(QnJson::MaxIdLength + 1, '7') + R"(", "name": "x"})",
            "\"id\" is longer than 256 characters");
        row("user phone number", "user", R"({"id": "u", "name": "x", "mobile_phone": 358401})",
            "\"mobile_phone\" is not a string");
        row("thread negative unread", "thread", thread + R"("unread": -1, "senders": []})",
            "\"unread\" is not a count");
        row("thread senders missing", "thread", thread + R"("unread": 1})", "\"senders\" is missing");
        row("message without content", "message", R"({"id": "m", "created": "2012-03-04T17:06:07Z"})",
            "\"content\" is missing");
        row("event without name", "event", R"({"id": "e"})", "\"name\" is missing");
        row("notification unread as number", "notification",
            R"({"id": "n", "object_type": "photo", "unread": 1, "updated_time": "2012-03-04T17:06:07Z"})",
            "\"unread\" is not a boolean");
    }

    void strictReadersRefuseBadRecords()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, json);
        QFETCH(QString, reason);
        QString error;
        QVERIFY(!readsValid(kind, QJsonDocument::fromJson("[" + json + "]").array().at(0), &error));
        QVERIFY2(error.startsWith(kind + QLatin1String(": ")) && error.contains(reason), qPrintable(error));
    }

    void timesNeedAnOffset_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("msecs"); // -1: invalid
        QTest::newRow("utc") << "2024-05-01T08:15:00Z" << qint64(1714551300000);
        QTest::newRow("plus two") << "2024-05-01T10:15:00+02:00" << qint64(1714551300000);
        QTest::newRow("nepal") << "2024-05-01T14:00:00+05:45" << qint64(1714551300000);
        QTest::newRow("minus") << "2024-04-30T22:45:00.250-09:30" << qint64(1714551300250);
        QTest::newRow("no offset") << "2024-05-01T08:15:00" << qint64(-1);
        QTest::newRow("space") << "2024-05-01 08:15:00Z" << qint64(-1);
        QTest::newRow("no such day") << "2024-02-30T08:15:00Z" << qint64(-1);
        QTest::newRow("tenths") << "2024-05-01T08:15:00.1Z" << qint64(1714551300100);
        QTest::newRow("microseconds") << "2024-05-01T08:15:00.123456Z" << qint64(-1);
        QTest::newRow("end of day") << "2024-04-30T24:00:00Z" << qint64(-1);
        QTest::newRow("offset minutes") << "2024-05-01T08:15:00+05:60" << qint64(-1);
        QTest::newRow("empty") << "" << qint64(-1);
        QTest::newRow("junk after") << "2024-05-01T08:15:00Zjunk" << qint64(-1);
    }

    void timesNeedAnOffset()
    {
        QFETCH(QString, text);
        QFETCH(qint64, msecs);
        const QDateTime time = QnJson::parseTime(text);
        QCOMPARE(time.isValid() ? time.toMSecsSinceEpoch() : -1, msecs);
        if (time.isValid()) {
            QCOMPARE(time.timeSpec(), Qt::UTC);
            QCOMPARE(QnJson::parseTime(QnJson::formatTime(time)), time);
        }
    }
};

QTEST_GUILESS_MAIN(TestQnRecords)
#include "tst_qnrecords.moc"
