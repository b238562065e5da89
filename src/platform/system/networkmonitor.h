// Whether the device is online, and when that changes. Without a reachability backend the device
// counts as online: the client library then finds out for itself. The backend (a plug-in that pulls
// in GLib or talks to NetworkManager) is loaded from the event loop once the owner's start-up is
// done, or at the first question, whichever comes first: start-up does not wait for it.
#pragma once

#include <QObject>

class NetworkMonitor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(NetworkMonitor)

public:
    explicit NetworkMonitor(QObject *parent = nullptr);
    ~NetworkMonitor() override;

    bool isOnline() const;
    // True once the reachability backend was asked for (loaded or found missing).
    bool isBackendLoaded() const;

signals:
    void onlineStateChanged(bool isOnline);

private slots:
    void onReachabilityChanged();

private:
    void loadBackend() const;

    mutable bool mBackendLoaded = false;
    mutable bool mOnline = true;
};
