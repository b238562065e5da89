// bench_simulator: requests per second that the simulated Quillnet service answers, one after the
// other on one keep-alive connection of a QNetworkAccessManager, for a small answer (GET /me) and a
// large one (the news feed with limit 30). The floor is a bare QTcpServer in the same process that
// replays the bytes the simulator sent for the same request, asked by the same client.
//
// Prints one JSON object per line and measurement: name, value and floor (the medians of the
// repetitions, taken in turns), unit, ratio (floor / value: 1 means as fast as the floor) and the
// size of the answer, and how many connections the client opened to the floor's server (1 when it
// kept its connection alive throughout). Exits with 1 when an answer is not the recorded one.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>

#include "quillnet-sim/simulator.h"

namespace {

constexpr int StallLimitMs = 10000; // a single answer that takes longer ends the program
constexpr int WarmUpRequests = 10;

// Answers every request of a connection with the same bytes, in one write. Requests are taken as
// header blocks without a body, which is what the client sends here.
class ReplayServer : public QTcpServer
{
public:
    explicit ReplayServer(const QByteArray &answer)
        : mAnswer(answer)
    {}

    // Connections taken so far: the client is meant to reuse one.
    int connections() const { return mConnections; }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        ++mConnections;
        // The connection's own buffer lives as long as its handler, so no map outlives the server.
        auto pending = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [socket, pending, answer = mAnswer] {
            *pending += socket->readAll();
            qsizetype end;
            while ((end = pending->indexOf("\r\n\r\n")) >= 0) {
                pending->remove(0, end + 4);
                socket->write(answer);
            }
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    const QByteArray mAnswer;
    int mConnections = 0;
};

// The whole answer (header and body) the simulator writes for one GET, read from a raw connection.
QByteArray recordAnswer(quint16 port, const QByteArray &target, const QByteArray &token)
{
    QTcpSocket socket;
    QEventLoop loop;
    QByteArray bytes;
    bool complete = false;
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        bytes += socket.readAll();
        const int end = bytes.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        qint64 length = 0;
        const QList<QByteArray> lines = bytes.left(end).split('\n');
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        }
        if (bytes.size() >= end + 4 + length) {
            complete = bytes.size() == end + 4 + length;
            loop.quit();
        }
    });
    QTimer::singleShot(StallLimitMs, &loop, &QEventLoop::quit);
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                 + "\r\nAuthorization: Bearer " + token + "\r\nAccept: application/json\r\n\r\n");
    loop.exec();
    return complete ? bytes : QByteArray();
}

// Sends the request again and again, each after the previous answer, until at least `minimumMs`
// have passed (or `count` answers came when count > 0). Returns answers per second, or -1 when an
// answer failed, had another body size or did not come.
double requestsPerSecond(QNetworkAccessManager &network, const QNetworkRequest &request, qint64 bodySize,
                         qint64 minimumMs, int count = 0)
{
    QEventLoop loop;
    QTimer stall;
    stall.setSingleShot(true);
    stall.setInterval(StallLimitMs);
    QObject::connect(&stall, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    QElapsedTimer timer;
    int done = 0;
    std::function<void()> next = [&] {
        stall.start();
        QNetworkReply *reply = network.get(request);
        QObject::connect(reply, &QNetworkReply::finished, &loop, [&, reply] {
            reply->deleteLater();
            if (reply->error() != QNetworkReply::NoError || reply->readAll().size() != bodySize) {
                loop.exit(1);
                return;
            }
            ++done;
            if (count > 0 ? done >= count : timer.elapsed() >= minimumMs)
                loop.exit(0);
            else
                next();
        });
    };
    timer.start();
    next();
    const int failed = loop.exec();
    const qint64 nanoseconds = timer.nsecsElapsed();
    if (failed)
        return -1;
    return done / (double(nanoseconds) / 1e9);
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values.at(middle) : (values.at(middle - 1) + values.at(middle)) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);
    QTextStream out(stdout);

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Requests per second of the simulated Quillnet service on one keep-alive connection, "
                           "against a server replaying the simulator's bytes."));
    parser.addHelpOption();
    parser.addOptions({
            {"repetitions", "Runs per measurement and server (the median is printed).", "n", "5"},
            {"milliseconds", "Length of one run.", "ms", "1000"},
    });
    parser.process(app);
    bool ok = false;
    const int repetitions = parser.value("repetitions").toInt(&ok);
    if (!ok || repetitions < 1 || repetitions > 1000) {
        err << "bench_simulator: --repetitions must be 1 to 1000\n";
        return 2;
    }
    const int milliseconds = parser.value("milliseconds").toInt(&ok);
    if (!ok || milliseconds < 1 || milliseconds > 600000) {
        err << "bench_simulator: --milliseconds must be 1 to 600000\n";
        return 2;
    }

    QuillnetSim::Simulator simulator;
    if (!simulator.listen())
        return 1;
    const QByteArray token = simulator.accessToken().toUtf8();
    const QString me = simulator.me().id();
    const QList<QPair<QString, QString>> cases = {
            {QStringLiteral("simulator_me"), QStringLiteral("/me")},
            {QStringLiteral("simulator_feed30"), QStringLiteral("/users/%1/feed?limit=30").arg(me)},
    };

    QNetworkAccessManager network;
    for (const auto &[name, target] : cases) {
        const QByteArray recorded = recordAnswer(simulator.port(), target.toUtf8(), token);
        const qsizetype headerEnd = recorded.indexOf("\r\n\r\n");
        if (recorded.isEmpty() || !recorded.startsWith("HTTP/1.1 200 ")) {
            err << "bench_simulator: no complete 200 answer for " << target << "\n";
            return 1;
        }
        const qint64 bodySize = recorded.size() - headerEnd - 4;
        ReplayServer replay(recorded);
        if (!replay.listen(QHostAddress::LocalHost)) {
            err << "bench_simulator: the replaying server cannot listen\n";
            return 1;
        }

        auto request = [&token, &target](quint16 port) {
            QNetworkRequest asked(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(target)));
            asked.setRawHeader("Authorization", "Bearer " + token);
            asked.setRawHeader("Accept", "application/json");
            return asked;
        };
        const QNetworkRequest toSimulator = request(simulator.port());
        const QNetworkRequest toReplay = request(replay.serverPort());

        // Connections opened and code paths warmed before anything is timed.
        if (requestsPerSecond(network, toSimulator, bodySize, 0, WarmUpRequests) < 0
            || requestsPerSecond(network, toReplay, bodySize, 0, WarmUpRequests) < 0) {
            err << "bench_simulator: warm-up of " << target << " failed\n";
            return 1;
        }
        QList<double> values, floors;
        for (int i = 0; i < repetitions; ++i) {
            values.append(requestsPerSecond(network, toSimulator, bodySize, milliseconds));
            floors.append(requestsPerSecond(network, toReplay, bodySize, milliseconds));
            if (values.last() < 0 || floors.last() < 0) {
                err << "bench_simulator: a run of " << target << " failed\n";
                return 1;
            }
        }
        const double value = median(values);
        const double floor = median(floors);
        const QJsonObject measurement {
                {"name", name},
                {"value", qRound(value * 10) / 10.0},
                {"unit", "requests/s"},
                {"floor", qRound(floor * 10) / 10.0},
                {"floor_name", "QTcpServer replaying the simulator's bytes"},
                {"ratio", qRound(floor / value * 1000) / 1000.0},
                {"answer_bytes", recorded.size()},
                {"repetitions", repetitions},
                {"floor_connections", replay.connections()},
        };
        out << QJsonDocument(measurement).toJson(QJsonDocument::Compact) << "\n";
        out.flush();
    }
    return 0;
}
