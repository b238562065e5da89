// The home screen's Event Feed, notification server and stand-in of the Quillnet app: in this
// process on connections of their own, driven through proxies generated from their XML (the daemon's
// for the feed) so that every call crosses the bus; the contacts view against a fake social provider
// (what it asks and when, the lines it prints for the answers and announcements); the page server
// (its routes and refusals, the pictures it serves, its buttons' actions and live updates); the
// commands a person types, and reading them from a file descriptor; and the program with all its
// services and its contacts view, for what it prints, the commands it reads, how it starts and how
// it ends.
#include <QDataStream>
#include <QDateTime>
#include <QDBusArgument>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <utility>
#include <sys/ioctl.h>
#include <unistd.h>

#include "eventfeedinterface.h"
#include "homescreen/commandinput.h"
#include "homescreen/contactsview.h"
#include "homescreen/eventfeedservice.h"
#include "homescreen/notificationserver.h"
#include "homescreen/pageserver.h"
#include "homescreen/phoneactions.h"
#include "homescreen/quillnetapp.h"
#include "notificationserverproxy.h"
#include "platform/notifications/mremoteaction.h"
#include "platform/socialprovider/socialdatarequest.h"
#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialprovidererror.h"
#include "testfiles.h"

namespace {

const QString OwnsLine = QStringLiteral("owns com.tarvo.home.EventFeed /eventfeed");
const QStringList OwnsLines
        = {OwnsLine, "owns org.freedesktop.Notifications /org/freedesktop/Notifications",
           "owns com.tarvo.quillnet /OpenView", "owns com.tarvo.quillnet.eventfeed /EventFeedMessage"};

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

const QByteArray Png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==");

// True once the call is answered, with a reply or an error; false when no answer came.
bool answered(const QDBusPendingCall &call)
{
    QDBusPendingCallWatcher watcher(call);
    if (watcher.isFinished())
        return true;
    QSignalSpy spy(&watcher, &QDBusPendingCallWatcher::finished);
    return spy.wait(10000);
}

// True once the call is answered without an error.
bool finish(const QDBusPendingCall &call)
{
    return answered(call) && !call.isError();
}

// The values as a data stream writes them.
template<typename... Values>
QByteArray written(const Values &...values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    (out << ... << values);
    return bytes;
}

int bytesWaiting(int fd)
{
    int count = -1;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

} // namespace

// A social provider on the test bus, as the daemon's runner shows itself: the name
// com.tarvo.socialprovider.quillnet on a connection of its own, the object /quillnet with the runner's
// interface. It reads each request with the framework's classes, records it, and answers it with the
// records and the error the test gives, at once or when the test lets it; it announces persons on
// request.
class FakeProvider : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.socialprovider.runner")

public:
    struct Request
    {
        int type = 0;
        QString id;
        // As read; answered with the persons set in it.
        std::shared_ptr<SocialGetPersonsRequest> parsed;
        // Property to pattern; empty also when the bytes did not read.
        QHash<QString, QString> filter;
        bool readCleanly = false;
    };

    // Closing the connection releases the name at once.
    ~FakeProvider() override { QDBusConnection::disconnectFromBus(mConnectionName); }

    // False when the name or the object cannot be had.
    bool registerOnBus()
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName);
        // The object first: whoever sees the name may call it at once.
        return bus.registerObject(QStringLiteral("/quillnet"), this,
                                  QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
                && bus.registerService(QStringLiteral("com.tarvo.socialprovider.quillnet"));
    }

    // Announces the persons (as the minimal records the provider sends) with personsUpdate.
    void announce(const QList<SocialGenericData> &announced)
    {
        QVariantList data;
        for (const SocialGenericData &person : announced)
            data << written(person);
        emit personsUpdate(data, {});
    }

    // Answers every held request, in the order they came.
    void answerHeld()
    {
        for (const Request &request : std::exchange(mHeld, {}))
            answer(request);
    }

    QList<Request> requests;
    // How the next requests are answered: with these persons, with this error when its type is not
    // 0, under this id when it is not empty, or with these bytes in place of the answer when they
    // are not empty.
    QList<SocialNetworkPerson> persons;
    SocialProviderError error;
    QString answerId;
    QByteArray answerBytes;
    // Above 0: answers in parts of at most this many bytes, as the daemon sends large ones.
    int partBytes = 0;
    // While set, requests are recorded and not answered, until answerHeld().
    bool holdAnswers = false;

public slots:
    void performRequest(int requestType, const QString &requestId, const QByteArray &request)
    {
        const auto parsed = std::make_shared<SocialGetPersonsRequest>();
        QDataStream in(request);
        Request seen {requestType, requestId, parsed, {}, parsed->readFromStream(in)};
        const auto filter = parsed->propertyFilter();
        for (auto it = filter.cbegin(); it != filter.cend(); ++it)
            seen.filter.insert(it.key(), it.value().pattern());
        requests << seen;
        if (holdAnswers)
            mHeld << seen;
        else
            answer(seen);
    }

signals:
    void personsUpdate(const QVariantList &data, const QStringList &updatedProperties);
    void requestFinished(int requestType, const QString &requestId, const QByteArray &request, const QByteArray &error);

private:
    void answer(const Request &request)
    {
        SocialGetPersonsRequest &parsed = *request.parsed;
        parsed.setPersons(persons);
        const QByteArray errorBytes = error.type() != SocialProviderError::NoError ? written(error) : QByteArray();
        const QString id = answerId.isEmpty() ? request.id : answerId;
        for (int number = 1, next = 0, skipped = 0; partBytes > 0 && answerBytes.isEmpty() && next >= 0; ++number)
            emit requestFinished(request.type, id, parsed.writeAnswerPart(number, next, partBytes, &next, &skipped),
                                 errorBytes);
        QByteArray whole = answerBytes;
        if (whole.isEmpty()) {
            QDataStream out(&whole, QIODevice::WriteOnly);
            parsed.writeToStream(out);
        }
        if (partBytes == 0 || !answerBytes.isEmpty())
            emit requestFinished(request.type, id, whole, errorBytes);
    }

    QList<Request> mHeld;
    const QString mConnectionName = QStringLiteral("fake-provider-%1").arg(quintptr(this), 0, 16);
};

using HomeScreen::NotificationServer;
using HomeScreen::PageRequest;
using HomeScreen::PageServer;

class TestHomeScreen : public QObject
{
    Q_OBJECT

private slots:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void cleanup()
    {
        mPage.reset();
        mActions.reset();
        mAppSocketServer.close();
        mService.reset();
        mServer.reset();
        mView.reset();
        mProvider.reset();
        mLines.clear();
        for (const auto &program : std::exchange(mPrograms, {})) {
            program->kill();
            program->waitForFinished();
        }
    }

    void feedCallsAndLines();

    void refusedMaps()
    {
        QVariantMap manyKeys;
        for (int i = 0; i <= HomeScreen::Limits().maxKeys; ++i)
            manyKeys.insert(QStringLiteral("k%1").arg(i), i);
        const QString badKey = QStringLiteral(R"(the key "%1" is not 1 to 64 letters, digits, "_", "-" or ".")");
        const QList<std::pair<QVariantMap, QString>> cases = {
                {{{"title", 42}}, R"(title is of D-Bus type "i", not "s")"},
                {{{"imageList", "/a.jpg"}}, R"(imageList is of D-Bus type "s", not "as")"},
                {{{"imageList", QVariantList {1, 2}}}, R"(imageList is of D-Bus type "av", not "as")"},
                {{{"extra", QVariantMap {{"a", 1}}}}, R"(extra is of D-Bus type "a{sv}", which an item cannot hold)"},
                {{{"extra", QByteArray("x")}}, R"(extra is of D-Bus type "ay", which an item cannot hold)"},
                {{{"two words", "x"}}, badKey.arg("two words")},
                {{{"", "x"}}, badKey.arg("")},
                {{{QString(65, QLatin1Char('k')), "x"}}, badKey.arg(QString(65, QLatin1Char('k')))},
                {{{"body", QString(2 * 1024 * 1024, QLatin1Char('x'))}}, "more than 65536 characters"},
                {{{"imageList", QStringList(200000, QString())}}, "more than 65536 characters"},
                {manyKeys, "33 keys, at most 32"},
        };
        HomeScreen::Limits limits;
        limits.maxItems = 2;
        startService(limits);
        const qlonglong id = add({{"title", "Ann"}});
        for (const auto &[item, why] : cases) {
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("addItem refused: ") + why));
            QCOMPARE(add(item), -1);
            QTest::ignoreMessage(QtWarningMsg,
                                 qPrintable(QStringLiteral("updateItem %1 refused: %2").arg(id).arg(why)));
            QVERIFY(finish(mProxy.updateItem(id, item)));
        }
        // Neither an item nor a change of one.
        QCOMPARE(mLines.size(), 1);

        // Small enough on its own (5 + 65530 characters), too big once merged; then the feed is full.
        const QVariantMap big = {{"title", QString(65530, QLatin1Char('x'))}};
        const qlonglong id2 = add(big);
        QVERIFY(id2 > id);
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("updateItem %1 refused: more than 65536 characters").arg(id2)));
        QVERIFY(finish(mProxy.updateItem(id2, {{"body", "abcde"}})));
        QCOMPARE(mService->items().value(id2), big);
        QTest::ignoreMessage(QtWarningMsg, "addItem refused: the feed is full (2 items)");
        QCOMPARE(add({{"title", "y"}}), -1);
        QVERIFY(finish(mProxy.removeItem(id2)));
        QVERIFY(add({{"title", "y"}}) > id2);
    }

    void notificationCallsAndLines();

    void refusals()
    {
        struct Case
        {
            QStringList actions;
            QVariantMap hints;
            QString why;
            QString body = {};
            int timeout = 0;
        };
        QVariantMap manyHints;
        for (int i = 0; i <= HomeScreen::NotificationLimits().maxHints; ++i)
            manyHints.insert(QStringLiteral("h%1").arg(i), i);
        const QStringList open = {"default", "Open"};
        const QList<Case> cases = {
                {{"default"}, {}, "1 action entries, not pairs of key and label"},
                {QStringList(4000, QStringLiteral("a")), {}, "4000 action entries, at most 32"},
                {{"", "Open"}, {}, R"x(the action labelled "Open" has an empty key)x"},
                {open, {{"urgency", 2}}, R"x(the hint urgency is of D-Bus type "i", not "y")x"},
                {open, {{"urgency", QVariant::fromValue(uchar(3))}}, "the urgency 3 is not 0, 1 or 2"},
                {open, {{"transient", "yes"}}, R"x(the hint transient is of D-Bus type "s", not "b")x"},
                {open, {{"image-data", "x"}}, R"x(the hint image-data is of D-Bus type "s", not "(iiibiiay)")x"},
                {open, {{"two words", 1}}, R"x(the hint "two words" is not 1 to 64 letters, digits, "_", "-" or ".")x"},
                {open, manyHints, "33 hints, at most 32"},
                {open, {}, "more than 65536 characters", QString(2 * 1024 * 1024, QLatin1Char('x'))},
                {open, {{"category", QString(70000, QLatin1Char('c'))}}, "more than 65536 characters"},
                {open, {}, "expire_timeout -2 is below -1", QString(), -2},
        };
        HomeScreen::NotificationLimits limits;
        limits.maxNotifications = 2;
        startServer(limits);
        const uint id = notify("kept");
        const auto refused = [this](const QString &why, QDBusError::ErrorType type, const Case &c, uint replacesId) {
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Notify refused: ") + why));
            QDBusPendingReply<uint> reply
                    = mNotifyProxy.Notify("test", replacesId, {}, "refused", c.body, c.actions, c.hints, c.timeout);
            return answered(reply) && reply.error().type() == type && reply.error().message() == why;
        };
        for (const Case &c : cases)
            QVERIFY2(refused(c.why, QDBusError::InvalidArgs, c, 0) && refused(c.why, QDBusError::InvalidArgs, c, id),
                     qPrintable(c.why));
        // Neither a notification nor a change of one.
        QCOMPARE(mLines.size(), 1);

        const uint id2 = notify("two");
        QVERIFY(refused("2 notifications are shown already", QDBusError::LimitsExceeded, {}, 0));
        // Replacing takes no room.
        QCOMPARE(notify("kept again", {}, {}, 0, id), id);
        QVERIFY(finish(mNotifyProxy.CloseNotification(id2)));
        QVERIFY(notify("three") > id2);
    }

    void tappingAndExpiry()
    {
        HomeScreen::NotificationLimits limits;
        limits.transientTimeout = 50;
        startServer(limits);
        QSignalSpy invoked(mServer.get(), &NotificationServer::ActionInvoked);
        QSignalSpy closed(mServer.get(), &NotificationServer::NotificationClosed);
        const uint otherAction = notify("reply only", {"reply", "Reply"});
        const uint labelOnly = notify("a label, not a key", {"open", "default"});
        const uint openable = notify("openable", {"reply", "Reply", "default", "Open"});
        const uint resident = notify("resident", {"default", "Open"}, {{"resident", true}});

        QTest::ignoreMessage(QtWarningMsg, "tap: notification 1 offers no default action");
        QVERIFY(!mServer->tap(otherAction));
        QTest::ignoreMessage(QtWarningMsg, "tap: notification 2 offers no default action");
        QVERIFY(!mServer->tap(labelOnly));

        QVERIFY(mServer->tap(openable));
        QVERIFY(mServer->tap(resident));
        QCOMPARE(invoked, (QList<QVariantList> {{openable, "default"}, {resident, "default"}}));
        // Tapped means dismissed by the user, unless the notification asked to stay.
        QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, 10000);
        QCOMPARE(mLines.mid(4),
                 (QStringList {R"x(action 3 key="default")x", "close 3 reason=2", R"x(action 4 key="default")x"}));

        // Expiry. The update asks for none, which stops the first timer.
        const uint updated = notify("updated", {}, {}, 50);
        QCOMPARE(notify("updated", {}, {}, 0, updated), updated);
        const uint serverDefault = notify("default", {}, {}, -1);
        const uint transient = notify("transient", {}, {{"transient", true}}, -1);
        const uint timed = notify("timed", {}, {}, 150);
        QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 3, 10000);
        QCOMPARE(closed, (QList<QVariantList> {{openable, 2u}, {transient, 1u}, {timed, 1u}}));
        QCOMPARE(mServer->notifications().keys(),
                 (QList<uint> {otherAction, labelOnly, resident, updated, serverDefault}));
        QCOMPARE(mServer->notifications().value(serverDefault).timeout, 0);
    }

    void contactsAskedOnAppearance();
    void contactsAnswers();

    void contactsBounds()
    {
        using HomeScreen::ContactsView;
        QList<SocialNetworkPerson> many;
        for (int i = 0; i <= ContactsView::MaxContactsPerAnswer; ++i)
            many << person(QStringLiteral("quillnet:acct:%1").arg(i));
        const QString cut
                = QStringLiteral("contacts: the answer to %1 holds more than 8000 persons; the first 8000 are shown");
        QTest::ignoreMessage(QtWarningMsg, aboutRequest(cut, 1));
        FakeProvider *provider = makeProvider(many);
        // In parts, as the daemon sends an answer this large.
        provider->partBytes = 64 * 1024;
        QVERIFY(provider->registerOnBus());
        startView();
        QTRY_COMPARE_WITH_TIMEOUT(mLines.size(), ContactsView::MaxContactsPerAnswer + 1, 10000);
        QCOMPARE(mLines.at(7999),
                 QStringLiteral(R"(contact quillnet:acct:7999 relationship="2" account="quillnet:acct")"));
        QCOMPARE(mLines.last(), QStringLiteral("contacts 8000"));

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
        provider->announce(
                QList<SocialGenericData>(many.cbegin(), many.cbegin() + ContactsView::MaxPersonsPerUpdate + 1));
        QTRY_COMPARE_WITH_TIMEOUT(mLines, (QStringList {"persons-update 101", "contacts 0"}), 10000);
        const QStringList asked = provider->requests.last().filter.value(SocialGenericData::Id).split(QLatin1Char('|'));
        QCOMPARE(asked.size(), ContactsView::MaxPersonsPerUpdate);
        QCOMPARE(asked.last(), QStringLiteral("quillnet:acct:99"));
    }

    void pageRoutes()
    {
        startPage();
        struct Case
        {
            QByteArray method;
            QString path; // "@" is the page's secret
            QByteArray body;
            int status;
            QByteArray type = "application/json";
            QByteArray host = "own"; // the page's host
            QByteArray origin = {};
            QByteArray contentType = "application/json";
        };
        const QList<Case> cases = {
                {"GET", "@/", {}, 200, "text/html; charset=utf-8"},
                {"GET", "@/page.js", {}, 200, "text/javascript; charset=utf-8"},
                {"GET", "@/state", {}, 200},
                {"GET", "@/summary", {}, 200, "text/plain; charset=utf-8"},
                {"GET", "@/live", {}, 200, "text/event-stream"},
                // Without the secret nothing is there, whatever the route.
                {"GET", "/", {}, 404},
                {"POST", "/action/view", R"({"view":"messages"})", 404},
                {"GET", "/00000000000000000000000000000000/state", {}, 404},
                {"GET", "@0/state", {}, 404},
                {"GET", "@", {}, 404},
                {"GET", "@/", {}, 421, "application/json", "rebound.example:80"},
                {"GET", "@/state", {}, 421, "application/json", ""},
                {"GET", "@/etc/passwd", {}, 404},
                {"OTHER", "@/", {}, 405},
                {"GET", "@/action/sync", {}, 405},
                {"POST", "@/action/refresh", {}, 415, "application/json", "own", {}, "text/plain"},
                {"POST", "@/action/refresh", {}, 403, "application/json", "own", "http://evil.example"},
                {"POST", "@/action/refresh", "{}", 200, "application/json", "own", "own"},
                {"POST", "@/action/format-disk", {}, 404},
                {"POST", "@/action/tap", "[1]", 400},
                {"POST", "@/action/tap", QByteArray(5000, ' '), 413},
                {"POST", "@/action/tap", R"({"id":"1"})", 400},
                {"POST", "@/action/item", R"({"id":1.5})", 400},
                {"POST", "@/action/tap", R"({"id":1e300})", 400},
                {"POST", "@/action/tap", R"({"id":4000000})", 404},
                {"POST", "@/action/item", R"({"id":4000000})", 404},
                {"POST", "@/action/view", R"({"view":"../../x"})", 409},
                {"POST", "@/action/read", R"({"ids":["a b"]})", 409},
                {"POST", "@/action/read", R"({"ids":"x"})", 409},
        };
        for (const Case &c : cases) {
            const QString path = QString(c.path).replace(QLatin1Char('@'), QLatin1Char('/') + mPage->secret());
            const QByteArray origin = c.origin == "own" ? "http://" + host() : c.origin;
            const PageRequest in {c.method, path, {}, c.host == "own" ? host() : c.host, origin, c.contentType, c.body};
            const QByteArray name = c.method + ' ' + c.path.toLatin1();
            // A refusal for the secret is warned about, as are those of the phone actions; nothing else.
            if (!c.path.startsWith(QLatin1String("@/")))
                QTest::ignoreMessage(
                        QtWarningMsg,
                        QRegularExpression(QStringLiteral("^page: refused .* without the page's secret$")));
            if (c.status == 409)
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
            const auto answer = mPage->respond(in);
            QVERIFY2(answer.status == c.status, name + ": " + answer.body);
            QVERIFY2(answer.contentType == c.type, name);
            QCOMPARE(answer.stream, c.path == QLatin1String("@/live"));
            if (c.type == "application/json")
                QVERIFY2(QJsonDocument::fromJson(answer.body).isObject(), name);
        }
    }

    void pageContentsAndButtons()
    {
        startPage();
        const auto file = [this](const char *name) { return mDir.filePath(QLatin1String(name)); };
        // Served: pictures an item holds, whatever their name says. Not: what is no picture, pictures
        // no item holds, a path that only names one, no path.
        const QList<std::tuple<QString, QByteArray, int, QByteArray>> cases = {
                {file("photo.png"), Png, 200, "image/png"},
                {file("avatar.png"), Png, 200, "image/png"},
                {file("scan"), QByteArray("II*\0\x08\0\0\0", 8), 200, "image/tiff"},
                {file("fake.png"), "<script>x()</script>", 404, "application/json"},
                {file("secret.png"), Png, 404, "application/json"},
                {mDir.path() + "/x/../photo.png", {}, 404, "application/json"},
                {QString(), {}, 404, "application/json"},
        };
        for (const auto &[path, bytes, status, type] : cases)
            QVERIFY(bytes.isEmpty() || writeFile(path, bytes));
        QVERIFY(add({{"title", "Pictures"},
                     {"icon", file("avatar.png")},
                     {"imageList", QStringList {file("photo.png"), file("fake.png"), "", file("scan")}}})
                > 0);
        for (const auto &[path, bytes, status, type] : cases) {
            PageRequest in = request("GET", QStringLiteral("picture"));
            in.query.addQueryItem(QStringLiteral("path"), QString::fromLatin1(QUrl::toPercentEncoding(path)));
            const auto answer = mPage->respond(in);
            QVERIFY2(answer.status == status && answer.contentType == type, qPrintable(path));
            QVERIFY(status != 200 || answer.body == bytes);
        }

        QCOMPARE(add({{"title", "Older"}, {"timestamp", "2026-01-01 10:00:00"}, {"body", "<b>x</b>"}}), 2);
        QCOMPARE(add({{"title", "Newer"}, {"timestamp", "2026-01-02 09:00:00"}, {"icon", "icon-m-x"}}), 3);
        const QJsonArray feed = mPage->feedJson();
        QList<qlonglong> order;
        for (const QJsonValue &item : feed)
            order << item[QStringLiteral("id")].toInteger();
        // Newest first, one without a time last.
        QCOMPARE(order, (QList<qlonglong> {3, 2, 1}));
        // A theme icon name is no picture of the page's; the body goes to the page as it came, to be
        // made safe there.
        QCOMPARE(feed.at(0)[QStringLiteral("icon")].toString(), QString());
        QCOMPARE(feed.at(1)[QStringLiteral("body")].toString(), QStringLiteral("<b>x</b>"));

        const uint group = notify("3 new messages", {"default", ""}, {{"x-tarvo-count", 3}}, 0, 0, "Ann: hi");
        const uint transient = notify("Ann", {}, {{"transient", true}}, -1, 0, "hi");
        const uint plain = notify("No action");
        QHash<qint64, QList<QJsonValue>> flags;
        for (const QJsonValue &n : mPage->notificationsJson())
            flags.insert(n[QStringLiteral("id")].toInteger(), {n["group"], n["tappable"], n["count"]});
        QCOMPARE(flags.value(group), (QList<QJsonValue> {true, true, 3}));
        QCOMPARE(flags.value(transient), (QList<QJsonValue> {false, false, 0}));
        QVERIFY(mPage->summary().contains(QStringLiteral("group \"3 new messages\" count=3")));

        // Its buttons: tap the group, tap and close one without an action, refresh.
        QSignalSpy invoked(&mNotifyProxy, &NotificationServerProxy::ActionInvoked);
        const auto withId = [](qlonglong id) { return R"({"id":)" + QByteArray::number(id) + '}'; };
        QCOMPARE(mPage->respond(request("POST", "action/tap", withId(group))).status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(invoked, (QList<QVariantList> {{group, "default"}}), 10000);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*no default action.*")));
        QCOMPARE(mPage->respond(request("POST", "action/tap", withId(plain))).status, 409);
        QCOMPARE(mPage->respond(request("POST", "action/close", withId(plain))).status, 200);
        QVERIFY(!mServer->notifications().contains(group) && !mServer->notifications().contains(plain));

        QCOMPARE(mPage->respond(request("POST", "action/refresh")).status, 200);
        QCOMPARE(mLines.last(), QStringLiteral("refresh-requested"));

        // The app's socket: one command per write, the connection kept while a view is shown.
        QCOMPARE(mPage->respond(request("POST", "action/view", R"({"view":"messages"})")).status, 200);
        QVERIFY(mAppSocketServer.waitForNewConnection(10000));
        QLocalSocket *app = mAppSocketServer.nextPendingConnection();
        QVERIFY(app);
        QByteArray received;
        QTRY_COMPARE_WITH_TIMEOUT(received += app->readAll(), QByteArray("messages"), 10000);
        QCOMPARE(mActions->currentView(), QStringLiteral("messages"));

        QCOMPARE(mPage->respond(request("POST", "action/read", R"({"ids":["notif_1","added_notif_7"]})")).status, 200);
        received.clear();
        QTRY_COMPARE_WITH_TIMEOUT(received += app->readAll(), QByteArray("markReadNtf"), 10000);
        QCOMPARE(readFile(mActions->readFile()), written(QStringList {"notif_1", "added_notif_7"}));

        QCOMPARE(mPage->respond(request("POST", "action/view", R"({"view":"home"})")).status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(app->state(), QLocalSocket::UnconnectedState, 10000);

        // A socket whose listener is not the daemon's user gets nothing.
        mActions->setDaemonUid(geteuid() + 1);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral(
                                     "^the socket .* belongs to uid \\d+, not to the daemon's user \\d+$")));
        QCOMPARE(mPage->respond(request("POST", "action/view", R"({"view":"messages"})")).status, 409);
        mActions->setDaemonUid(geteuid());
        QVERIFY(mAppSocketServer.waitForNewConnection(10000));
        app = mAppSocketServer.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(app->state(), QLocalSocket::UnconnectedState, 10000);
        QCOMPARE(app->readAll(), QByteArray());
        QCOMPARE(mActions->currentView(), QStringLiteral("home"));

        // An item's action is a remote call it describes; one that is not is refused.
        const qlonglong broken = add({{"title", "Broken"}, {"action", "not an action"}});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(".*")));
        QCOMPARE(mPage->respond(request("POST", "action/item", withId(broken))).status, 409);
    }

    void pageLiveUpdates()
    {
        startPage();
        const QString png = mDir.filePath(QStringLiteral("live.png"));
        QVERIFY(writeFile(png, Png));
        // The events as a browser's EventSource reads them: "data: <json>" and an empty line.
        const auto page = send("GET " + path("live") + " HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n");
        QByteArray stream;
        const auto events = [&stream] {
            QList<QJsonObject> objects;
            for (const QByteArray &event : stream.split('\n')) {
                if (event.startsWith("data: "))
                    objects << QJsonDocument::fromJson(event.mid(6)).object();
            }
            return objects;
        };
        QTRY_COMPARE_WITH_TIMEOUT((stream += page->readAll(), events().size()), 1, 10000);
        QVERIFY(stream.startsWith("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"));
        QCOMPARE(events().first().keys(), (QStringList {"activity", "contacts", "feed", "notifications", "view"}));

        QVERIFY(add({{"title", "Pushed"}, {"imageList", QStringList {png}}}) > 0);
        mPage->setContact(QStringLiteral("quillnet:acct:1"), {{"first", "Ada"}, {"status", "Here"}});
        // Only the sections that changed, as they changed.
        QTRY_VERIFY_WITH_TIMEOUT(
                (stream += page->readAll(), events().size() > 1 && events().last().contains("contacts")), 10000);
        const QList<QJsonObject> pushed = events().mid(1);
        QVERIFY(std::any_of(pushed.cbegin(), pushed.cend(), [](const QJsonObject &o) { return o.contains("feed"); }));
        QVERIFY(std::none_of(pushed.cbegin(), pushed.cend(),
                             [](const QJsonObject &o) { return o.contains("notifications"); }));
        QCOMPARE(pushed.last()[QStringLiteral("contacts")][0][QStringLiteral("name")].toString(),
                 QStringLiteral("Ada"));

        // A picture as it leaves over HTTP, at the address the feed gives it, carries the page's policy.
        const QString picture = mPage->feedJson()[0][QStringLiteral("pictures")][0].toString();
        const auto client = send("GET " + path(qPrintable(picture)) + " HTTP/1.1\r\n\r\n");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += client->readAll()).endsWith("\r\n\r\n" + Png), 10000);
        QVERIFY(answer.startsWith("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n"));
        for (const char *header :
             {"\r\nContent-Security-Policy: default-src 'none'; script-src 'self';",
              "\r\nX-Content-Type-Options: nosniff\r\n", "\r\nCross-Origin-Resource-Policy: same-origin\r\n"})
            QVERIFY2(answer.contains(header), header);
    }

    void pageFloods()
    {
        startPage();
        // A body is refused by its length, before it is sent.
        auto client = send("POST " + path("action/refresh") + " HTTP/1.1\r\nContent-Length: 314572800\r\n\r\n");
        QTest::ignoreMessage(QtWarningMsg, "page: a body of 314572800 bytes is refused unread");
        QVERIFY(QSignalSpy(client.get(), &QTcpSocket::disconnected).wait(10000));
        QVERIFY(client->readAll().startsWith("HTTP/1.1 413 "));

        // A request that stops half-way is closed when its time is up.
        mPage->setIdleTimeout(100);
        client = send("GET " + path("state") + " HTTP/1.1\r\nAccept: ");
        QTest::ignoreMessage(QtWarningMsg, "page: a request was not complete after 100 ms; its connection is closed");
        QVERIFY(QSignalSpy(client.get(), &QTcpSocket::disconnected).wait(10000));
        QCOMPARE(client->readAll(), QByteArray());

        // Connections beyond the limit are closed at once, however long the others may stay.
        mPage->setIdleTimeout(3600000);
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i <= PageServer::MaxConnections; ++i)
            clients.push_back(send(QByteArray()));
        QTest::ignoreMessage(QtWarningMsg, "page: 32 connections are open; more are refused");
        QTRY_VERIFY_WITH_TIMEOUT(
                std::any_of(clients.cbegin(), clients.cend(),
                            [](const auto &c) { return c->state() == QAbstractSocket::UnconnectedState; }),
                10000);
        clients.clear();
        QTRY_VERIFY_WITH_TIMEOUT(mPage->findChildren<QTcpSocket *>().isEmpty(), 10000);

        // Streams that do not read: the client takes a byte, and the kernel holds little behind it. The
        // contacts grow and each change sends them all, up to 60 contacts (1.2 MB a change): far more than
        // either case needs, and a page without its limits fails the test, not the machine.
        const QString big(20000, QLatin1Char('x'));
        int contact = 0;
        const auto grow = [&] {
            return contact < 60 && (mPage->setContact(QString::number(++contact), {{"status", big}}), true);
        };
        QPointer<QTcpSocket> behind;
        // A non-reading client, and its connection's end in the page, once there.
        const auto stall = [&] {
            for (QTcpSocket *socket : mPage->findChildren<QTcpSocket *>()) {
                if (socket->peerPort() == client->localPort()) {
                    behind = socket;
                    behind->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
                }
            }
            return behind;
        };

        // One pushed out by newer ones goes at once, with whatever it had not taken.
        client = send("GET " + path("live") + " HTTP/1.1\r\n\r\n", false);
        QTRY_VERIFY_WITH_TIMEOUT(stall(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT((grow(), behind && behind->bytesToWrite() > 0), 30000);
        QTest::ignoreMessage(QtWarningMsg, "page: 16 pages are open already; the oldest is closed");
        for (int i = 0; i < PageServer::MaxStreams; ++i)
            clients.push_back(send("GET " + path("live") + " HTTP/1.1\r\n\r\n"));
        QTRY_VERIFY_WITH_TIMEOUT(!behind, 10000);
        clients.clear();
        QTRY_VERIFY_WITH_TIMEOUT(mPage->findChildren<QTcpSocket *>().isEmpty(), 10000);

        // One too far behind is cut.
        mPage->setMaxUnsentBytes(65536);
        client = send("GET " + path("live") + " HTTP/1.1\r\n\r\n", false);
        QTRY_VERIFY_WITH_TIMEOUT(stall(), 10000);
        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QStringLiteral("^page: a live-update stream has \\d+ bytes not taken; it is cut$")));
        QTRY_VERIFY_WITH_TIMEOUT((grow(), !behind), 30000);
    }

    void commands();

    void programServes()
    {
        QVERIFY(makeProvider({person(QStringLiteral("quillnet:acct:7"))})->registerOnBus());
        const QStringList contacts
                = {R"(contact quillnet:acct:7 relationship="2" account="quillnet:acct")", "contacts 1"};
        QProcess *program = startProgram();
        QTRY_COMPARE_WITH_TIMEOUT(outputLines(program), OwnsLines + contacts, 20000);
        QSignalSpy refreshes(&mProxy, &ComTarvoHomeEventFeedInterface::refreshRequested);
        QCOMPARE(add({{"title", "From\nthe test"}, {"sourceName", "Quillnet"}}), 1);
        // A refresh asked for by a signal, and the same from standard input.
        ::kill(pid_t(program->processId()), SIGUSR1);
        QVERIFY(refreshes.wait(20000));
        program->write("refresh\n");
        QVERIFY(refreshes.wait(20000));

        QCOMPARE(notify("Ann", {"default", "Open"}, {}, 0, 0, "Hi", "quillnet-daemon"), 1u);
        // A person taps it; then tries to close what is gone.
        program->write("tap 1\nclose 1\n");
        QTRY_VERIFY_WITH_TIMEOUT(outputLines(program).contains("close 1 reason=2"), 20000);
        // A tapped feed item's action, in the form the daemon gives its items.
        QVERIFY(MRemoteAction("com.tarvo.quillnet.eventfeed /EventFeedMessage com.tarvo.quillnet.eventfeed showItem "
                              + QString::fromLatin1(written(QVariant(QStringLiteral("p1"))).toBase64()))
                        .trigger());

        const QStringList expected = {
                R"(added 1 sourceName="Quillnet" title="From\nthe test")",
                "refresh-requested",
                "refresh-requested",
                R"x(notify 1 app="quillnet-daemon" summary="Ann" body="Hi" actions=["default","Open"] timeout=never)x",
                R"x(action 1 key="default")x",
                "close 1 reason=2",
                R"x(showItem post="p1")x",
        };
        QTRY_COMPARE_WITH_TIMEOUT(outputLines(program), OwnsLines + contacts + expected, 20000);
        program->write("contacts\n");
        QTRY_COMPARE_WITH_TIMEOUT(outputLines(program), OwnsLines + contacts + expected + contacts, 20000);
        ::kill(pid_t(program->processId()), SIGINT);
        QVERIFY(program->waitForFinished(20000));
        QCOMPARE(program->exitStatus(), QProcess::NormalExit);
        QCOMPARE(program->exitCode(), 0);
        QCOMPARE(program->readAllStandardError(), QByteArray("homescreen: warning: dismiss: no notification 1\n"));
    }

    void programExits()
    {
        enum How { NameTaken, OtherNamesTaken, NoBus, BusEnds, Arguments };
        const QString taken = QStringLiteral("homescreen: the name %1 is taken by :");
        const QList<std::tuple<How, QStringList, int, QString>> cases = {
                {NameTaken, {}, 1, taken.arg("com.tarvo.home.EventFeed")},
                {OtherNamesTaken, {}, 1, taken.arg("org.freedesktop.Notifications")},
                {OtherNamesTaken, {"--no-notifications"}, 1, taken.arg("com.tarvo.quillnet")},
                // Ended by SIGTERM; SIGINT ends the program that serves.
                {OtherNamesTaken, {"--no-notifications", "--no-app", "--no-contacts"}, 0, {}},
                {NoBus, {}, 1, "homescreen: no session bus: Failed to connect to socket"},
                {BusEnds, {}, 0, "homescreen: warning: the session bus is gone\n"},
                {Arguments, {"extra"}, 2, "homescreen: takes no arguments (--help tells more)\n"},
        };
        for (const auto &[how, arguments, exitCode, log] : cases) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            QProcess *bus = nullptr;
            HomeScreen::NotificationServer otherNotifications;
            HomeScreen::QuillnetApp otherApp;
            if (how == NameTaken) {
                startService();
            } else if (how == OtherNamesTaken) {
                QVERIFY(otherNotifications.registerOnBus() && otherApp.registerOnBus());
                // Without the contacts view the provider is left alone.
                QVERIFY(!arguments.contains("--no-contacts") || makeProvider()->registerOnBus());
            } else if (how == NoBus) {
                environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), "unix:path=" + mDir.filePath("none"));
            } else if (how == BusEnds) {
                bus = startProgram({"--session", "--nofork", "--print-address=1"}, environment, "dbus-daemon");
                QVERIFY(bus->waitForReadyRead(20000));
                environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                                   QString::fromUtf8(bus->readLine()).trimmed());
            }

            QProcess *program = startProgram(arguments, environment);
            const QStringList owns = arguments.isEmpty() ? OwnsLines : QStringList {OwnsLine};
            if (exitCode == 0) {
                QTRY_COMPARE_WITH_TIMEOUT(outputLines(program), owns, 20000);
                (bus ? bus : program)->terminate();
            }
            QVERIFY(program->waitForFinished(20000));
            QCOMPARE(program->exitStatus(), QProcess::NormalExit);
            QCOMPARE(program->exitCode(), exitCode);
            const QString stderrText = QString::fromUtf8(program->readAllStandardError());
            QVERIFY2(exitCode == 0 ? stderrText == log : stderrText.startsWith(log), qPrintable(stderrText));
            // A taken name tells how to run without it; the session bus ends once for all the services.
            if (how == OtherNamesTaken && exitCode == 1)
                QVERIFY2(stderrText.endsWith(" runs without it)\n"), qPrintable(stderrText));
            QCOMPARE(outputLines(program), exitCode == 0 ? owns : QStringList());
            QVERIFY(!mProvider || mProvider->requests.isEmpty());
            cleanup();
        }
    }

private:
    // Reports the sender's lines into mLines.
    template<typename Sender>
    void collect(Sender *sender)
    {
        connect(sender, &Sender::changeReported, this, [this](const QString &line) { mLines << line; });
    }
    // The service in this process, called through mProxy on the test's own connection.
    void startService(const HomeScreen::Limits &limits = HomeScreen::Limits())
    {
        mService = std::make_unique<HomeScreen::EventFeedService>(limits);
        collect(mService.get());
        QVERIFY2(mService->registerOnBus(), qPrintable(mService->errorString()));
    }
    // The id addItem answers; 0 when the call failed on the bus.
    qlonglong add(const QVariantMap &item)
    {
        QDBusPendingReply<qlonglong> reply = mProxy.addItem(item);
        return finish(reply) ? reply.value() : 0;
    }
    // The notification server in this process, called through mNotifyProxy.
    void startServer(const HomeScreen::NotificationLimits &limits = HomeScreen::NotificationLimits())
    {
        mServer = std::make_unique<NotificationServer>(limits);
        collect(mServer.get());
        QVERIFY2(mServer->registerOnBus(), qPrintable(mServer->errorString()));
    }
    // The id Notify answers (0 when the call failed).
    uint notify(const QString &summary, const QStringList &actions = {}, const QVariantMap &hints = {}, int timeout = 0,
                uint replacesId = 0, const QString &body = {}, const QString &app = QStringLiteral("test"),
                const QString &icon = {})
    {
        QDBusPendingReply<uint> reply
                = mNotifyProxy.Notify(app, replacesId, icon, summary, body, actions, hints, timeout);
        return finish(reply) ? reply.value() : 0;
    }
    void startView()
    {
        mView = std::make_unique<HomeScreen::ContactsView>();
        collect(mView.get());
        QVERIFY(mView->start());
    }
    // A provider answering with these persons, not on the bus yet.
    FakeProvider *makeProvider(const QList<SocialNetworkPerson> &persons = {})
    {
        mProvider = std::make_unique<FakeProvider>();
        mProvider->persons = persons;
        return mProvider.get();
    }
    // The page server over this process's feed and notification server, and phone actions whose app
    // socket the test listens on.
    void startPage()
    {
        startService();
        startServer();
        QVERIFY(mAppSocketServer.listen(mDir.filePath(QStringLiteral("app.sock"))));
        mActions = std::make_unique<HomeScreen::PhoneActions>(mDir.filePath(QStringLiteral("app.sock")),
                                                              mDir.filePath(QStringLiteral("q/markReadNtf")));
        mPage = std::make_unique<PageServer>(mService.get(), mServer.get(), mActions.get());
        QVERIFY(mPage->listen());
        connect(mService.get(), &HomeScreen::BusService::changeReported, mPage.get(), &PageServer::reportFeedChange);
        connect(mServer.get(), &HomeScreen::BusService::changeReported, mPage.get(),
                &PageServer::reportNotificationChange);
    }
    PageRequest request(const QByteArray &method, const QString &path, const QByteArray &body = QByteArray()) const
    {
        const QString full = path.startsWith(QLatin1Char('/')) ? path : '/' + mPage->secret() + '/' + path;
        return {method, full, {}, host(), {}, "application/json", body};
    }
    QByteArray host() const { return "127.0.0.1:" + QByteArray::number(mPage->port()); }
    QByteArray path(const char *route) const { return '/' + mPage->secret().toLatin1() + '/' + route; }
    // A client of the page that has written request, with the page's host added.
    std::unique_ptr<QTcpSocket> send(const QByteArray &request, bool reading = true) const
    {
        auto client = std::make_unique<QTcpSocket>();
        // One that does not read takes a byte, and the kernel's buffers fill up behind it.
        if (!reading)
            client->setReadBufferSize(1);
        client->connectToHost(QHostAddress::LocalHost, mPage->port());
        const int line = request.indexOf("\r\n");
        // The page's own host, on the line after the request line.
        client->write(line < 0 ? request : request.left(line + 2) + "Host: " + host() + "\r\n" + request.mid(line + 2));
        return client;
    }
    QProcess *startProgram(const QStringList &arguments = {},
                           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                           const QString &binary = QStringLiteral(HOMESCREEN_BINARY))
    {
        QProcess *program = mPrograms.emplace_back(std::make_unique<QProcess>()).get();
        program->setProcessEnvironment(environment);
        program->start(binary, arguments);
        return program;
    }
    // The complete lines the program has written to standard output so far.
    QStringList outputLines(QProcess *program)
    {
        QStringList lines = QString::fromUtf8(program->peek(program->bytesAvailable())).split(QLatin1Char('\n'));
        lines.removeLast(); // what follows the last line end: an unfinished line or nothing
        return lines;
    }

    std::unique_ptr<HomeScreen::EventFeedService> mService;
    ComTarvoHomeEventFeedInterface mProxy {"com.tarvo.home.EventFeed", "/eventfeed", QDBusConnection::sessionBus()};
    std::unique_ptr<HomeScreen::NotificationServer> mServer;
    NotificationServerProxy mNotifyProxy {"org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                          QDBusConnection::sessionBus()};
    std::unique_ptr<HomeScreen::ContactsView> mView;
    std::unique_ptr<FakeProvider> mProvider;
    QTemporaryDir mDir;
    std::unique_ptr<HomeScreen::PhoneActions> mActions;
    std::unique_ptr<PageServer> mPage;
    QLocalServer mAppSocketServer;
    QStringList mLines;
    std::vector<std::unique_ptr<QProcess>> mPrograms;
};

// These five stay outside the class: moc misreads the escaped quotes in their raw strings, and
// inside the class that costs it the whole class.
void TestHomeScreen::feedCallsAndLines()
{
    startService();
    const QVariantMap first = {
            {"action", "a b"},
            {"footer", "2 likes"},
            {"imageList", QStringList {"/p.jpg", "", ""}},
            {"sourceName", "Quillnet"},
            {"timestamp", "2026-12-07 10:00:00"},
            {"title", "Ann Example"},
    };
    const QVariantMap second = {
            {"title", QStringLiteral("two\nlines \"quoted\" back\\slash\ttab\x1b esc\u2028sep\r")},
            {"body", QString(300, QLatin1Char('a'))},
            {"count", 7},
            {"extra", QStringLiteral("0 1 2 3 4 5 6 7 8 9").split(QLatin1Char(' '))},
            {"level", QVariant::fromValue(uchar(3))},
    };
    QCOMPARE(add(first), 1);
    QCOMPARE(add(second), 2);
    // New keys join, given keys are replaced, the others stay.
    QVERIFY(finish(mProxy.updateItem(1, {{"footer", "3 likes"}, {"body", "Hi"}})));
    QVERIFY(finish(mProxy.updateItem(1, {})));
    QVariantMap merged = first;
    merged.insert({{"footer", "3 likes"}, {"body", "Hi"}});
    QCOMPARE(mService->items().value(1), merged);
    QTest::ignoreMessage(QtWarningMsg, "updateItem: no item 3");
    QVERIFY(finish(mProxy.updateItem(3, {{"footer", "x"}})));
    QVERIFY(finish(mProxy.removeItem(2)));
    QTest::ignoreMessage(QtWarningMsg, "removeItem: no item 2");
    QVERIFY(finish(mProxy.removeItem(2)));
    // An id is never given out twice, not even after its item is gone.
    for (const QVariantMap &item : {QVariantMap {{"sourceName", "A"}}, QVariantMap {{"title", "none"}},
                                    QVariantMap {{"sourceName", "A"}}, QVariantMap {{"sourceName", ""}}})
        QVERIFY(add(item) > 2);
    for (const char *name : {"Quill\nnet", "%1 %2", "A", "", "A", "Quillnet"})
        QVERIFY(finish(mProxy.removeItemsBySourceName(QString::fromUtf8(name))));
    // The empty name is a name: an item without one is not among its items.
    QCOMPARE(mService->items().keys(), QList<qlonglong> {4});
    mService->requestRefresh();

    const QStringList expected = {
            R"(added 1 sourceName="Quillnet" title="Ann Example" footer="2 likes" timestamp="2026-12-07 10:00:00" )"
            R"(imageList=["/p.jpg","",""] action="a b")",
            R"(added 2 title="two\nlines \"quoted\" back\\slash\ttab\u001b esc\u2028sep\r" body=")"
                    + QString(200, QLatin1Char('a'))
                    + R"x(... (300 characters)" count="7" extra=["0","1","2","3","4","5","6","7",... (10 entries)] )x"
                    + R"(level="3")",
            R"(updated 1 body="Hi" footer="3 likes")",
            "updated 1",
            "removed 2",
            R"(added 3 sourceName="A")",
            R"(added 4 title="none")",
            R"(added 5 sourceName="A")",
            R"(added 6 sourceName="")",
            R"(removed-source Quill\nnet 0)",
            "removed-source %1 %2 0",
            "removed-source A 2",
            "removed-source  1",
            "removed-source A 0",
            "removed-source Quillnet 1",
            "refresh-requested"};
    QCOMPARE(mLines, expected);
}

void TestHomeScreen::notificationCallsAndLines()
{
    startServer();
    QDBusPendingReply<QStringList> capabilities = mNotifyProxy.GetCapabilities();
    QDBusPendingReply<QString, QString, QString, QString> information = mNotifyProxy.GetServerInformation();
    QVERIFY(finish(capabilities) && finish(information));
    QCOMPARE(capabilities.value(), (QStringList {"actions", "body", "body-markup", "persistence"}));
    QCOMPARE(information.argumentAt<0>(), QStringLiteral("homescreen"));
    QVERIFY(!information.argumentAt<1>().isEmpty() && !information.argumentAt<2>().isEmpty());
    QCOMPARE(information.argumentAt<3>(), QStringLiteral("1.2"));
    QSignalSpy closed(&mNotifyProxy, &NotificationServerProxy::NotificationClosed);
    QDBusArgument picture;
    picture.beginStructure();
    picture << 1 << 1 << 4 << true << 8 << 4 << QByteArray(4, 'p');
    picture.endStructure();
    const QVariantMap hints = {
            {"transient", true},
            {"resident", false},
            {"urgency", QVariant::fromValue(uchar(1))},
            {"category", "im.received"},
            {"sender-pid", qint64(42)},
            {"image-data", QVariant::fromValue(picture)},
            {"x-nested", QVariantMap {{"a", 1}}},
    };
    QCOMPARE(notify("New message", {"default", "Open"}, hints, -1, 0, "Hello \"you\"\nthere", "quillnet-daemon"), 1u);
    // A live notification is replaced in place, whole.
    QCOMPARE(notify(QString(), {"k", "l"}, {}, 0, 1, "b", "x", "icon.png"), 1u);
    QCOMPARE(notify("s", {}, {}, 2500), 2u);
    // An id never given out, or of a notification that is gone, gets a new one.
    QCOMPARE(notify("three", {}, {}, 0, 100), 3u);
    QVERIFY(finish(mNotifyProxy.CloseNotification(2)));
    QTRY_COMPARE_WITH_TIMEOUT(closed, (QList<QVariantList> {{2u, 3u}}), 10000);
    // The protocol answers an error for a notification that is gone.
    QTest::ignoreMessage(QtWarningMsg, "CloseNotification refused: no notification 2");
    QDBusPendingReply<> again = mNotifyProxy.CloseNotification(2);
    QVERIFY(answered(again));
    QCOMPARE(again.error().type(), QDBusError::InvalidArgs);
    QCOMPARE(notify("four", {}, {}, 0, 2), 4u);
    QVERIFY(mServer->dismiss(1));

    const QStringList expected = {
            R"x(notify 1 app="quillnet-daemon" summary="New message" body="Hello \"you\"\nthere" )x"
            R"x(actions=["default","Open"] hints=category="im.received",resident="false",sender-pid="42",)x"
            R"x(transient,urgency="1" timeout=5000)x",
            R"x(update 1 app="x" summary="" body="b" icon="icon.png" actions=["k","l"] timeout=never)x",
            R"x(notify 2 app="test" summary="s" body="" timeout=2500)x",
            R"x(notify 3 app="test" summary="three" body="" timeout=never)x",
            "close 2 reason=3",
            R"x(notify 4 app="test" summary="four" body="" timeout=never)x",
            "close 1 reason=2",
    };
    QCOMPARE(mLines, expected);
}

void TestHomeScreen::contactsAskedOnAppearance()
{
    startView();
    SocialNetworkPerson ada;
    // Set in another order than shown; a long text is cut as in the feed's lines.
    const std::pair<QString, QVariant> properties[]
            = {{"Nickname", "Ace"},
               {SocialNetworkPerson::Status, "Off to \"the\" lab\nback at 5\t\\o/"},
               {SocialGenericData::Id, "quillnet:acct:42"},
               {SocialNetworkPerson::Relationship, 2},
               {SocialGenericData::ParentAccount, "quillnet:acct"},
               {SocialNetworkPerson::FirstName, "Ada"},
               {SocialNetworkPerson::LastName, "Love\x1blace"},
               {SocialNetworkPerson::AboutMe, "Maths"},
               {"EmailAddresses", QStringList {"ada@example.org"}},
               {"Birthday", QDate(1990, 12, 10)},
               {SocialNetworkPerson::StatusChangeTime, QDateTime(QDate(2024, 5, 1), QTime(8, 15), Qt::UTC)},
               {SocialNetworkPerson::PhoneNumber, "+1 555 0100"},
               {SocialServiceAccount::SocialServiceId, "quillnet"},
               {"two words", "left out"}};
    for (const auto &[name, value] : properties)
        ada.setProperty(name, value);

    QTest::ignoreMessage(QtWarningMsg, aboutRequest("contacts: 1 persons of the answer to %1 have no usable id", 1));
    FakeProvider *provider = makeProvider({ada, person("quillnet:acct:4 2"), person("quillnet:acct:43", 1)});
    QVERIFY(provider->registerOnBus());
    const QStringList expected = {
            R"(contact quillnet:acct:42 first="Ada" last="Love\u001blace" status="Off to \"the\" lab\nback at )"
            R"(5\t\\o/" phone="+1 555 0100" email=["ada@example.org"] birthday="1990-12-10" about="Maths" )"
            R"(status-time="2024-05-01T08:15:00Z" relationship="2" account="quillnet:acct" service="quillnet" )"
            R"(Nickname="Ace" ... (14 properties))",
            R"(contact quillnet:acct:43 relationship="1" account="quillnet:acct")",
            "contacts 2",
    };
    QTRY_COMPARE_WITH_TIMEOUT(mLines, expected, 10000);
    QCOMPARE(provider->requests.size(), 1);
    const FakeProvider::Request &asked = provider->requests.first();
    QVERIFY(asked.type == 5 && asked.readCleanly && asked.filter.isEmpty());

    // Gone and back with the daemon's next login: asked anew.
    mLines.clear();
    provider = makeProvider({person(QStringLiteral("quillnet:acct:42"))});
    QVERIFY(provider->registerOnBus());
    const QString line = R"(contact quillnet:acct:42 relationship="2" account="quillnet:acct")";
    QTRY_COMPARE_WITH_TIMEOUT(mLines, (QStringList {line, "contacts 1"}), 10000);
    QCOMPARE(provider->requests.size(), 1);

    // Announced persons are asked for by id; an id with a "|" would ask for more than was announced.
    SocialServiceAccount account;
    account.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct"));
    QTest::ignoreMessage(QtWarningMsg, "contacts: 2 announced records are not persons with a usable id");
    provider->announce({person("quillnet:acct:42"), account, person("quillnet:acct:42"),
                        person("quillnet:acct:1|quillnet:acct:2")});
    QTRY_COMPARE_WITH_TIMEOUT(mLines, (QStringList {line, "contacts 1", "persons-update 4", line, "contacts 1"}),
                              10000);
    QCOMPARE(provider->requests.size(), 2);
    QVERIFY(provider->requests.at(1).id != provider->requests.at(0).id);
    QCOMPARE(provider->requests.at(1).filter, (QHash<QString, QString> {{"Id", "quillnet:acct:42"}}));
}

void TestHomeScreen::contactsAnswers()
{
    SocialServiceAccount account;
    account.setProperty(SocialGenericData::Id, QStringLiteral("quillnet:acct"));
    const QByteArray record = written(person(QStringLiteral("quillnet:acct:42")));
    const QByteArray good = written(quint32(1), quint32(0), quint32(1), record);
    const QString unreadable = QStringLiteral("contacts: the answer to %1 does not read");
    struct Case
    {
        QByteArray answer;
        QString warning; // about the request; empty for none
        QString answerId = {};
        SocialProviderError error = {};
    };
    const QList<Case> cases = {
            {{}, {}, {}, SocialProviderError(6, QStringLiteral("Handler \"not\"\nready"))},
            // Every caller's answers reach every listener.
            {{}, {}, "contactsd-1"},
            {written(quint32(3), quint32(0), quint32(1), record), unreadable}, // another version
            {written(quint32(2), quint32(2), quint8(1), quint32(0), quint32(1), record),
             QStringLiteral("contacts: part 2 of the answer to %1 came where part 1 was due")},
            {good + '\0', unreadable},
            {good.chopped(1), unreadable},
            {written(quint32(1), quint32(0), quint32(1), record + '\0'), unreadable},
            {written(quint32(1), quint32(0), quint32(10000), record), unreadable}, // more records than bytes
            {written(quint32(1), quint32(0), quint32(10001)) + QByteArray(40004, '\0'), unreadable}, // too many
            {written(quint32(1), quint32(1), quint32(3), quint32(0), quint32(0)), unreadable}, // odd filter text
            {written(quint32(1), quint32(0), quint32(1), account), unreadable}, // an account for a person
    };
    const QStringList answered = {R"(contact quillnet:acct:42 relationship="2" account="quillnet:acct")", "contacts 1"};
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
        const QString error = R"(contacts-error type=6 description="Handler \"not\"\nready")";
        QTRY_COMPARE_WITH_TIMEOUT(mLines, (c.error.type() ? QStringList {error} : QStringList()) + answered, 10000);
        cleanup();
    }
}

void TestHomeScreen::commands()
{
    struct Case
    {
        QString line;
        bool withNotifications;
        QStringList lines;
        // Done when there is none.
        QString warning = {};
    };
    const QStringList tapped = {R"(action 1 key="default")", "close 1 reason=2"};
    const QString usage = QStringLiteral(" (commands: tap <id>, close <id>, refresh, contacts)");
    const QString needsId = QStringLiteral("%1 needs the id of one notification, as in %1 4");
    const QList<Case> cases = {
            {"tap 1", true, tapped},
            {" \ttap \t 1 ", true, tapped},
            {"close 1", true, {"close 1 reason=2"}},
            {"refresh", false, {"refresh-requested"}},
            {"", true, {}},
            {"tap 1", false, {}, "tap finds no notifications: the home screen runs without them"},
            {"contacts", true, {}, "contacts finds no contacts view: the home screen runs without it"},
            {"tap 7", true, {}, "tap: no notification 7"},
            {"tap", true, {}, needsId.arg("tap")},
            {"close one", true, {}, needsId.arg("close")},
            {"tap 0", true, {}, needsId.arg("tap")},
            {"tap 1 2", true, {}, needsId.arg("tap")},
            {"tap -1", true, {}, needsId.arg("tap")},
            {"refresh now", true, {}, R"(unknown command "refresh now")" + usage},
            {"contacts all", true, {}, R"(unknown command "contacts all")" + usage},
            {"Tap 1", true, {}, R"(unknown command "Tap 1")" + usage},
            {"go \"\x1b\"", true, {}, R"(unknown command "go \"\u001b\"")" + usage},
    };
    for (const Case &c : cases) {
        startService();
        startServer();
        QCOMPARE(notify("s", {"default", "Open"}), 1u);
        mLines.clear();
        HomeScreen::CommandInput input(mService.get(), c.withNotifications ? mServer.get() : nullptr);
        if (!c.warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(c.warning));
        QVERIFY2(input.execute(c.line) == c.warning.isEmpty(), qPrintable(c.line));
        QVERIFY2(mLines == c.lines, qPrintable(c.line));
        cleanup();
    }

    // Read from a file descriptor.
    startService();
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    HomeScreen::CommandInput input(mService.get(), nullptr);
    QVERIFY(input.listen(fds[0]));

    // A line split across writes, a line beyond the limit (skipped whole, also the part after the
    // limit that looks like a command), and a last line without its line end, done at the end.
    const QByteArray tooLong = QByteArray(HomeScreen::CommandInput::MaxLineLength, ' ') + "refresh\n";
    QTest::ignoreMessage(QtWarningMsg, "commands: a line longer than 256 bytes is skipped");
    for (const QByteArray &bytes : {QByteArray("ref"), QByteArray("resh\r\n") + tooLong, QByteArray("refresh")}) {
        QCOMPARE(::write(fds[1], bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        // Read before the next write comes.
        QTRY_COMPARE_WITH_TIMEOUT(bytesWaiting(fds[0]), 0, 10000);
    }
    ::close(fds[1]);
    QTRY_COMPARE_WITH_TIMEOUT(mLines, (QStringList {"refresh-requested", "refresh-requested"}), 10000);
    ::close(fds[0]);
}

QTEST_GUILESS_MAIN(TestHomeScreen)
#include "tst_homescreen.moc"
