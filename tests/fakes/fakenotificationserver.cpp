#include "fakes/fakenotificationserver.h"

#include <QDBusMessage>
#include <QDebug>

namespace {
const QString ServiceName = QStringLiteral("org.freedesktop.Notifications");
const QString ObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString InterfaceName = QStringLiteral("org.freedesktop.Notifications");
const QString ConnectionName = QStringLiteral("fake-notification-server");
} // namespace

FakeNotificationServer::FakeNotificationServer(QObject *parent)
    : QObject(parent)
    , mConnection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, ConnectionName))
{}

FakeNotificationServer::~FakeNotificationServer()
{
    mConnection.unregisterObject(ObjectPath);
    mConnection.unregisterService(ServiceName);
    QDBusConnection::disconnectFromBus(ConnectionName);
}

bool FakeNotificationServer::registerOnBus()
{
    return mConnection.isConnected() && mConnection.registerService(ServiceName)
            && mConnection.registerObject(ObjectPath, this,
                                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
}

FakeNotificationCall &FakeNotificationServer::record(const char *member)
{
    FakeNotificationCall call;
    call.member = QLatin1String(member);
    call.signature = calledFromDBus() ? message().signature() : QStringLiteral("(local)");
    calls << call;
    return calls.last();
}

bool FakeNotificationServer::hangs()
{
    if (!hung || !calledFromDBus())
        return false;
    setDelayedReply(true);
    mUnanswered << message();
    return true;
}

QStringList FakeNotificationServer::GetCapabilities()
{
    record("GetCapabilities");
    if (hangs())
        return {};
    return capabilities;
}

uint FakeNotificationServer::Notify(const QString &app_name, uint replaces_id, const QString &app_icon,
                                    const QString &summary, const QString &body, const QStringList &actions,
                                    const QVariantMap &hints, int expire_timeout)
{
    FakeNotificationCall &call = record("Notify");
    call.appName = app_name;
    call.replacesId = replaces_id;
    call.appIcon = app_icon;
    call.summary = summary;
    call.body = body;
    call.actions = actions;
    call.hints = hints;
    call.expireTimeout = expire_timeout;
    if (hangs())
        return 0;
    if (notifyAnswer.isValid() && calledFromDBus()) {
        setDelayedReply(true);
        connection().send(message().createReply(notifyAnswer));
        return 0;
    }
    // As common servers do: an id that is not open gets a new notification.
    call.id = shown.contains(replaces_id) ? replaces_id : mNextId++;
    shown.insert(call.id, call);
    return call.id;
}

void FakeNotificationServer::CloseNotification(uint id)
{
    record("CloseNotification").id = id;
    if (hangs())
        return;
    close(id, ClosedByCall);
}

QString FakeNotificationServer::GetServerInformation(QString &vendor, QString &version, QString &spec_version)
{
    record("GetServerInformation");
    if (hangs())
        return {};
    vendor = QStringLiteral("Quillnet tests");
    version = QStringLiteral("1");
    spec_version = QStringLiteral("1.2");
    return QStringLiteral("fake-notification-server");
}

void FakeNotificationServer::close(uint id, uint reason)
{
    if (shown.remove(id) > 0)
        emit NotificationClosed(id, reason);
}

void FakeNotificationServer::invokeAction(uint id, const QString &actionKey)
{
    emit ActionInvoked(id, actionKey);
}

bool FakeNotificationServer::sendSignal(const QString &name, const QVariantList &arguments)
{
    QDBusMessage signal = QDBusMessage::createSignal(ObjectPath, InterfaceName, name);
    signal.setArguments(arguments);
    return mConnection.send(signal);
}

FakeNotificationServerThread::~FakeNotificationServerThread()
{
    stop();
}

bool FakeNotificationServerThread::start(const QStringList &capabilities)
{
    if (mServer)
        return true;
    mThread.start();
    mServer = new FakeNotificationServer;
    mServer->capabilities = capabilities;
    mServer->moveToThread(&mThread);
    bool registered = false;
    run([&registered](FakeNotificationServer &server) { registered = server.registerOnBus(); });
    return registered;
}

void FakeNotificationServerThread::stop()
{
    if (!mServer)
        return;
    // Back to this thread, so that it is deleted where it lives.
    QThread *here = QThread::currentThread();
    run([here](FakeNotificationServer &server) { server.moveToThread(here); });
    delete mServer;
    mServer = nullptr;
    mThread.quit();
    mThread.wait();
}

void FakeNotificationServerThread::run(const std::function<void(FakeNotificationServer &)> &work)
{
    FakeNotificationServer *server = mServer;
    if (server)
        QMetaObject::invokeMethod(
                server, [server, &work] { work(*server); }, Qt::BlockingQueuedConnection);
}

void FakeNotificationServerThread::settle()
{
    if (!mServer)
        return;
    // One connection's messages arrive in order and the server handles them in order.
    const QDBusMessage ping
            = QDBusMessage::createMethodCall(ServiceName, ObjectPath, InterfaceName, QStringLiteral("ping"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(ping);
    if (reply.type() != QDBusMessage::ReplyMessage)
        qWarning() << "The fake notification server did not answer:" << reply.errorMessage();
}

QList<FakeNotificationCall> FakeNotificationServerThread::calls()
{
    settle();
    QList<FakeNotificationCall> result;
    run([&result](FakeNotificationServer &server) { result = server.calls; });
    return result;
}

QStringList FakeNotificationServerThread::members()
{
    QStringList result;
    const QList<FakeNotificationCall> received = calls();
    for (const FakeNotificationCall &call : received)
        result << call.member;
    return result;
}

QMap<uint, FakeNotificationCall> FakeNotificationServerThread::shown()
{
    settle();
    QMap<uint, FakeNotificationCall> result;
    run([&result](FakeNotificationServer &server) { result = server.shown; });
    return result;
}

void FakeNotificationServerThread::clearCalls()
{
    run([](FakeNotificationServer &server) { server.calls.clear(); });
}
