#include "fakes/fakenotificationserver.h"

FakeNotificationServer::FakeNotificationServer(QObject *parent)
    : FakeBusService(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
                     parent)
{}

FakeNotificationCall &FakeNotificationServer::record(const char *member)
{
    arrived();
    FakeNotificationCall &call = calls.emplace_back();
    call.member = QLatin1String(member);
    call.signature = signature();
    return call;
}

QStringList FakeNotificationServer::GetCapabilities()
{
    record("GetCapabilities");
    return hangs() ? QStringList() : capabilities;
}

uint FakeNotificationServer::Notify(const QString &app_name, uint replaces_id, const QString &app_icon,
                                    const QString &summary, const QString &body, const QStringList &actions,
                                    const QVariantMap &hints, int expire_timeout)
{
    FakeNotificationCall &call = record("Notify");
    call.appName = app_name;
    call.appIcon = app_icon;
    call.replacesId = replaces_id;
    call.summary = summary;
    call.body = body;
    call.actions = actions;
    call.hints = hints;
    call.expireTimeout = expire_timeout;
    if (hangs())
        return 0;
    if (!notifyError.isEmpty() && calledFromDBus()) {
        sendErrorReply(notifyError, QStringLiteral("refused"));
        return 0;
    }
    if (notifyAnswer.isValid() && calledFromDBus()) {
        setDelayedReply(true);
        connection().send(message().createReply(notifyAnswer));
        return 0;
    }
    // As common servers do: an id that is not open gets a new notification.
    call.id = shown.contains(replaces_id) ? replaces_id : mNextId++;
    shown.insert(call.id, call);
    return answer(call.id);
}

void FakeNotificationServer::CloseNotification(uint id)
{
    record("CloseNotification").id = id;
    if (!hangs())
        close(id, ClosedByCall);
}

void FakeNotificationServer::close(uint id, uint reason)
{
    if (shown.remove(id) > 0)
        emit NotificationClosed(id, reason);
}

bool FakeNotificationServer::sendSignal(const QString &name, const QVariantList &arguments)
{
    QDBusMessage signal = QDBusMessage::createSignal(mPath, mService, name);
    signal.setArguments(arguments);
    return mConnection.send(signal);
}

QStringList FakeNotificationServerThread::members()
{
    QStringList members;
    for (const FakeNotificationCall &call : calls())
        members << call.member;
    return members;
}
