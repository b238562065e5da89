// A loopback TCP proxy in front of a service, for process tests of a slow network: it passes each
// connection's bytes both ways, or, while it trickles, lets the service's answers out one byte every
// few milliseconds, as a service that is never silent and never done; or it holds back the answers to
// requests for given paths until the test lets them go. Stopping the trickle or the hold sends what
// it held back at once.
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QStringList>
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
    // From now on, the answer to a request for one of paths (and whatever follows it on its
    // connection) waits; an empty list lets them go.
    void holdAnswers(const QStringList &paths)
    {
        mHeldPaths = paths;
        for (const auto &pass : std::as_const(mPass))
            pass();
    }
    // Requests whose answers were held so far.
    int heldRequests() const { return mHeldRequests; }
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
            auto holding = std::make_shared<bool>(false);
            auto *timer = new QTimer(client);
            const auto pass = [this, client, service, held, holding, timer] {
                if (*holding && !mHeldPaths.isEmpty())
                    return;
                *holding = false;
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
            QObject::connect(client, &QTcpSocket::readyRead, service, [this, client, service, holding] {
                const QByteArray request = client->readAll();
                for (const QString &path : std::as_const(mHeldPaths)) {
                    if (!*holding && request.contains(' ' + path.toUtf8())) {
                        *holding = true;
                        ++mHeldRequests;
                    }
                }
                service->write(request);
            });
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
    QStringList mHeldPaths;
    int mHeldRequests = 0;
    // Before the server, whose sockets may still report their end while it goes.
    QHash<QTcpSocket *, std::function<void()>> mPass;
    QTcpServer mServer;
};
