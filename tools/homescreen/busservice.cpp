#include "homescreen/busservice.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>

namespace HomeScreen {

BusService::BusService(const QString &serviceName, const QString &objectPath, QObject *parent)
    : QObject(parent)
    , mServiceName(serviceName)
    , mObjectPath(objectPath)
    , mConnectionName(QStringLiteral("homescreen-%1-%2").arg(serviceName).arg(quintptr(this), 0, 16))
    , mConnection(mConnectionName)
{}

BusService::~BusService()
{
    if (mRegistered) {
        mConnection.unregisterObject(mObjectPath);
        mConnection.unregisterService(mServiceName);
    }
    QDBusConnection::disconnectFromBus(mConnectionName);
}

bool BusService::registerOnBus()
{
    if (mRegistered)
        return true;
    mConnection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName);
    if (!mConnection.isConnected()) {
        mError = QStringLiteral("no session bus: %1").arg(mConnection.lastError().message());
        return false;
    }
    QDBusConnectionInterface *bus = mConnection.interface();
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
            mServiceName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        mError = QStringLiteral("could not ask for the name %1: %2").arg(mServiceName, reply.error().message());
        return false;
    }
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        const QDBusReply<uint> pid = bus->servicePid(mServiceName);
        mError = QStringLiteral("the name %1 is taken by %2 (process %3)")
                         .arg(mServiceName, bus->serviceOwner(mServiceName).value(),
                              pid.isValid() ? QString::number(pid.value()) : QStringLiteral("unknown"));
        return false;
    }
    if (!mConnection.registerObject(mObjectPath, this, QDBusConnection::ExportAdaptors)) {
        mError = QStringLiteral("the object %1 is taken on this connection").arg(mObjectPath);
        bus->unregisterService(mServiceName);
        return false;
    }
    // The bus tells of its end only locally, with a signal found by name.
    mConnection.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                        QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                        SLOT(onDisconnected()));
    mRegistered = true;
    mError.clear();
    return true;
}

bool BusService::taken(bool canHang)
{
    if (!calledFromDBus())
        return false;
    emit callReceived(message());
    if (onCall)
        onCall(message(), false);
    if (hung && canHang) {
        setDelayedReply(true);
        mHeld << message();
        return true;
    }
    const QDBusMessage instead = answerInstead ? answerInstead(message()) : QDBusMessage();
    if (instead.type() == QDBusMessage::InvalidMessage)
        return false;
    setDelayedReply(true);
    send(instead);
    return true;
}

void BusService::onDisconnected()
{
    emit busLost();
}

} // namespace HomeScreen
