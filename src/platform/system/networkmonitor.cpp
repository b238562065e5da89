#include "platform/system/networkmonitor.h"

#include <QDebug>
#include <QNetworkInformation>
#include <QTimer>

namespace {

bool reachabilityIsOnline(QNetworkInformation::Reachability reachability)
{
    // Site (local network only) still counts: the service may be on the local network.
    return reachability == QNetworkInformation::Reachability::Online
            || reachability == QNetworkInformation::Reachability::Site;
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
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        qDebug() << Q_FUNC_INFO << "no reachability backend, assuming online";
        return;
    }
    QNetworkInformation *info = QNetworkInformation::instance();
    const auto reachability = info->reachability();
    // Unknown means the backend has not decided yet; do not report offline before it has.
    mOnline = reachability == QNetworkInformation::Reachability::Unknown || reachabilityIsOnline(reachability);
    connect(info, &QNetworkInformation::reachabilityChanged, this, &NetworkMonitor::onReachabilityChanged);
}

void NetworkMonitor::onReachabilityChanged()
{
    QNetworkInformation *info = QNetworkInformation::instance();
    if (!info)
        return;
    const auto reachability = info->reachability();
    if (reachability == QNetworkInformation::Reachability::Unknown)
        return;
    const bool online = reachabilityIsOnline(reachability);
    if (online == mOnline)
        return;
    mOnline = online;
    emit onlineStateChanged(mOnline);
}
