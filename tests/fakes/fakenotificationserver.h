// A freedesktop notification server for tests: keeps the open notifications in memory, records
// every call, and emits the protocol's signals when a test asks.
#pragma once

#include <QMap>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include "fakes/fakebusservice.h"

// One call the server received.
struct FakeNotificationCall
{
    QString member;
    // The D-Bus signature of the arguments.
    QString signature;
    // Notify's arguments.
    QString appName;
    QString appIcon;
    uint replacesId = 0;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout = 0;
    // The id Notify answered (0 when it did not), or CloseNotification's argument.
    uint id = 0;
};

class FakeNotificationServer : public FakeBusService
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    // The protocol's reasons in NotificationClosed.
    enum CloseReason : uint { Expired = 1, Dismissed = 2, ClosedByCall = 3 };

    // When hung, every call of the protocol is taken and never answered.
    explicit FakeNotificationServer(QObject *parent = nullptr);

    // What GetCapabilities answers.
    QStringList capabilities = {QStringLiteral("body")};
    // When valid, Notify answers this value instead of an id and shows nothing, as a faulty server
    // might.
    QVariant notifyAnswer;
    // When set, Notify answers this D-Bus error and shows nothing, as a server does with a body over
    // its limit.
    QString notifyError;
    QList<FakeNotificationCall> calls;
    // The open notifications by id, as last sent by Notify.
    QMap<uint, FakeNotificationCall> shown;

    // Closes the notification as the server does when it expires or the user dismisses it:
    // NotificationClosed is emitted when it was open.
    void close(uint id, uint reason);
    // Emits ActionInvoked as the server does when the user clicks.
    void invokeAction(uint id, const QString &actionKey) { emit ActionInvoked(id, actionKey); }
    // Emits any signal of the interface with any arguments, as a faulty server might.
    bool sendSignal(const QString &name, const QVariantList &arguments);

public slots:
    QStringList GetCapabilities();
    uint Notify(const QString &app_name, uint replaces_id, const QString &app_icon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expire_timeout);
    void CloseNotification(uint id);

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString &action_key);

private:
    FakeNotificationCall &record(const char *member);

    uint mNextId = 1;
};

class FakeNotificationServerThread : public FakeThread<FakeNotificationServer>
{
public:
    bool start(const QStringList &capabilities)
    {
        return FakeThread::start(
                [&capabilities](FakeNotificationServer &server) { server.capabilities = capabilities; });
    }
    QList<FakeNotificationCall> calls() { return get(&FakeNotificationServer::calls); }
    // The members of the calls, in order: "Notify", "GetCapabilities", ...
    QStringList members();
    QMap<uint, FakeNotificationCall> shown() { return get(&FakeNotificationServer::shown); }
    // Forgets the calls recorded so far; the notifications stay open.
    void clearCalls()
    {
        run([](FakeNotificationServer &server) { server.calls.clear(); });
    }
};
