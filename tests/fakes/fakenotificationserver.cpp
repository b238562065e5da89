#include "fakes/fakenotificationserver.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace {

HomeScreen::NotificationLimits noExpiry()
{
    HomeScreen::NotificationLimits limits;
    limits.transientTimeout = 0;
    return limits;
}

} // namespace

FakeNotificationServer::FakeNotificationServer()
    : NotificationServer(noExpiry())
{
    connect(this, &BusService::callReceived, this, [this](const QDBusMessage &call) {
        FakeNotificationCall &record = calls.emplace_back();
        record.member = call.member();
        record.signature = call.signature();
        const QList<QVariant> arguments = call.arguments();
        if (record.member == QLatin1String("CloseNotification")) {
            record.id = arguments.value(0).toUInt();
        } else if (record.member == QLatin1String("Notify")) {
            record.appName = arguments.value(0).toString();
            record.replacesId = arguments.value(1).toUInt();
            record.appIcon = arguments.value(2).toString();
            record.summary = arguments.value(3).toString();
            record.body = arguments.value(4).toString();
            record.actions = arguments.value(5).toStringList();
            record.hints = qdbus_cast<QVariantMap>(arguments.value(6));
            record.expireTimeout = arguments.value(7).toInt();
        }
    });
    connect(this, &BusService::callAnswered, this, [this](const QDBusMessage &call, const QVariant &value) {
        if (call.member() == QLatin1String("Notify") && !calls.isEmpty()) {
            calls.last().id = value.toUInt();
            mNotified.insert(calls.last().id, calls.last());
        }
    });
    answerInstead = [this](const QDBusMessage &call) {
        if (call.member() == QLatin1String("GetCapabilities"))
            return call.createReply(capabilities);
        if (call.member() != QLatin1String("Notify"))
            return QDBusMessage();
        return notifyAnswer.isValid() ? call.createReply(notifyAnswer) : QDBusMessage();
    };
}

QMap<uint, FakeNotificationCall> FakeNotificationServer::shown() const
{
    QMap<uint, FakeNotificationCall> open;
    for (auto it = mNotified.constBegin(); it != mNotified.constEnd(); ++it) {
        if (notifications().contains(it.key()))
            open.insert(it.key(), it.value());
    }
    return open;
}

bool FakeNotificationServer::sendSignal(const QString &name, const QVariantList &arguments)
{
    QDBusMessage signal = QDBusMessage::createSignal(objectPath(), serviceName(), name);
    signal.setArguments(arguments);
    return send(signal);
}

QStringList FakeNotificationServerThread::members()
{
    QStringList members;
    for (const FakeNotificationCall &call : calls())
        members << call.member;
    return members;
}
