#include "platform/system/networkmonitor.h"
#include "platform/support/logging.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDebug>
#include <QTimer>

namespace {

// Qt's QNetworkInformation would do the same through a plug-in, but it loads every plug-in it has,
// and the GLib one brings GIO and its libraries: a tenth of the idle daemon's memory.
const QString Service = QStringLiteral("org.freedesktop.NetworkManager");
const QString Path = QStringLiteral("/org/freedesktop/NetworkManager");

// NetworkManager's NMState: 10 asleep, 20 disconnected, 30 disconnecting, 40 connecting, 50 local
// only; 60 site (the service may be on the local network) and 70 global count as online. Unknown
// (0) and values it does not define change nothing.
enum class Reach { Unknown, Offline, Online };
Reach reachOf(uint state)
{
    switch (state) {
    case 10:
    case 20:
    case 30:
    case 40:
    case 50:
        return Reach::Offline;
    case 60:
    case 70:
        return Reach::Online;
    default:
        return Reach::Unknown;
    }
}

} // namespace

NetworkMonitor::NetworkMonitor(QObject *parent)
    : QObject(parent)
{
    QTimer::singleShot(0, this, [this] { loadBackend(); });
}

NetworkMonitor::~NetworkMonitor() = default;

bool NetworkMonitor::isOnline() const
{
    loadBackend();
    return mOnline;
}

bool NetworkMonitor::isBackendLoaded() const
{
    return mBackendLoaded;
}

void NetworkMonitor::loadBackend() const
{
    if (mBackendLoaded)
        return;
    mBackendLoaded = true;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "no system bus, assuming online";
        return;
    }
    auto *self = const_cast<NetworkMonitor *>(this);
    // Also when NetworkManager starts later.
    bus.connect(Service, Path, Service, QStringLiteral("StateChanged"), self, SLOT(onStateChanged(uint)));
    QDBusMessage get = QDBusMessage::createMethodCall(Service, Path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << Service << QStringLiteral("State");
    auto *call = new QDBusPendingCallWatcher(bus.asyncCall(get), self);
    connect(call, &QDBusPendingCallWatcher::finished, self, &NetworkMonitor::onStateAnswered);
}

void NetworkMonitor::onStateAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *call;
    if (reply.isError()) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "no NetworkManager, assuming online:" << reply.error().name();
        return;
    }
    const QVariant state = reply.value().variant();
    if (state.metaType() != QMetaType::fromType<uint>()) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "NetworkManager's state is not a number:" << state.metaType().name();
        return;
    }
    onStateChanged(state.toUInt());
}

void NetworkMonitor::onStateChanged(uint state)
{
    const Reach reach = reachOf(state);
    if (reach == Reach::Unknown)
        return;
    const bool online = reach == Reach::Online;
    if (online == mOnline)
        return;
    mOnline = online;
    emit onlineStateChanged(mOnline);
}
