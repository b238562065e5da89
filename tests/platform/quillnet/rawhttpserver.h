// A loopback HTTP server for client tests that need byte-exact answers: each request gets the first
// queued answer meant for its target (broken ones written as they are), or no answer at all when
// none is queued.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <memory>

class RawHttpServer
{
public:
    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray header(const QByteArray& name) const
        {
            for (const auto& header : headers) {
                if (header.first.compare(name, Qt::CaseInsensitive) == 0)
                    return header.second;
            }
            return QByteArray();
        }
    };

    // What to do with one request: bytes to write, and whether to close the connection after them.
    struct Answer
    {
        QByteArray bytes;
        bool close = true;
        QByteArray prefix; // targets it answers; empty for any
    };

    RawHttpServer() { QObject::connect(&mServer, &QTcpServer::newConnection, [this] { accept(); }); }

    bool listen() { return mServer.listen(QHostAddress::LocalHost); }
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(mServer.serverPort())); }

    // A complete answer with the given status line, headers and body (Content-Length added).
    static QByteArray response(int status, const QByteArray& body, const QByteArray& contentType = "application/json",
                               const QByteArray& extraHeaders = QByteArray())
    {
        QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + " X\r\n";
        if (!contentType.isEmpty())
            text += "Content-Type: " + contentType + "\r\n";
        text += "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n";
        return text + body;
    }

    void enqueue(const QByteArray& bytes, bool close = true) { mAnswers.append({ bytes, close, QByteArray() }); }
    void enqueueJson(const QByteArray& body, int status = 200) { enqueue(response(status, body)); }
    // An answer only for a request whose target starts with prefix (requests may arrive in any order).
    void route(const QByteArray& prefix, const QByteArray& bytes) { mAnswers.append({ bytes, true, prefix }); }

    const QList<Request>& requests() const { return mRequests; }
    // Connections that went away before their answer was written completely.
    int abandoned() const { return mAbandoned; }

private:
    struct Connection
    {
        QPointer<QTcpSocket> socket;
        QByteArray buffer;
        bool answered = false;
    };

    void accept()
    {
        while (QTcpSocket* socket = mServer.nextPendingConnection()) {
            auto connection = std::make_shared<Connection>();
            connection->socket = socket;
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, connection] { read(connection); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, connection] {
                if (!connection->answered)
                    ++mAbandoned;
                connection->socket->deleteLater();
            });
        }
    }

    void read(const std::shared_ptr<Connection>& connection)
    {
        connection->buffer += connection->socket->readAll();
        const int end = connection->buffer.indexOf("\r\n\r\n");
        if (end < 0 || connection->answered)
            return;
        Request request;
        const QList<QByteArray> lines = connection->buffer.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        qint64 length = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = lines.at(i).left(colon).trimmed();
            const QByteArray value = lines.at(i).mid(colon + 1).trimmed();
            request.headers.append({ name, value });
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
                length = value.toLongLong();
        }
        if (connection->buffer.size() < end + 4 + length)
            return;
        request.body = connection->buffer.mid(end + 4, length);
        mRequests.append(request);
        int index = 0;
        while (index < mAnswers.size() && !request.target.startsWith(mAnswers.at(index).prefix))
            ++index;
        if (index == mAnswers.size())
            return; // left hanging: the client's timeout must end it
        connection->answered = true;
        const Answer answer = mAnswers.takeAt(index);
        QTcpSocket* socket = connection->socket;
        socket->write(answer.bytes);
        if (answer.close)
            socket->disconnectFromHost();
    }

    QTcpServer mServer;
    QList<Answer> mAnswers;
    QList<Request> mRequests;
    int mAbandoned = 0;
};
