// The home screen's notification server as the tests' peer: it records every call, answers its
// capabilities and Notify as a test sets, and emits the protocol's signals when a test asks. Nothing
// expires by itself.
#pragma once

#include <QList>
#include <QMap>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include "fakes/fakebusservice.h"
#include "homescreen/notificationserver.h"

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

class FakeNotificationServer : public HomeScreen::NotificationServer
{
public:
    FakeNotificationServer();

    // What GetCapabilities answers.
    QStringList capabilities = {QStringLiteral("body")};
    // When valid, Notify answers this value instead of an id and shows nothing, as a faulty server
    // might.
    QVariant notifyAnswer;
    QList<FakeNotificationCall> calls;

    // The open notifications by id, as last sent by Notify.
    QMap<uint, FakeNotificationCall> shown() const;
    // Emits ActionInvoked as the server does when the user clicks.
    void invokeAction(uint id, const QString &actionKey) { emit ActionInvoked(id, actionKey); }
    // Emits any signal of the interface with any arguments, as a faulty server might.
    bool sendSignal(const QString &name, const QVariantList &arguments);

private:
    // The last Notify answered for each id.
    QMap<uint, FakeNotificationCall> mNotified;
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
    QMap<uint, FakeNotificationCall> shown()
    {
        return get<QMap<uint, FakeNotificationCall>>(&FakeNotificationServer::shown);
    }
    // Forgets the calls recorded so far; the notifications stay open.
    void clearCalls()
    {
        run([](FakeNotificationServer &server) { server.calls.clear(); });
    }
};
