// Whether the device is online, and when that changes. Without a reachability backend the device
// counts as online: the client library then finds out for itself.
#pragma once

#include <QObject>

class NetworkMonitor : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(NetworkMonitor)

public:
    explicit NetworkMonitor(QObject* parent = nullptr);
    ~NetworkMonitor() override;

    bool isOnline() const;

signals:
    void onlineStateChanged(bool isOnline);

private slots:
    void onReachabilityChanged();

private:
    bool mOnline = true;
};
