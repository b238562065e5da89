// bench_eventfeed: the publishing pass of the news feed handler against its floor, bare addItem round
// trips to the same Event Feed service (the reference home screen, on a private bus of this run).
//
// The handler runs in a child process with a client of the simulator (a feed of --posts posts),
// imports the feed once from the service so that every picture and avatar is cached, then, in turns
// with the floor: forgets what it published and imports from the client's cache (every post is new),
// and imports again (nothing new); a pass ends with the answer to its last add. The floor sends as
// many addItem calls, one after the other, each awaited in the event loop as the handler must (the
// daemon never blocks on a peer; blocking round trips are printed beside), with items of the same
// members made from the same posts, and one addItem for the pass with nothing new.
//
// Prints one JSON object per figure: the medians of the repetitions, the floor, the ratio, and with
// --callgrind the instruction counts of one run of each under callgrind.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDataStream>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

#include "benchsupport.h"
#include "database/daemondatabase.h"
#include "eventfeed/eventfeedhandler.h"
#include "eventfeedinterface.h"
#include "platform/quillnet/quillnet.h"
#include "platform/system/helper.h"

namespace {

const QString FloorSource = QStringLiteral("bench-floor");
const QStringList Measurements = {QStringLiteral("floor-new"), QStringLiteral("pass-new"), QStringLiteral("floor-one"),
                                  QStringLiteral("pass-unchanged")};

int publishedRows(const QString &file)
{
    int rows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-count"));
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("SELECT COUNT(*) FROM items")) && query.next())
                rows = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-count"));
    return rows;
}

// An item with the members the handler sends, made from the post without the handler's work.
QVariantMap floorItem(Qn::Quillnet &client, const Qn::QnPost &post)
{
    QString icon;
    client.retrieveProfilePicture(&icon, post.from().id(), Qn::SmallPicture, Qn::RetrieveFromCache);
    QByteArray argument;
    QDataStream stream(&argument, QIODevice::WriteOnly);
    stream << QVariant(post.id());
    QVariantMap item {
            {QStringLiteral("icon"), icon},
            {QStringLiteral("title"), post.from().name()},
            {QStringLiteral("body"), post.message().isEmpty() ? post.story() : post.message()},
            {QStringLiteral("sourceName"), FloorSource},
            {QStringLiteral("sourceDisplayName"), FloorSource},
            {QStringLiteral("timestamp"), post.created().toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))},
            {QStringLiteral("footer"),
             QStringLiteral("%1 likes, %2 comments").arg(post.likes()).arg(post.commentCount())},
            {QStringLiteral("action"),
             QStringLiteral("com.tarvo.quillnet.eventfeed /EventFeedMessage com.tarvo.quillnet.eventfeed showItem ")
                     + QString::fromLatin1(argument.toBase64())},
    };
    if (!post.picture().isEmpty()) {
        QString location;
        client.retrieveData(&location, QUrl(post.picture()), Qn::RetrieveFromCache);
        if (!location.isEmpty())
            item.insert(QStringLiteral("imageList"), QStringList {location, QString(), QString()});
    }
    return item;
}

// The child: everything measured happens here. `only` limits the callgrind count to one measurement.
int runPart(const QUrl &url, const QString &token, int repetitions, const QString &only)
{
    Qn::registerMetaTypes();
    // As the daemon logs without --debug.
    Helper::setDebugCallback("bench_eventfeed", false);
    QTemporaryDir dir;
    Bench::SignedInClient signedIn(dir.path(), token, url);
    Qn::Quillnet &client = signedIn.client();
    if (!signedIn.signIn()) {
        qCritical("bench_eventfeed: the client did not sign in");
        return 1;
    }
    const QString dbFile = dir.filePath(QStringLiteral("daemon.db"));
    DaemonDatabase database(dbFile);
    if (!database.init())
        return 1;
    ComTarvoHomeEventFeedInterface feed(QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"),
                                        QDBusConnection::sessionBus());
    EventfeedHandler handler;
    if (!handler.init(&client, &feed, &database))
        return 1;

    // From the service once: every picture and avatar lands in the client's cache.
    bool imported = false;
    QObject::connect(&handler, &EventfeedHandler::eventsfeedImported, [&imported] { imported = true; });
    handler.startNewsfeedImport(false);
    if (!Bench::waitFor([&] { return imported; }, 120000)) {
        qCritical("bench_eventfeed: the import from the service did not end");
        return 1;
    }
    const int published = publishedRows(dbFile);
    Qn::QnPosts posts;
    client.retrieveNewsFeed(&posts, Qn::QnDataFilter(client.currentProfileId(), EventfeedHandler::FeedLimit, 0),
                            Qn::RetrieveFromCache);
    QList<QVariantMap> items;
    for (const Qn::QnPost &post : std::as_const(posts)) {
        if (items.size() < published)
            items.append(floorItem(client, post));
    }
    if (published <= 0 || items.size() != published) {
        qCritical("bench_eventfeed: nothing was published");
        return 1;
    }

    auto sync = [&feed] { feed.removeItemsBySourceName(QStringLiteral("bench-nothing")).waitForFinished(); };
    auto timed = [&only](const QString &name, const std::function<void()> &work) {
        QElapsedTimer clock;
        clock.start();
        if (only == name)
            Bench::measured(work);
        else
            work();
        return clock.nsecsElapsed() / 1e6;
    };
    QMap<QString, QJsonArray> values;
    bool failed = false;
    // One round that is not counted.
    for (int round = -1; round < repetitions; ++round) {
        QMap<QString, double> times;
        // The daemon may not block on a peer: its floor awaits each answer in the event loop. The
        // blocking round trips are printed beside it.
        times["floor-new"] = timed("floor-new", [&] {
            for (const QVariantMap &item : std::as_const(items)) {
                QDBusPendingCallWatcher watcher(feed.addItem(item));
                bool done = false;
                QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, [&done] { done = true; });
                failed = failed || !Bench::waitFor([&done] { return done; }, 5000) || watcher.isError();
            }
        });
        feed.removeItemsBySourceName(FloorSource).waitForFinished();
        times["floor-blocking"] = timed("floor-blocking", [&] {
            for (const QVariantMap &item : std::as_const(items)) {
                QDBusPendingReply<qlonglong> reply = feed.addItem(item);
                reply.waitForFinished();
                failed = failed || reply.isError();
            }
        });
        feed.removeItemsBySourceName(FloorSource).waitForFinished();
        times["floor-one"] = timed("floor-one", [&] {
            QDBusPendingReply<qlonglong> reply = feed.addItem(items.first());
            reply.waitForFinished();
            failed = failed || reply.isError();
        });
        feed.removeItemsBySourceName(FloorSource).waitForFinished();

        handler.clear();
        sync();
        // The pass ends with the Event Feed's answer to its last add.
        const auto pass = [&] {
            failed = failed || !handler.importNewsfeedFromCache()
                    || !Bench::waitFor([&handler] { return !handler.isImporting(); }, 60000);
        };
        times["pass-new"] = timed("pass-new", pass);
        failed = failed || publishedRows(dbFile) != published;
        times["pass-unchanged"] = timed("pass-unchanged", pass);
        if (failed) {
            qCritical("bench_eventfeed: a call failed or the pass did not publish every post");
            return 1;
        }
        if (round >= 0) {
            for (auto it = times.cbegin(); it != times.cend(); ++it)
                values[it.key()].append(it.value());
        }
    }
    QJsonObject result {{"published", published}, {"posts", int(posts.size())}};
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        result.insert(it.key(), it.value());
    Bench::printPart(result);
    return 0;
}

QList<double> numbers(const QJsonValue &value)
{
    QList<double> list;
    for (const QJsonValue &number : value.toArray())
        list.append(number.toDouble());
    return list;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
            {"repetitions", "Rounds of each measurement (the median is printed).", "n", "15"},
            {"posts", "Posts in the simulated feed.", "n", "300"},
            {"callgrind", "Also count the instructions of one run of each under callgrind."},
            {"part", "Internal: run the measuring child."},
            {"url", "Internal: the simulator's address.", "url"},
            {"token", "Internal: the access token.", "token"},
            {"only", "Internal: the measurement callgrind counts.", "name"},
    });
    parser.process(app);
    const int repetitions = qMax(1, parser.value("repetitions").toInt());
    if (parser.isSet("part"))
        return runPart(QUrl(parser.value("url")), parser.value("token"), repetitions, parser.value("only"));

    Bench::PrivateBus bus;
    Bench::HomeScreen home;
    Bench::SimProcess sim({QStringLiteral("--posts"), parser.value("posts")});
    const QString token = sim.isRunning() ? sim.grantAccessToken() : QString();
    if (!bus.isRunning() || !home.isRunning() || token.isEmpty()) {
        qCritical("bench_eventfeed: the bus, the home screen or the simulator did not start");
        return 1;
    }
    const QStringList common {QStringLiteral("--part"), QStringLiteral("--url"), sim.url().toString(),
                              QStringLiteral("--token"), token};
    const double simBefore = Bench::cpuMs(sim.pid());
    const double homeBefore = Bench::cpuMs(home.pid());
    const QJsonObject result
            = Bench::runPart(common + QStringList {QStringLiteral("--repetitions"), QString::number(repetitions)});
    if (result.isEmpty()) {
        qCritical("bench_eventfeed: the measuring child failed");
        return 1;
    }
    const double simCpu = Bench::cpuMs(sim.pid()) - simBefore;
    const double homeCpu = Bench::cpuMs(home.pid()) - homeBefore;
    QMap<QString, double> instructions;
    if (parser.isSet("callgrind")) {
        for (const QString &name : Measurements) {
            const QJsonObject counted
                    = Bench::runPart(common
                                             + QStringList {QStringLiteral("--repetitions"), QStringLiteral("1"),
                                                            QStringLiteral("--only"), name},
                                     true);
            instructions[name] = counted.value("instructions").toDouble(-1);
        }
    }
    const int published = result.value("published").toInt();
    auto figure = [&](const QString &name, const QString &value, const QString &floor, const QString &target,
                      QJsonObject extra = {}) {
        extra.insert("target", target);
        extra.insert("published", published);
        extra.insert("feed_posts", parser.value("posts").toInt());
        if (instructions.contains(value)) {
            extra.insert("instructions", instructions.value(value));
            extra.insert("floor_instructions", instructions.value(floor));
            extra.insert("instructions_ratio", instructions.value(value) / instructions.value(floor));
        }
        Bench::print(name, Bench::median(numbers(result.value(value))), QStringLiteral("ms"),
                     Bench::median(numbers(result.value(floor))), extra);
    };
    figure(QStringLiteral("publishing pass, all new (ms; floor: as many bare addItem round trips, each awaited "
                          "without blocking)"),
           QStringLiteral("pass-new"), QStringLiteral("floor-new"), QStringLiteral("<= 1.3"),
           {{"blocking_floor_ms", Bench::median(numbers(result.value("floor-blocking")))}});
    figure(QStringLiteral("publishing pass, nothing new (ms; floor: one bare addItem round trip)"),
           QStringLiteral("pass-unchanged"), QStringLiteral("floor-one"), QStringLiteral("<= 2"));
    // Whatever the simulator and the Event Feed spent during the whole run: neither may be what is measured.
    Bench::print(QStringLiteral("simulator CPU during the run"), simCpu, QStringLiteral("ms"));
    Bench::print(QStringLiteral("home screen CPU during the run"), homeCpu, QStringLiteral("ms"));
    return 0;
}
