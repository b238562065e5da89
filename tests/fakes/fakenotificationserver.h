// A freedesktop notification server for tests: owns "org.freedesktop.Notifications" on a bus
// connection of its own, so that calls really cross the bus, keeps the open notifications in
// memory, records every call, and emits the protocol's signals when a test asks.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

// One call the server received.
struct FakeNotificationCall
{
    QString member;
    // The D-Bus signature of the arguments.
    QString signature;
    // Notify's arguments.
    QString appName;
    uint replacesId = 0;
    QString appIcon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout = 0;
    // The id Notify answered (0 when it did not), or CloseNotification's argument.
    uint id = 0;
};

class FakeNotificationServer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
    Q_DISABLE_COPY(FakeNotificationServer)

public:
    // The protocol's reasons in NotificationClosed.
    enum CloseReason : uint { Expired = 1, Dismissed = 2, ClosedByCall = 3, Undefined = 4 };

    explicit FakeNotificationServer(QObject *parent = nullptr);
    ~FakeNotificationServer() override;

    // Connects privately to the session bus and takes the server's name and path.
    bool registerOnBus();

    // What GetCapabilities answers.
    QStringList capabilities = {QStringLiteral("body")};
    // When set, every call of the protocol is taken and never answered, as a hung server does.
    bool hung = false;
    // When valid, Notify answers this value instead of an id and shows nothing, as a faulty server
    // might.
    QVariant notifyAnswer;
    QList<FakeNotificationCall> calls;
    // The open notifications by id, as last sent by Notify.
    QMap<uint, FakeNotificationCall> shown;

    // Closes the notification as the server does when it expires or the user dismisses it:
    // NotificationClosed is emitted when it was open.
    void close(uint id, uint reason);
    // Emits ActionInvoked as the server does when the user clicks.
    void invokeAction(uint id, const QString &actionKey);
    // Emits any signal of the interface with any arguments, as a faulty server might.
    bool sendSignal(const QString &name, const QVariantList &arguments);

public slots:
    QStringList GetCapabilities();
    uint Notify(const QString &app_name, uint replaces_id, const QString &app_icon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expire_timeout);
    void CloseNotification(uint id);
    QString GetServerInformation(QString &vendor, QString &version, QString &spec_version);
    // Not the protocol's: answered in turn after the calls that came before it, not recorded.
    void ping() {}

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString &action_key);

private:
    FakeNotificationCall &record(const char *member);
    // Takes the call without answering when hung.
    bool hangs();

    QDBusConnection mConnection;
    uint mNextId = 1;
    QList<QDBusMessage> mUnanswered;
};

// Runs a FakeNotificationServer on a thread of its own, so that it answers while the test's thread
// waits in a blocking call to it. The server is read and changed through run(), on its thread.
class FakeNotificationServerThread
{
    Q_DISABLE_COPY(FakeNotificationServerThread)

public:
    FakeNotificationServerThread() = default;
    ~FakeNotificationServerThread();

    // Starts the thread and puts a new server on the bus; false when it cannot take the name.
    bool start(const QStringList &capabilities = {QStringLiteral("body")});
    // Takes the server off the bus and ends the thread.
    void stop();
    bool isRunning() const { return mServer != nullptr; }

    // Runs work on the server's thread and returns when it is done.
    void run(const std::function<void(FakeNotificationServer &)> &work);

    // What the server received and shows, once it has handled everything that this process sent
    // it over its session bus connection so far (the calls nobody waits for included).
    QList<FakeNotificationCall> calls();
    // The members of the calls, in order: "Notify", "GetCapabilities", ...
    QStringList members();
    QMap<uint, FakeNotificationCall> shown();
    // Forgets the calls recorded so far; the notifications stay open.
    void clearCalls();

private:
    void settle();

    QThread mThread;
    FakeNotificationServer *mServer = nullptr;
};
