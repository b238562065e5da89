// bench_peers: how fast the daemon answers while its peers hang. The daemon runs on a private bus
// against the simulator; its notification server and its Event Feed take every call and never answer
// one. Once each holds a call of the daemon's, the control interface's sync and itemSeen and the
// contacts provider's metaData are called in turn, --repetitions times each (every sync starts more
// calls to the hung peers), and each round trip is timed. The floor is a round trip to the bus daemon
// itself, measured in the same run.
//
// Prints one JSON object per call: the median round trip, with its maximum and the target.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

#include "benchsupport.h"

namespace {

constexpr int StartLimitMs = 60000;

// A peer that takes every call and answers none, as a hung program does.
class HungPeer : public QDBusVirtualObject
{
public:
    HungPeer(const QString &service, const QString &path)
        : mConnection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("hung ") + service))
    {
        mRegistered = mConnection.registerVirtualObject(path, this, QDBusConnection::SingleNode)
                && mConnection.registerService(service);
    }
    ~HungPeer() override { QDBusConnection::disconnectFromBus(mConnection.name()); }
    bool isRegistered() const { return mRegistered; }
    int calls() const { return int(mHeld.size()); }

    QString introspect(const QString &) const override { return QString(); }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        message.setDelayedReply(true);
        mHeld << message;
        return true;
    }

private:
    QDBusConnection mConnection;
    QList<QDBusMessage> mHeld;
    bool mRegistered = false;
};

// Round trip of one call in milliseconds; -1 when it was not answered within 5 s.
double roundTrip(const QDBusMessage &call)
{
    QElapsedTimer clock;
    clock.start();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage ? clock.nsecsElapsed() / 1e6 : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"repetitions", "Calls of each kind.", "n", "50"});
    parser.process(app);
    const int repetitions = qMax(1, parser.value("repetitions").toInt());

    Bench::PrivateBus bus;
    Bench::SimProcess sim({"--friends", "200", "--posts", "30", "--notifications", "20", "--threads", "5"});
    if (!bus.isRunning() || !sim.isRunning()) {
        qCritical("bench_peers: the bus or the simulator did not start");
        return 1;
    }
    HungPeer feed(QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"));
    HungPeer server(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"));
    if (!feed.isRegistered() || !server.isRegistered()) {
        qCritical("bench_peers: the hung peers could not take their names");
        return 1;
    }

    QTemporaryDir scratch;
    const QString config = scratch.filePath(QStringLiteral("config"));
    QDir().mkpath(config + QStringLiteral("/quillnet"));
    QFile account(config + QStringLiteral("/quillnet/account.conf"));
    if (!account.open(QIODevice::WriteOnly)
        || account.write(QStringLiteral("[account]\nname=bench@example.org\nenabled=true\nservice_url=%1\n"
                                        "refresh_token=%2\n[services]\nIM=true\n[settings]\nqn-notif_main=true\n"
                                        "qn-notif-msg=true\nqn-notif-friendreq=true\nqn-notif-general=true\n"
                                        "qn-notif-events=true\nqn-news_main=true\n")
                                 .arg(sim.url().toString(), sim.refreshToken())
                                 .toUtf8())
                < 0) {
        return 1;
    }
    account.close();

    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), scratch.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.insert(QStringLiteral("XDG_CACHE_HOME"), scratch.filePath(QStringLiteral("cache")));
    daemon.setProcessEnvironment(env);
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(scratch.filePath(QStringLiteral("daemon.log")));
    daemon.start(QStringLiteral(DAEMON_BINARY), {});
    if (!daemon.waitForStarted())
        return 1;
    // The first wake-up publishes: both peers then hold a call of the daemon's.
    if (!Bench::waitFor([&] { return feed.calls() > 0 && server.calls() > 0; }, StartLimitMs)) {
        qCritical("bench_peers: the daemon did not call its peers");
        return 1;
    }

    const QString control = QStringLiteral("com.tarvo.quillnetveldo");
    const QString runner = QStringLiteral("com.tarvo.socialprovider.runner");
    QDBusMessage itemSeen = QDBusMessage::createMethodCall(control, QStringLiteral("/quillnetveldo"), control,
                                                           QStringLiteral("itemSeen"));
    itemSeen << QStringLiteral("bench-1") << QStringLiteral("notif");
    const QList<QPair<QString, QDBusMessage>> calls = {
            {QStringLiteral("sync"),
             QDBusMessage::createMethodCall(control, QStringLiteral("/quillnetveldo"), control,
                                            QStringLiteral("sync"))},
            {QStringLiteral("itemSeen"), itemSeen},
            {QStringLiteral("metaData"),
             QDBusMessage::createMethodCall(QStringLiteral("com.tarvo.socialprovider.quillnet"),
                                            QStringLiteral("/quillnet"), runner, QStringLiteral("metaData"))},
    };
    const QDBusMessage busRoundTrip = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));

    QMap<QString, QList<double>> times;
    QList<double> floor;
    for (int i = 0; i < repetitions; ++i) {
        floor << roundTrip(busRoundTrip);
        for (const auto &call : calls)
            times[call.first] << roundTrip(call.second);
        // Let the daemon's work of this round (imports, calls to the peers) start between rounds.
        Bench::waitFor([] { return false; }, 20);
    }
    const int feedCalls = feed.calls();
    const int serverCalls = server.calls();
    daemon.terminate();
    daemon.waitForFinished();

    const double floorMs = Bench::median(floor);
    for (const auto &call : calls) {
        const QList<double> &values = times.value(call.first);
        const bool unanswered = values.contains(-1);
        Bench::print(
                QStringLiteral("%1 round trip while the Event Feed and the notification server hang").arg(call.first),
                Bench::median(values), QStringLiteral("ms"), floorMs,
                {{"max_ms", unanswered ? -1 : *std::max_element(values.cbegin(), values.cend())},
                 {"calls", int(values.size())},
                 {"unanswered", int(values.count(-1))},
                 {"held_by_feed", feedCalls},
                 {"held_by_server", serverCalls},
                 {"target", "< 100 ms"}});
    }
    return 0;
}
