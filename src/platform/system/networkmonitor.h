// Whether the device is online, and when that changes, as NetworkManager tells it on the system bus.
// Without NetworkManager the device counts as online: the client library then finds out for itself.
// NetworkManager is asked from the event loop once the owner's start-up is done, or at the first
// question, whichever comes first: start-up does not wait for it. Its answer comes later; until
// then the device counts as online.
#pragma once

#include <QObject>

class QDBusPendingCallWatcher;

class NetworkMonitor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(NetworkMonitor)

public:
    explicit NetworkMonitor(QObject *parent = nullptr);
    ~NetworkMonitor() override;

    bool isOnline() const;
    // True once NetworkManager was asked (or found missing).
    bool isBackendLoaded() const;

signals:
    void onlineStateChanged(bool isOnline);

private slots:
    // NetworkManager's StateChanged signal, connected by name.
    void onStateChanged(uint state);

private:
    void loadBackend() const;
    void onStateAnswered(QDBusPendingCallWatcher *call);

    mutable bool mBackendLoaded = false;
    mutable bool mOnline = true;
};
