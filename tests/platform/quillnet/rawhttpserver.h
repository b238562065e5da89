// A loopback HTTP server for client tests that need byte-exact answers: each request gets the first
// queued answer meant for its target (broken ones written as they are, endless ones written as long
// as the client reads, trickling ones a byte at a time), or no answer at all when none is queued.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

class RawHttpServer
{
public:
    struct Request
    {
        QByteArray method;
        QByteArray target; // path and query as sent
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;

        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    };

    RawHttpServer()
    {
        QObject::connect(&mServer, &QTcpServer::newConnection, [this] { accept(); });
    }

    bool listen() { return mServer.listen(QHostAddress::LocalHost); }
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(mServer.serverPort())); }

    // A complete answer with the given status line, headers and body (Content-Length added).
    static QByteArray response(int status, const QByteArray &body, const QByteArray &contentType = "application/json",
                               const QByteArray &extraHeaders = QByteArray())
    {
        QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + " X\r\n";
        if (!contentType.isEmpty())
            text += "Content-Type: " + contentType + "\r\n";
        return text + "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders
                + "Connection: close\r\n\r\n" + body;
    }

    // Bytes written (then the connection closed) for the next request whose target starts with
    // prefix; requests may arrive in any order.
    void enqueue(const QByteArray &bytes, const QByteArray &prefix = QByteArray())
    {
        mAnswers.append({prefix, bytes, false});
    }
    // The bytes, then 'x' without end: as fast as the client takes them, or one every intervalMs as
    // a trickling service sends. Only the client can end it.
    void enqueueEndless(const QByteArray &start, int intervalMs = 0)
    {
        mAnswers.append({QByteArray(), start, true, intervalMs});
    }
    void enqueueJson(const QByteArray &body, int status = 200) { enqueue(response(status, body)); }
    void clearAnswers() { mAnswers.clear(); }

    const QList<Request> &requests() const { return mRequests; }
    // Connections that the client closed before they were answered (endless ones included).
    int abandoned() const { return mAbandoned; }

private:
    void accept()
    {
        while (QTcpSocket *socket = mServer.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                if (!socket->property("answered").toBool())
                    ++mAbandoned;
                socket->deleteLater();
            });
        }
    }

    void read(QTcpSocket *socket)
    {
        // Bytes stay in the socket until the whole request is there.
        const QByteArray data = socket->peek(socket->bytesAvailable());
        const int end = data.indexOf("\r\n\r\n");
        if (end < 0 || socket->property("answered").toBool() || socket->property("endless").toBool())
            return;
        Request request;
        const QList<QByteArray> lines = data.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        for (const QByteArray &line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qint64 length = request.header("Content-Length").toLongLong();
        if (data.size() < end + 4 + length)
            return;
        request.body = data.mid(end + 4, length);
        socket->read(end + 4 + length);
        mRequests.append(request);
        int index = 0;
        while (index < mAnswers.size() && !request.target.startsWith(mAnswers.at(index).prefix))
            ++index;
        if (index == mAnswers.size())
            return; // left hanging: the client's timeout must end it
        const Answer answer = mAnswers.takeAt(index);
        socket->setProperty(answer.endless ? "endless" : "answered", true);
        socket->write(answer.bytes);
        if (!answer.endless) {
            socket->disconnectFromHost();
        } else if (answer.trickleMs > 0) {
            auto *timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(answer.trickleMs);
        } else {
            const auto feed = [socket] {
                while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 256 * 1024)
                    socket->write(QByteArray(64 * 1024, 'x'));
            };
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, feed);
            feed();
        }
    }

    struct Answer
    {
        QByteArray prefix; // of the target
        QByteArray bytes;
        bool endless;
        int trickleMs = 0;
    };

    QTcpServer mServer;
    QList<Answer> mAnswers;
    QList<Request> mRequests;
    int mAbandoned = 0;
};
