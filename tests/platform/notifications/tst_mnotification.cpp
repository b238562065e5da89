// Notifications and groups against a fake freedesktop notification server on the private bus:
// what the server is sent, updates in place across restarts, the server's signals, and a server
// that is missing, hung, faulty or replaced by another.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "fakes/fakenotificationserver.h"
#include "homescreen/quillnetapp.h"
#include "platform/notifications/mnotification.h"
#include "platform/notifications/mnotificationgroup.h"
#include "platform/notifications/mremoteaction.h"
#include "platform/notifications/notificationserver_p.h"
#include "lookups.h"
#include "testfiles.h"

namespace {

const QString ServerName = QStringLiteral("org.freedesktop.Notifications");
const QString ServerPath = QStringLiteral("/org/freedesktop/Notifications");
const QString ServerInterface = QStringLiteral("org.freedesktop.Notifications");
const QStringList AllCapabilities = {QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("body-markup")};
const QString CountHint = QStringLiteral("x-tarvo-count");
const QString EventTypeHint = QStringLiteral("x-tarvo-event-type");
const QString TransientHint = QStringLiteral("transient");
const QStringList DefaultAction = {QStringLiteral("default"), QStringLiteral("Open")};
// Sent with every notification; only messages have a category.
const MNotification::Presentation Shown = {QStringLiteral("org.example.App"),
                                           QStringLiteral("app-icon"),
                                           QStringLiteral("Open"),
                                           {{Messages, QStringLiteral("im.received")}}};
QVariantMap hintsOf(const QString &eventType, const QVariantMap &more)
{
    QVariantMap hints = {{EventTypeHint, eventType}, {QStringLiteral("desktop-entry"), Shown.desktopEntry}};
    if (Shown.categories.contains(eventType))
        hints.insert(QStringLiteral("category"), Shown.categories.value(eventType));
    hints.insert(more);
    return hints;
}
// Longer than any call may wait.
constexpr int AnswerMs = NotificationServer::CallTimeoutMs + 5000;

MRemoteAction openView(const QString &key, const QString &id)
{
    return MRemoteAction(QStringLiteral("com.tarvo.quillnet"), QStringLiteral("/OpenView"),
                         QStringLiteral("com.tarvo.quillnet"), QStringLiteral("openView"), {key, id});
}

// What a Notify call carried, to compare at once.
QVariantList sent(const FakeNotificationCall &call)
{
    return {call.replacesId, call.summary, call.body, call.actions, call.hints, call.expireTimeout};
}

// Publishes and waits for the server's answer: whether it took the notification.
bool published(MNotification &notification)
{
    QSignalSpy answered(&notification, &MNotification::published);
    return notification.publish() && answered.wait(AnswerMs) && answered.first().first().toBool();
}

// Takes the lookup's objects, keyed by event type.
template<typename T>
QMultiMap<QString, T *> byEventType(const QList<T *> &objects)
{
    QMultiMap<QString, T *> result;
    for (T *object : objects)
        result.insert(object->eventType(), object);
    return result;
}

} // namespace

// Answers on this process's own bus connection, after everything that arrived before.
class Probe : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.quillnet.test.Probe")

public slots:
    void ping() {}
};

class TestMNotification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(NotificationServer::instance());
        MNotification::setPresentation(Shown);
        QVERIFY(mApp.registerOnBus());
        connect(&mApp, &HomeScreen::QuillnetApp::changeReported, this, [this](const QString &line) { mViews << line; });
        QVERIFY(QDBusConnection::sessionBus().registerObject(QStringLiteral("/probe"), &mProbe,
                                                             QDBusConnection::ExportAllSlots));
    }
    void init()
    {
        mDir = std::make_unique<QTemporaryDir>();
        QVERIFY(mDir->isValid());
        MNotification::setRegistryPath(mDir->filePath(QStringLiteral("cache/notifications.registry")));
        QVERIFY(switchServer(AllCapabilities));
        mViews.clear();
    }
    void cleanupTestCase()
    {
        mServer.stop();
        QDBusConnection::sessionBus().unregisterObject(QStringLiteral("/probe"));
    }

    void newsInsideAGroupAndPlainNotifications_data()
    {
        QTest::addColumn<QStringList>("capabilities");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QString>("body"); // "from <b>Ann", escaped only for a server that reads markup

        QTest::newRow("with actions, markup") << AllCapabilities << DefaultAction << "from &lt;b&gt;Ann";
        QTest::newRow("without actions, plain text")
                << QStringList {QStringLiteral("body")} << QStringList() << "from <b>Ann";
    }

    void newsInsideAGroupAndPlainNotifications()
    {
        QFETCH(QStringList, capabilities);
        QFETCH(QStringList, actions);
        QFETCH(QString, body);

        QVERIFY(switchServer(capabilities));
        MNotificationGroup group(Messages, QStringLiteral("Ann & Bo"), QStringLiteral("from <b>Ann"));
        group.setCount(3);
        group.setAction(openView(QStringLiteral("message"), QString()));
        QVERIFY(!group.isPublished());
        QVERIFY(published(group));
        QVERIFY(group.isPublished());
        const FakeNotificationCall created = mServer.calls().last();
        QCOMPARE(created.signature, QStringLiteral("susssasa{sv}i"));
        QCOMPARE(created.appName, QCoreApplication::applicationName());
        QCOMPARE(created.appIcon, Shown.icon);
        // Plain texts: the body escaped for a server that reads markup there, the summary never.
        QCOMPARE(sent(created),
                 (QVariantList {0u, QStringLiteral("Ann & Bo"), body, actions, hintsOf(Messages, {{CountHint, 3u}}),
                                0}));
        QCOMPARE(created.hints.value(CountHint).typeId(), QMetaType::UInt);
        QVERIFY(created.id != 0);

        // Two updates queued at once: the second replaces what the first created.
        group.setBody(QStringLiteral("4 new messages"));
        group.setCount(4);
        QSignalSpy answers(&group, &MNotification::published);
        QVERIFY(group.publish());
        group.setSummary(QStringLiteral("Ann, Bo, Cy"));
        QVERIFY(group.publish());
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 2, AnswerMs);
        QCOMPARE(answers, (QList<QVariantList> {{true}, {true}}));

        // News in the group, and a notification of its own.
        MNotification news(Messages);
        news.setBody(QStringLiteral("2 new messages"));
        news.setGroup(group);
        QVERIFY(published(news));
        MNotification plain(Requests, QStringLiteral("Friend request"), QStringLiteral("from <b>Ann"));
        QVERIFY(published(plain));

        // The capabilities are asked once per server.
        QCOMPARE(mServer.members(),
                 QStringList {QStringLiteral("GetCapabilities")} + QStringList(5, QStringLiteral("Notify")));
        const QList<FakeNotificationCall> calls = callsOf("Notify");
        for (const FakeNotificationCall &update : calls.mid(1, 2))
            QVERIFY(update.replacesId == created.id && update.id == created.id && update.hints.value(CountHint) == 4u);
        QCOMPARE(sent(calls.at(2)),
                 (QVariantList {created.id, QStringLiteral("Ann, Bo, Cy"), QStringLiteral("4 new messages"), actions,
                                hintsOf(Messages, {{CountHint, 4u}}), 0}));
        // Transient, and a click on it does what a click on its group does.
        QVERIFY(calls.at(3).id != created.id);
        QCOMPARE(sent(calls.at(3)),
                 (QVariantList {0u, QString(), QStringLiteral("2 new messages"), actions,
                                hintsOf(Messages, {{TransientHint, true}}), -1}));
        // Without an action of its own or of a group.
        QCOMPARE(sent(calls.at(4)),
                 (QVariantList {0u, QStringLiteral("Friend request"), body, QStringList(), hintsOf(Requests, {}), -1}));

        QCOMPARE(groupCount(), 1);
        QCOMPARE(eventTypesOf(MNotification::notifications()), (QStringList {Messages, Requests}));

        // Another server, taking the place just as a call goes out: asked anew, and it gets the call,
        // as a new notification.
        mServer.stop();
        QVERIFY(mServer.start(capabilities));
        QVERIFY(published(group));
        QCOMPARE(mServer.members(), (QStringList {QStringLiteral("GetCapabilities"), QStringLiteral("Notify")}));
        QCOMPARE(mServer.calls().last().replacesId, 0u);
        QCOMPARE(mServer.calls().last().actions, actions);
    }

    void publishingWithoutAnAnsweringServerFails_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("warning");
        // The calls the server got.
        QTest::addColumn<QStringList>("members");
        QTest::addColumn<QVariant>("answer"); // to Notify, of a faulty server

        const QStringList notified
                = {QStringLiteral("GetCapabilities"), QStringLiteral("Notify"), QStringLiteral("Notify")};
        QTest::newRow("none") << "none"
                              << "No notification server answers: nothing owns" << QStringList() << QVariant();
        // A server hung from the start is the handler's test's.
        QTest::newRow("hung after telling its capabilities")
                << "hung later"
                << "did not take the notification" << QStringList {QStringLiteral("Notify")} << QVariant();
        QTest::newRow("id 0") << "faulty"
                              << "invalid id 0" << notified << QVariant(0u);
        QTest::newRow("id as text") << "faulty"
                                    << "did not take the notification" << notified << QVariant(QStringLiteral("7"));
    }

    void publishingWithoutAnAnsweringServerFails()
    {
        QFETCH(QString, server);
        QFETCH(QString, warning);
        QFETCH(QStringList, members);
        QFETCH(QVariant, answer);

        MNotificationGroup group(Messages, QStringLiteral("Ann"), QStringLiteral("1 new message"));
        if (server == QLatin1String("none")) {
            QVERIFY(switchServer(std::nullopt));
        } else {
            if (server == QLatin1String("hung later")) {
                QVERIFY(published(group));
                mServer.clearCalls();
            }
            mServer.run([&](FakeNotificationServer &fake) {
                fake.hung = !answer.isValid();
                fake.notifyAnswer = answer;
            });
        }
        const QByteArray registry = readFile(MNotification::registryPath());

        // Nothing sent when nobody owns the name; otherwise the outcome comes later, for what waited
        // behind the unanswered call too.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        group.setBody(QStringLiteral("2 new messages"));
        MNotification news(Messages);
        news.setGroup(group);
        QSignalSpy groupAnswer(&group, &MNotification::published);
        QSignalSpy newsAnswer(&news, &MNotification::published);
        QCOMPARE(group.publish(), server != QLatin1String("none"));
        if (server == QLatin1String("none") || answer.isValid())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        QCOMPARE(news.publish(), server != QLatin1String("none"));
        QVERIFY(groupAnswer.isEmpty());
        if (server != QLatin1String("none")) {
            QVERIFY(groupAnswer.wait(AnswerMs));
            QCOMPARE(groupAnswer.first(), QVariantList {false});
            QTRY_COMPARE(newsAnswer.size(), 1);
            QCOMPARE(newsAnswer.first(), QVariantList {false});
        }
        QCOMPARE(mServer.members(), members);
        QCOMPARE(readFile(MNotification::registryPath()), registry);
        // Nothing was taken for an id: removing has nothing to close.
        if (server != QLatin1String("hung later"))
            QVERIFY(!group.remove() && groupCount() == 0);
    }

    void signalsOfTheServerAboutOurIdsAndRemovals()
    {
        const std::unique_ptr<MNotificationGroup> group = publishedGroup(Messages, QStringLiteral("message"));
        QVERIFY(group);
        MNotification news(Messages);
        news.setGroup(*group);
        QVERIFY(published(news));
        const std::unique_ptr<MNotificationGroup> other = publishedGroup(Requests, QStringLiteral("friendreq"));
        QVERIFY(other);
        MNotification plain(Requests);
        QVERIFY(published(plain));
        const QList<uint> ids = mServer.shown().keys();
        const uint groupId = ids.at(0);

        QVERIFY(sendAsImpostor(QStringLiteral("ActionInvoked"), {groupId, QStringLiteral("default")}));
        QVERIFY(sendAsImpostor(QStringLiteral("NotificationClosed"), {groupId, 2u}));
        QCOMPARE(mViews.size(), 0);
        QCOMPARE(groupCount(), 2);

        // From the server: other types than the protocol's, another action than the default one, an id
        // that is not ours, a notification without an action; then the real thing, a click on the group
        // and on its news, and the other group dismissed.
        mServer.run([&](FakeNotificationServer &server) {
            server.sendSignal(QStringLiteral("ActionInvoked"), {int(groupId), QStringLiteral("default")});
            server.sendSignal(QStringLiteral("NotificationClosed"), {groupId, QStringLiteral("dismissed")});
            server.sendSignal(QStringLiteral("NotificationClosed"), {int(groupId), 2u});
            server.invokeAction(groupId, QStringLiteral("reply"));
            server.invokeAction(1000, QStringLiteral("default"));
            server.invokeAction(ids.at(3), QStringLiteral("default"));
            server.invokeAction(groupId, QStringLiteral("default"));
            server.invokeAction(ids.at(1), QStringLiteral("default"));
            server.close(ids.at(2), FakeNotificationServer::Dismissed);
        });
        QTRY_COMPARE(groupCount(), 1);
        QTRY_COMPARE(mViews.size(), 2);
        // The app's adaptor takes the call only with its two strings.
        QCOMPARE(mViews, QStringList(2, QStringLiteral("openView kind=\"message\" id=\"id-message\"")));
        QCOMPARE(eventTypesOf(MNotificationGroup::notificationGroups()), QStringList {Messages});

        // A group the server closed is shown and recorded anew.
        QVERIFY(published(*other));
        QVERIFY(mServer.shown().contains(mServer.calls().last().id));
        QCOMPARE(groupCount(), 2);

        // Removed: closed and forgotten; what was never shown, or is removed already, has nothing to close.
        QVERIFY(news.remove());
        QVERIFY(group->remove());
        QVERIFY(!MNotification(Requests).remove());
        QVERIFY(!news.remove());
        const QList<FakeNotificationCall> closes = callsOf("CloseNotification");
        QCOMPARE(closes.size(), 2);
        QCOMPARE(closes.at(0).signature, QStringLiteral("u"));
        QCOMPARE(closes.at(0).id, ids.at(1));
        QCOMPARE(closes.at(1).id, groupId);
        QCOMPARE(mServer.shown().size(), 2);
        QVERIFY(groupCount() == 1 && notificationCount() == 1);

        // Removed while on its way: dropped from the queue, or closed once the server answers, and
        // not recorded either way.
        QSignalSpy answers(group.get(), &MNotification::published);
        QVERIFY(group->publish());
        QVERIFY(news.publish());
        QVERIFY(group->remove());
        QVERIFY(news.remove());
        QTRY_COMPARE(callsOf("CloseNotification").size(), 3);
        QCOMPARE(callsOf("CloseNotification").last().id, callsOf("Notify").last().id);
        QCOMPARE(callsOf("Notify").size(), 6);
        QCOMPARE(mServer.shown().size(), 2);
        QCOMPARE(groupCount() + notificationCount(), 2);
        QVERIFY(answers.isEmpty());

        // Removed, the group may be published anew.
        QVERIFY(published(*group));
        QCOMPARE(callsOf("Notify").last().replacesId, 0u);
        QCOMPARE(groupCount(), 2);
    }

    void lookupsUpdateInPlaceOnlyOnTheServerOfTheirIds()
    {
        {
            const std::unique_ptr<MNotificationGroup> messages = publishedGroup(Messages, QStringLiteral("message"));
            QVERIFY(messages);
            MNotificationGroup requests(Requests, QStringLiteral("Ann"), QStringLiteral("wants to be friends"));
            QVERIFY(published(requests));
            MNotification news(Messages);
            news.setBody(QStringLiteral("1 new message"));
            news.setGroup(*messages);
            QVERIFY(published(news));
        }
        const QList<FakeNotificationCall> before = callsOf("Notify");
        const QList<uint> ours = mServer.shown().keys();
        mServer.clearCalls();

        // A new process would find the same (nothing but the registry file carries over); published as
        // found, each is sent as before, in place.
        const auto groups = byEventType(MNotificationGroup::notificationGroups());
        const auto notifications = byEventType(MNotification::notifications());
        QCOMPARE(groups.keys(), (QStringList {Requests, Messages}));
        QCOMPARE(notifications.keys(), QStringList {Messages});
        QVERIFY(groups.value(Messages)->isPublished());
        for (MNotification *found :
             {static_cast<MNotification *>(groups.value(Messages)),
              static_cast<MNotification *>(groups.value(Requests)), notifications.value(Messages)})
            QVERIFY(published(*found));
        const QList<FakeNotificationCall> after = callsOf("Notify");
        QCOMPARE(after.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(after.at(i).replacesId == before.at(i).id && after.at(i).id == before.at(i).id);
            QCOMPARE(sent(after.at(i)).mid(1), sent(before.at(i)).mid(1));
        }
        QCOMPARE(mServer.shown().keys(), ours);

        // A new server, where another program holds the ids the one before gave us.
        QVERIFY(switchServer(AllCapabilities));
        const QString foreign = QStringLiteral("foreign");
        QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, foreign);
        for (int i = 0; i < ours.size(); ++i) {
            QDBusMessage notify
                    = QDBusMessage::createMethodCall(ServerName, ServerPath, ServerInterface, QStringLiteral("Notify"));
            notify << foreign << 0u << QString() << QString() << foreign << QStringList() << QVariantMap() << -1;
            QCOMPARE(callAs(other, notify).arguments().value(0).toUInt(), ours.at(i));
        }
        QDBusConnection::disconnectFromBus(foreign);
        mServer.clearCalls();
        // Taps on the other program's notifications are not ours.
        mServer.run([&](FakeNotificationServer &server) {
            for (uint id : ours)
                server.invokeAction(id, QStringLiteral("default"));
        });

        // The news is forgotten, the group is no longer shown; removed, nothing of the other program's
        // is closed; published, it is created anew.
        QCOMPARE(notificationCount(), 0);
        QCOMPARE(groupCount(), 2);
        QVERIFY(!groups.value(Messages)->isPublished());
        QVERIFY(notifications.value(Messages)->remove());
        groups.value(Messages)->setAction(openView(QStringLiteral("message"), QStringLiteral("again")));
        QVERIFY(published(*groups.value(Messages)));
        QVERIFY(groups.value(Messages)->isPublished());
        QCOMPARE(mServer.members(), (QStringList {QStringLiteral("GetCapabilities"), QStringLiteral("Notify")}));
        QCOMPARE(mServer.calls().last().replacesId, 0u);
        const uint republished = mServer.calls().last().id;
        QVERIFY(!ours.contains(republished));

        // One on ours, after those: the only call of the app.
        mServer.run(
                [&](FakeNotificationServer &server) { server.invokeAction(republished, QStringLiteral("default")); });
        QTRY_VERIFY(!mViews.isEmpty() && mViews.last().endsWith(QLatin1String("id=\"again\"")));
        QCOMPARE(mViews.size(), 1);
        QCOMPARE(groupCount(), 2);
        QCOMPARE(mServer.shown().size(), ours.size() + 1);
        qDeleteAll(groups);
        qDeleteAll(notifications);
    }

private:
    // Puts a new server on the bus (or none), and returns once the framework has heard of the
    // change of owner.
    [[nodiscard]] bool switchServer(const std::optional<QStringList> &capabilities)
    {
        QDBusServiceWatcher watcher(ServerName, QDBusConnection::sessionBus(),
                                    QDBusServiceWatcher::WatchForOwnerChange);
        QSignalSpy changes(&watcher, &QDBusServiceWatcher::serviceOwnerChanged);
        const int expected = int(mServer.isRunning()) + int(capabilities.has_value());
        mServer.stop();
        if (capabilities && !mServer.start(*capabilities))
            return false;
        if (!QTest::qWaitFor([&] { return changes.size() >= expected; }, 5000))
            return false;
        // The framework's watcher heard of it in the same turn of the event loop as this one; what it
        // asked the bus at its start is answered as well by now.
        QCoreApplication::processEvents();
        return !NotificationServer::instance()->hasCachedCapabilities() && NotificationServer::instance()->isIdle();
    }
    // Sends the signal from a bus connection that does not own the server's name, and returns once
    // this process has handled what that connection sent.
    [[nodiscard]] bool sendAsImpostor(const QString &name, const QVariantList &arguments)
    {
        const QString connectionName = QStringLiteral("impostor");
        QDBusConnection impostor = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
        QDBusMessage signal = QDBusMessage::createSignal(ServerPath, ServerInterface, name);
        signal.setArguments(arguments);
        bool answered = impostor.send(signal);
        // Messages from one sender arrive in order: the answer comes after the signal was handled.
        answered = answered
                && callAs(impostor,
                          QDBusMessage::createMethodCall(
                                  QDBusConnection::sessionBus().baseService(), QStringLiteral("/probe"),
                                  QStringLiteral("com.tarvo.quillnet.test.Probe"), QStringLiteral("ping")))
                                .type()
                        == QDBusMessage::ReplyMessage;
        QDBusConnection::disconnectFromBus(connectionName);
        return answered;
    }
    // Calls through the bus connection: what that call answered.
    QDBusMessage callAs(QDBusConnection connection, const QDBusMessage &call)
    {
        QDBusPendingCallWatcher watcher(connection.asyncCall(call));
        QSignalSpy finished(&watcher, &QDBusPendingCallWatcher::finished);
        if (!watcher.isFinished())
            finished.wait(5000);
        return watcher.reply();
    }
    // A published group of the kind, with its action.
    std::unique_ptr<MNotificationGroup> publishedGroup(const QString &eventType, const QString &key)
    {
        auto group = std::make_unique<MNotificationGroup>(eventType);
        group->setAction(openView(key, QStringLiteral("id-") + key));
        group->setBody(QStringLiteral("news of ") + key);
        group->setCount(1);
        return published(*group) ? std::move(group) : nullptr;
    }
    // The calls of that member the server got.
    QList<FakeNotificationCall> callsOf(const char *member)
    {
        QList<FakeNotificationCall> calls = mServer.calls();
        calls.removeIf([member](const FakeNotificationCall &call) { return call.member != QLatin1String(member); });
        return calls;
    }
    static int groupCount() { return int(eventTypesOf(MNotificationGroup::notificationGroups()).size()); }
    static int notificationCount() { return int(eventTypesOf(MNotification::notifications()).size()); }

    FakeNotificationServerThread mServer;
    std::unique_ptr<QTemporaryDir> mDir;
    // The service's app: one line per view a click opened.
    HomeScreen::QuillnetApp mApp;
    QStringList mViews;
    Probe mProbe;
};

QTEST_GUILESS_MAIN(TestMNotification)
#include "tst_mnotification.moc"
