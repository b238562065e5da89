// bench_notifications: one notification cycle of the handler against its floor, a bare client that
// asks for and parses the same answers (all notifications, each invitation's details, the inbox, the
// profiles of nameless senders and the latest message of each unread thread) and does nothing else.
//
// Each measurement runs in a child process of its own, in turns: the floor, and the handler's cycle
// on a daemon database holding --rows (and ten times as many) old marks in shown_items and in
// seen_items, none of them of the items the service reports now. The cycle publishes what is new
// (every kind, its items marked shown); a second cycle in the same child finds nothing new. The
// simulator and the notification server (the reference home screen) are programs of their own on a
// private bus, so a child's CPU time is the client's and the handler's work alone.
//
// Prints one JSON object per figure (medians of the repetitions): CPU time with the floor's, the
// extra CPU as a fraction of the floor, the wall time, and with --callgrind instruction counts.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "benchsupport.h"
#include "common/constants.h"
#include "database/daemondatabase.h"
#include "notifications/notificationhandler.h"
#include "platform/notifications/mnotification.h"
#include "platform/quillnet/quillnet.h"
#include "platform/system/helper.h"

namespace {

constexpr int CycleLimitMs = 120000;

// Old marks of every item type, with ids that the service does not use any more.
bool fillDatabase(const QString &file, int rows)
{
    {
        DaemonDatabase database(file);
        if (!database.init())
            return false;
    }
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-fill"));
        db.setDatabaseName(file);
        if (db.open() && db.transaction()) {
            const QStringList types {Constants::FriendRequestType, Constants::EventType, Constants::MessageType,
                                     Constants::NotificationType};
            ok = true;
            for (const QString &table : {QStringLiteral("shown_items"), QStringLiteral("seen_items")}) {
                QSqlQuery insert(db);
                ok = ok && insert.prepare(QStringLiteral("INSERT INTO %1 (id,type) VALUES (?,?)").arg(table));
                for (int i = 0; ok && i < rows; ++i) {
                    const QString &type = types.at(i % types.size());
                    insert.bindValue(0,
                                     type == Constants::NotificationType ? QStringLiteral("notif_old_%1").arg(i)
                                                                         : QString::number(900000000000000LL + i));
                    insert.bindValue(1, type);
                    ok = insert.exec();
                }
            }
            ok = ok && db.commit();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
    return ok;
}

int countRows(const QString &file, const QString &table)
{
    int rows = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-count"));
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)) && query.next())
                rows = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-count"));
    return rows;
}

// What the handler asks for in one cycle, parsed by the client, and nothing more.
class FloorClient : public QObject
{
public:
    explicit FloorClient(Qn::Quillnet *client)
        : mClient(client)
    {
        connect(client, &Qn::Quillnet::allNotificationsRetrieved, this,
                [this](Qn::QnUsers, Qn::QnEvents events, Qn::QnNotificationList, quint32 unreadThreads) {
                    --mPending;
                    for (const Qn::QnEvent &event :
                         std::as_const(events).mid(0, NotificationHandler::MaxEventDetails)) {
                        if (mClient->retrieveEventDetails(event.id()) == Qn::StatusOk)
                            ++mPending;
                    }
                    if (unreadThreads > 0 && mClient->retrieveThreads(nullptr, Qn::Inbox) == Qn::StatusOk)
                        ++mPending;
                });
        connect(client, &Qn::Quillnet::eventDetailsRetrieved, this, [this] { --mPending; });
        connect(client, &Qn::Quillnet::threadsRetrieved, this, [this](Qn::MessageBoxType, Qn::QnThreads threads) {
            --mPending;
            for (const Qn::QnThread &thread : std::as_const(threads)) {
                if (thread.unread() <= 0 || thread.senders().isEmpty())
                    continue;
                if (thread.senders().first().name().isEmpty()
                    && mClient->retrieveProfile(nullptr, thread.senders().first().id()) == Qn::StatusOk)
                    ++mPending;
                Qn::QnDataFilter filter;
                filter.setSubjectId(thread.id());
                filter.setLimit(1);
                if (mClient->retrieveMessages(nullptr, filter) == Qn::StatusOk)
                    ++mPending;
            }
        });
        connect(client, &Qn::Quillnet::profileUpdated, this, [this] { --mPending; });
        connect(client, &Qn::Quillnet::messagesUpdated, this, [this] { --mPending; });
        connect(client, &Qn::Quillnet::error, this, [this] { mFailed = true; });
    }

    bool run()
    {
        mPending = mClient->retrieveAllNotifications() == Qn::StatusOk ? 1 : 0;
        return Bench::waitFor([this] { return mPending == 0 || mFailed; }, CycleLimitMs) && !mFailed;
    }

private:
    Qn::Quillnet *mClient;
    int mPending = 0;
    bool mFailed = false;
};

struct Timing
{
    double cpuMs = 0;
    double wallMs = 0;
};

Timing timed(bool count, const std::function<void()> &work)
{
    QElapsedTimer clock;
    clock.start();
    const double cpu = Bench::selfCpuMs();
    if (count)
        Bench::measured(work);
    else
        work();
    return {Bench::selfCpuMs() - cpu, clock.nsecsElapsed() / 1e6};
}

// The child. kind "floor" or "cycle" (with a copy of the template database); `only` names the
// measurement callgrind counts ("floor", "cycle" or "again").
int runPart(const QUrl &url, const QString &token, const QString &kind, const QString &templateFile,
            const QString &only)
{
    Qn::registerMetaTypes();
    Helper::setDebugCallback("bench_notifications", false);
    QTemporaryDir dir;
    qputenv("HOME", QFile::encodeName(dir.path()));
    QDir(dir.path()).mkdir(QStringLiteral(".quillnet"));
    MNotification::setRegistryPath(dir.filePath(QStringLiteral("notifications.registry")));
    Bench::SignedInClient signedIn(dir.path(), token, url);
    Qn::Quillnet &client = signedIn.client();
    if (!signedIn.signIn())
        return 1;

    const int requestsBefore = Bench::recordedRequests(url);
    QJsonObject result;
    if (kind == QLatin1String("floor")) {
        FloorClient floor(&client);
        bool ok = false;
        const Timing timing = timed(only == QLatin1String("floor"), [&] { ok = floor.run(); });
        if (!ok)
            return 1;
        result = {{"cpu", timing.cpuMs}, {"wall", timing.wallMs}};
    } else {
        const QString file = dir.filePath(QStringLiteral("daemon.db"));
        if (!QFile::copy(templateFile, file))
            return 1;
        DaemonDatabase database(file);
        if (!database.init())
            return 1;
        const int marksBefore = countRows(file, QStringLiteral("shown_items"));
        NotificationHandler handler;
        if (!handler.init(&client, &database))
            return 1;
        bool imported = false;
        QObject::connect(&handler, &NotificationHandler::notificationsImported, [&imported] { imported = true; });
        auto cycle = [&] {
            imported = false;
            handler.startNotificationImport();
            Bench::waitFor([&] { return imported; }, CycleLimitMs);
        };
        const Timing first = timed(only == QLatin1String("cycle"), cycle);
        const bool firstDone = imported;
        const int marked = countRows(file, QStringLiteral("shown_items")) - marksBefore;
        const int requestsFirst = Bench::recordedRequests(url) - requestsBefore;
        const Timing again = timed(only == QLatin1String("again"), cycle);
        if (!firstDone || !imported || marked <= 0)
            return 1;
        result = {{"cpu", first.cpuMs},         {"wall", first.wallMs}, {"again_cpu", again.cpuMs},
                  {"again_wall", again.wallMs}, {"marked", marked},     {"requests", requestsFirst}};
        Bench::printPart(result);
        return 0;
    }
    result.insert("requests", Bench::recordedRequests(url) - requestsBefore);
    Bench::printPart(result);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
            {"repetitions", "Runs of each measurement (the median is printed).", "n", "9"},
            {"rows", "Old marks in each table for the first cycle; the second figure has ten times as many.", "n",
             "100000"},
            {"callgrind", "Also count the instructions of one run of each under callgrind."},
            {"part", "Internal: run one measuring child of this kind.", "kind"},
            {"url", "Internal: the simulator's address.", "url"},
            {"token", "Internal: the access token.", "token"},
            {"database", "Internal: the database the cycle starts from.", "file"},
            {"only", "Internal: the measurement callgrind counts.", "name"},
    });
    parser.process(app);
    if (parser.isSet("part")) {
        return runPart(QUrl(parser.value("url")), parser.value("token"), parser.value("part"), parser.value("database"),
                       parser.value("only"));
    }
    const int repetitions = qMax(1, parser.value("repetitions").toInt());
    Helper::setDebugCallback("bench_notifications", false);
    const int rows = qMax(1, parser.value("rows").toInt());

    Bench::PrivateBus bus;
    Bench::HomeScreen home;
    // 100 threads, of which half are unread.
    Bench::SimProcess sim({QStringLiteral("--notifications"), QStringLiteral("500"), QStringLiteral("--threads"),
                           QStringLiteral("100"), QStringLiteral("--friend-requests"), QStringLiteral("200")});
    const QString token = sim.isRunning() ? sim.grantAccessToken() : QString();
    if (!bus.isRunning() || !home.isRunning() || token.isEmpty()) {
        qCritical("bench_notifications: the bus, the home screen or the simulator did not start");
        return 1;
    }
    QTemporaryDir scratch;
    const QList<int> sizes {rows, rows * 10};
    QMap<int, QString> templates;
    for (int size : sizes) {
        templates[size] = scratch.filePath(QStringLiteral("marks-%1.db").arg(size));
        if (!fillDatabase(templates[size], size)) {
            qCritical("bench_notifications: cannot fill a database");
            return 1;
        }
    }

    const QStringList common {QStringLiteral("--url"), sim.url().toString(), QStringLiteral("--token"), token};
    auto floorArgs = [&] { return common + QStringList {QStringLiteral("--part"), QStringLiteral("floor")}; };
    auto cycleArgs = [&](int size) {
        return common
                + QStringList {QStringLiteral("--part"), QStringLiteral("cycle"), QStringLiteral("--database"),
                               templates[size]};
    };
    QMap<QString, QList<double>> values;
    QJsonObject lastCycle, lastFloor;
    const double simBefore = Bench::cpuMs(sim.pid());
    for (int round = 0; round < repetitions; ++round) {
        const QJsonObject floor = Bench::runPart(floorArgs());
        if (floor.isEmpty()) {
            qCritical("bench_notifications: the floor failed");
            return 1;
        }
        values["floor cpu"] << floor.value("cpu").toDouble();
        values["floor wall"] << floor.value("wall").toDouble();
        // The simulator's request log is bounded: the first round's counts are the ones it holds.
        if (round == 0)
            lastFloor = floor;
        for (int size : sizes) {
            const QJsonObject cycle = Bench::runPart(cycleArgs(size));
            if (cycle.isEmpty()) {
                qCritical("bench_notifications: a cycle failed");
                return 1;
            }
            const QString key = QString::number(size);
            values[key + " cpu"] << cycle.value("cpu").toDouble();
            values[key + " wall"] << cycle.value("wall").toDouble();
            values[key + " again cpu"] << cycle.value("again_cpu").toDouble();
            if (round == 0)
                lastCycle = cycle;
        }
    }
    const double simCpu = Bench::cpuMs(sim.pid()) - simBefore;

    QMap<QString, double> instructions;
    if (parser.isSet("callgrind")) {
        instructions["floor"] = Bench::runPart(floorArgs() + QStringList {"--only", "floor"}, true)
                                        .value("instructions")
                                        .toDouble(-1);
        for (int size : sizes) {
            instructions[QString::number(size)]
                    = Bench::runPart(cycleArgs(size) + QStringList {"--only", "cycle"}, true)
                              .value("instructions")
                              .toDouble(-1);
        }
        instructions["again"] = Bench::runPart(cycleArgs(rows) + QStringList {"--only", "again"}, true)
                                        .value("instructions")
                                        .toDouble(-1);
    }

    const double floorCpu = Bench::median(values["floor cpu"]);
    const QJsonObject world {{"notifications", 500},
                             {"unread_threads", 50},
                             {"friend_requests", 200},
                             {"marked_shown", lastCycle.value("marked")},
                             {"requests", lastCycle.value("requests")},
                             {"floor_requests", lastFloor.value("requests")}};
    auto withInstructions = [&](QJsonObject extra, const QString &key, const QString &floorKey) {
        if (instructions.contains(key)) {
            extra.insert("instructions", instructions.value(key));
            extra.insert("floor_instructions", instructions.value(floorKey));
            extra.insert("instructions_ratio", instructions.value(key) / instructions.value(floorKey));
        }
        return extra;
    };
    for (int size : sizes) {
        const QString key = QString::number(size);
        const double cpu = Bench::median(values[key + " cpu"]);
        QJsonObject extra = world;
        extra.insert("rows", size);
        extra.insert("wall_ms", Bench::median(values[key + " wall"]));
        extra.insert("floor_wall_ms", Bench::median(values["floor wall"]));
        extra.insert("extra_cpu_ratio", (cpu - floorCpu) / floorCpu);
        extra.insert("target", "extra_cpu_ratio <= 0.2");
        Bench::print(QStringLiteral("notification cycle, %1 marks (CPU ms; floor: a bare client on the same answers)")
                             .arg(size),
                     cpu, QStringLiteral("ms"), floorCpu, withInstructions(extra, key, QStringLiteral("floor")));
    }
    const QString small = QString::number(rows), large = QString::number(rows * 10);
    Bench::print(QStringLiteral("notification cycle, %1 marks against %2 (CPU ms)").arg(rows * 10).arg(rows),
                 Bench::median(values[large + " cpu"]), QStringLiteral("ms"), Bench::median(values[small + " cpu"]),
                 withInstructions({{"target", "<= 1.2"}}, large, small));
    Bench::print(
            QStringLiteral("notification cycle with nothing new, %1 marks (CPU ms; floor: the bare client)").arg(rows),
            Bench::median(values[small + " again cpu"]), QStringLiteral("ms"), floorCpu,
            withInstructions({}, QStringLiteral("again"), QStringLiteral("floor")));
    Bench::print(QStringLiteral("simulator CPU during the run"), simCpu, QStringLiteral("ms"));
    return 0;
}
