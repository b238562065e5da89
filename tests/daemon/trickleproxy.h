// A loopback TCP proxy in front of a service, for process tests of a slow network: it passes each
// connection's bytes both ways, or, while it trickles, lets the service's answers out one byte every
// few milliseconds, as a service that is never silent and never done. Stopping the trickle sends what
// it held back at once.
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class TrickleProxy
{
public:
    explicit TrickleProxy(const QUrl &service)
        : mService(service)
    {
        QObject::connect(&mServer, &QTcpServer::newConnection, [this] { accept(); });
    }

    bool listen() { return mServer.listen(QHostAddress::LocalHost); }
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(mServer.serverPort())); }

    // 0: everything passes as it comes.
    void setTrickle(int intervalMs)
    {
        mIntervalMs = intervalMs;
        for (const auto &pass : std::as_const(mPass))
            pass();
    }
    // Connections from the client that are open now.
    int open() const { return int(mPass.size()); }

private:
    void accept()
    {
        while (QTcpSocket *client = mServer.nextPendingConnection()) {
            auto *service = new QTcpSocket(client);
            // Written before the connection stands, the request waits in the socket's buffer.
            service->connectToHost(QHostAddress::LocalHost, quint16(mService.port()));
            auto held = std::make_shared<QByteArray>();
            auto *timer = new QTimer(client);
            const auto pass = [this, client, service, held, timer] {
                if (mIntervalMs <= 0) {
                    timer->stop();
                    client->write(*held);
                    held->clear();
                } else if (!held->isEmpty()) {
                    client->write(held->left(1));
                    held->remove(0, 1);
                    if (!timer->isActive())
                        timer->start(mIntervalMs);
                }
                if (held->isEmpty() && service->state() == QAbstractSocket::UnconnectedState)
                    client->disconnectFromHost();
            };
            mPass.insert(client, pass);
            QObject::connect(timer, &QTimer::timeout, client, pass);
            QObject::connect(client, &QTcpSocket::readyRead, service,
                             [client, service] { service->write(client->readAll()); });
            QObject::connect(service, &QTcpSocket::readyRead, client, [service, held, pass] {
                held->append(service->readAll());
                pass();
            });
            QObject::connect(service, &QTcpSocket::disconnected, client, pass);
            QObject::connect(client, &QTcpSocket::disconnected, client, [this, client] {
                mPass.remove(client);
                client->deleteLater();
            });
        }
    }

    QUrl mService;
    int mIntervalMs = 0;
    // Before the server, whose sockets may still report their end while it goes.
    QHash<QTcpSocket *, std::function<void()>> mPass;
    QTcpServer mServer;
};
