// quillnet-sim: runs the simulated Quillnet service until it is terminated.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <memory>

#include "liveworld.h"
#include "simulator.h"

namespace {

bool readNumber(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high, qint64 *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 number = parser.value(name).toLongLong(&ok);
    if (!ok || number < low || number > high) {
        QTextStream(stderr) << "quillnet-sim: --" << name << " must be a number from " << low << " to " << high << "\n";
        return false;
    }
    *value = number;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillnet-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Simulated Quillnet service on 127.0.0.1. Prints \"port <n>\", \"refresh_token <t>\" and "
            "\"user <name> <password>\" (who signs in on the service's sign-in page) on the first three lines of "
            "standard output, then serves until terminated."));
    parser.addHelpOption();
    parser.addOptions({
            {"port", "Port to listen on; 0 picks a free one.", "n", "8099"},
            {"seed", "Seed of the generated data.", "n", "1"},
            {"friends", "Number of friends.", "n", "40"},
            {"posts", "Number of news feed posts.", "n", "40"},
            {"threads", "Number of message threads.", "n", "8"},
            {"notifications", "Number of notifications.", "n", "12"},
            {"friend-requests", "Number of friend requests.", "n", "3"},
            {"event-invitations", "Number of event invitations.", "n", "2"},
            {"refresh-token", "The credential the token endpoint accepts (default: made from the seed).", "token"},
            {"verbose", "Log every request on standard error."},
            {"live",
             "Keeps the world moving: every n seconds a new post, like, comment, message, friend request or "
             "notification, logged on standard error.",
             "n"},
    });
    parser.process(app);

    qint64 port = 8099;
    qint64 seed = 1;
    QuillnetSim::SimConfig config;
    qint64 friends = config.friends, posts = config.posts, threads = config.threads,
           notifications = config.notifications, friendRequests = config.friendRequests,
           eventInvitations = config.eventInvitations;
    const qint64 max = QuillnetSim::SimConfig::MaxCount;
    if (!readNumber(parser, "port", 0, 65535, &port) || !readNumber(parser, "seed", 0, 4294967295LL, &seed)
        || !readNumber(parser, "friends", 0, max, &friends) || !readNumber(parser, "posts", 0, max, &posts)
        || !readNumber(parser, "threads", 0, max, &threads)
        || !readNumber(parser, "notifications", 0, max, &notifications)
        || !readNumber(parser, "friend-requests", 0, max, &friendRequests)
        || !readNumber(parser, "event-invitations", 0, max, &eventInvitations))
        return 2;
    config.seed = quint32(seed);
    config.friends = int(friends);
    config.posts = int(posts);
    config.threads = int(threads);
    config.notifications = int(notifications);
    config.friendRequests = int(friendRequests);
    config.eventInvitations = int(eventInvitations);

    QuillnetSim::Simulator simulator(config);
    if (parser.isSet("refresh-token")) {
        const QString token = parser.value("refresh-token");
        if (token.isEmpty() || token.size() > 1024) {
            QTextStream(stderr) << "quillnet-sim: --refresh-token must be 1 to 1024 characters\n";
            return 2;
        }
        simulator.setRefreshToken(token);
    }
    if (parser.isSet("verbose")) {
        QObject::connect(&simulator, &QuillnetSim::Simulator::requestReceived,
                         [](const QByteArray &method, const QString &path) {
                             QTextStream(stderr) << "quillnet-sim: " << method << ' ' << path << '\n';
                         });
    }
    qint64 live = 0;
    if (!readNumber(parser, "live", 1, QuillnetSim::LiveWorld::MaxIntervalSeconds, &live))
        return 2;
    if (!simulator.listen(quint16(port)))
        return 1;
    std::unique_ptr<QuillnetSim::LiveWorld> liveWorld;
    if (live > 0) {
        liveWorld = std::make_unique<QuillnetSim::LiveWorld>(&simulator, int(live * 1000), quint32(seed));
        QObject::connect(liveWorld.get(), &QuillnetSim::LiveWorld::changed,
                         [](const QString &what) { QTextStream(stderr) << "quillnet-sim: live: " << what << '\n'; });
    }

    // Scripts read these lines to learn where the service is, what credential it takes and who signs in.
    std::printf("port %u\nrefresh_token %s\nuser %s %s\n", unsigned(simulator.port()),
                qPrintable(simulator.refreshToken()), qPrintable(simulator.username()),
                qPrintable(simulator.password()));
    std::fflush(stdout);
    return app.exec();
}
