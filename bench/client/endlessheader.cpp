// What a service that sends an HTTP header line without end costs the client after the transfer
// timeout has abandoned the request: CPU and memory of the client process, and whether the service
// sees the connection close. The floor is Qt's own behaviour (a plain QNetworkAccessManager request
// with the same timeout); the value is the Qn client's. Every party runs in a process of its own,
// so that each figure is of the client alone.
//
//   bench_endless_header [--timeout <ms>] [--observe <ms>]
//
// Prints one JSON object per measurement.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

#include "platform/quillnet/quillnet.h"

namespace {

double cpuSeconds()
{
    QFile file(QStringLiteral("/proc/self/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which ends with the last ')': utime and stime are the
    // 12th and 13th of them.
    const QByteArray text = file.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

qint64 rssKiB()
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The service: a status line, then one header line of 'x' as fast as the client reads. Prints its
// port, then "closed" whenever a client closes its connection.
int runServer(QCoreApplication &app)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return 1;
    printLine(QByteArray::number(server.serverPort()));
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            const auto feed = [socket] {
                while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 256 * 1024)
                    socket->write(QByteArray(64 * 1024, 'x'));
            };
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, feed] {
                socket->readAll();
                if (socket->property("started").toBool())
                    return;
                socket->setProperty("started", true);
                socket->write("HTTP/1.1 200 OK\r\nX-Endless: ");
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket, feed);
                feed();
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket] {
                printLine("closed");
                socket->deleteLater();
            });
        }
    });
    return app.exec();
}

// One client: asks once, and from the moment its request is given up measures for observeMs.
int runClient(QCoreApplication &app, const QString &kind, int port, int timeoutMs, int observeMs)
{
    const QUrl service(QStringLiteral("http://127.0.0.1:%1").arg(port));
    double cpuAtAbort = 0;
    qint64 rssAtAbort = 0;
    QElapsedTimer sinceStart;
    sinceStart.start();
    qint64 abortedAtMs = 0;
    const auto aborted = [&] {
        cpuAtAbort = cpuSeconds();
        rssAtAbort = rssKiB();
        abortedAtMs = sinceStart.elapsed();
        printLine("aborted");
        QTimer::singleShot(observeMs, &app, [&] {
            const double cores = (cpuSeconds() - cpuAtAbort) / (observeMs / 1000.0);
            const QJsonObject result {{"cpu_before_abort", cpuAtAbort / (abortedAtMs / 1000.0)},
                                      {"cpu_after_abort", cores},
                                      {"rss_at_abort", double(rssAtAbort)},
                                      {"rss_growth_after_abort", double(rssKiB() - rssAtAbort)}};
            printLine(QJsonDocument(result).toJson(QJsonDocument::Compact));
            app.quit();
        });
    };

    QNetworkAccessManager manager;
    std::unique_ptr<Qn::Quillnet> client;
    if (kind == QLatin1String("qt")) {
        QNetworkRequest request(service.resolved(QUrl(QStringLiteral("/me"))));
        request.setTransferTimeout(timeoutMs);
        QNetworkReply *reply = manager.get(request);
        QObject::connect(reply, &QNetworkReply::finished, &app, [reply, aborted] {
            reply->deleteLater();
            aborted();
        });
    } else {
        Qn::QuillnetConfiguration configuration(QStringLiteral("token"));
        configuration.setServiceUrl(service);
        configuration.setTransferTimeout(timeoutMs);
        configuration.setNetworkAccessManager(&manager);
        client.reset(new Qn::Quillnet(configuration));
        QObject::connect(client.get(), &Qn::Quillnet::error, &app, aborted);
        client->init();
    }
    return app.exec();
}

// Runs one client against the server and returns its figures, with "peer_closed" telling whether
// the server saw the connection close while the client was still running.
QJsonObject measure(const QString &program, QProcess &server, const QString &kind, int port, int timeoutMs,
                    int observeMs)
{
    server.readAllStandardOutput();
    QProcess client;
    client.start(program,
                 {QStringLiteral("--client"), kind, QString::number(port), QString::number(timeoutMs),
                  QString::number(observeMs)});
    bool closed = false;
    QJsonObject result;
    while (result.isEmpty() && client.waitForReadyRead(timeoutMs + observeMs + 30000)) {
        while (client.canReadLine()) {
            const QByteArray line = client.readLine().trimmed();
            if (line.startsWith('{')) {
                server.waitForReadyRead(100);
                closed = server.readAllStandardOutput().contains("closed");
                result = QJsonDocument::fromJson(line).object();
            } else if (line == "aborted") {
                server.readAllStandardOutput();
            }
        }
    }
    client.waitForFinished();
    result.insert(QStringLiteral("peer_closed"), closed ? 1 : 0);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--server"))
        return runServer(app);
    if (args.value(1) == QLatin1String("--client"))
        return runClient(app, args.value(2), args.value(3).toInt(), args.value(4).toInt(), args.value(5).toInt());

    int timeoutMs = 2000;
    int observeMs = 10000;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--timeout"))
            timeoutMs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--observe"))
            observeMs = args.at(i + 1).toInt();
    }
    QProcess server;
    server.start(args.at(0), {QStringLiteral("--server")});
    if (!server.waitForReadyRead(10000))
        return 1;
    const int port = server.readLine().trimmed().toInt();

    const QJsonObject qt = measure(args.at(0), server, QStringLiteral("qt"), port, timeoutMs, observeMs);
    const QJsonObject qn = measure(args.at(0), server, QStringLiteral("quillnet"), port, timeoutMs, observeMs);
    server.kill();
    server.waitForFinished();

    const auto report = [&](const char *name, const char *key, const char *unit) {
        const QJsonObject line {{"name", QLatin1String(name)}, {"value", qn.value(QLatin1String(key))},
                                {"unit", QLatin1String(unit)}, {"floor", qt.value(QLatin1String(key))},
                                {"timeout_ms", timeoutMs},     {"observed_ms", observeMs}};
        printLine(QJsonDocument(line).toJson(QJsonDocument::Compact));
    };
    report("endless_header_cpu_until_abort", "cpu_before_abort", "cores");
    report("endless_header_cpu_after_abort", "cpu_after_abort", "cores");
    report("endless_header_rss_at_abort", "rss_at_abort", "KiB");
    report("endless_header_rss_growth_after_abort", "rss_growth_after_abort", "KiB");
    report("endless_header_peer_closed_after_abort", "peer_closed", "1 = yes");
    return 0;
}
