// bench_friends: the friend import (pages of friends, their latest status messages, the social
// provider plug-in turning them into contact records and announcing them on the bus) against its
// floor, a bare client that asks for and parses the same pages and status batches.
//
// Each measurement runs in a child process of its own, in turns, against one simulator program of
// --friends friends on a private bus. Prints one JSON object per figure (medians of the repetitions):
// wall time and CPU time with the floor's, the peak resident memory of the importing process, and
// with --callgrind instruction counts.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QTemporaryDir>

#include <unistd.h>

#include "benchsupport.h"
#include "friends/friendimporter.h"
#include "platform/quillnet/quillnet.h"
#include "platform/system/helper.h"

namespace {

constexpr int ImportLimitMs = 300000;

// The importer's requests and nothing else: pages until a short one, then every id's status in
// batches.
class FloorClient : public QObject
{
public:
    explicit FloorClient(Qn::Quillnet *client)
        : mClient(client)
    {
        connect(client, &Qn::Quillnet::friendsUpdated, this, [this](Qn::QnUserRefs friends) {
            int added = 0;
            for (const Qn::QnUserRef &ref : std::as_const(friends))
                added += mIds.contains(ref.id()) ? 0 : (mIds.insert(ref.id()), 1);
            if (friends.size() == FriendImporter::PageSize && added > 0) {
                mOffset += FriendImporter::PageSize;
                requestPage();
                return;
            }
            mPending = mIds;
            QStringList batch;
            for (const QString &id : std::as_const(mIds)) {
                batch.append(id);
                if (batch.size() == FriendImporter::StatusBatchSize) {
                    mClient->retrieveLatestStatusMessage(batch);
                    batch.clear();
                }
            }
            if (!batch.isEmpty())
                mClient->retrieveLatestStatusMessage(batch);
        });
        connect(client, &Qn::Quillnet::latestStatusMessageRetrieved, this, [this](QStringList ids, Qn::QnPosts) {
            for (const QString &id : std::as_const(ids))
                mPending.remove(id);
            mDone = mPending.isEmpty();
        });
        connect(client, &Qn::Quillnet::error, this, [this] { mFailed = true; });
    }

    bool run()
    {
        requestPage();
        return Bench::waitFor([this] { return mDone || mFailed; }, ImportLimitMs) && !mFailed;
    }

private:
    void requestPage()
    {
        Qn::QnDataFilter filter(mClient->currentProfileId(), FriendImporter::PageSize, mOffset);
        filter.setFields(QSet<QString>(FriendImporter::FriendFields.cbegin(), FriendImporter::FriendFields.cend()));
        mClient->retrieveFriends(nullptr, filter);
    }

    Qn::Quillnet *mClient;
    QSet<QString> mIds;
    QSet<QString> mPending;
    int mOffset = 0;
    bool mDone = false;
    bool mFailed = false;
};

int runPart(const QUrl &url, const QString &token, const QString &kind, bool count)
{
    Qn::registerMetaTypes();
    Helper::setDebugCallback("bench_friends", false);
    QTemporaryDir dir;
    Bench::SignedInClient signedIn(dir.path(), token, url);
    Qn::Quillnet &client = signedIn.client();
    if (!signedIn.signIn())
        return 1;

    std::unique_ptr<FloorClient> floor;
    std::unique_ptr<FriendImporter> importer;
    bool ok = false;
    if (kind == QLatin1String("floor")) {
        floor = std::make_unique<FloorClient>(&client);
    } else {
        importer = std::make_unique<FriendImporter>();
        if (!importer->init(&client, QStringLiteral("bench@example.org")))
            return 1;
        QObject::connect(importer.get(), &FriendImporter::friendImportReady, [&ok](bool complete) { ok = complete; });
    }
    const qint64 residentBefore = Bench::residentKiB(getpid());
    const int requestsBefore = Bench::recordedRequests(url);
    QElapsedTimer clock;
    clock.start();
    const double cpu = Bench::selfCpuMs();
    auto work = [&] {
        if (floor) {
            ok = floor->run();
        } else {
            importer->startFriendImport(false);
            Bench::waitFor([&] { return ok; }, ImportLimitMs);
        }
    };
    if (count)
        Bench::measured(work);
    else
        work();
    const double cpuMs = Bench::selfCpuMs() - cpu;
    const double wallMs = clock.nsecsElapsed() / 1e6;
    if (!ok)
        return 1;
    Bench::printPart({{"wall", wallMs},
                      {"cpu", cpuMs},
                      {"peak_kib", double(Bench::peakResidentKiB(getpid()))},
                      {"resident_before_kib", double(residentBefore)},
                      {"requests", Bench::recordedRequests(url) - requestsBefore}});
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
            {"repetitions", "Runs of each measurement (the median is printed).", "n", "5"},
            {"friends", "Friends of the simulated user.", "n", "5000"},
            {"callgrind", "Also count the instructions of one run of each under callgrind."},
            {"part", "Internal: run one measuring child of this kind.", "kind"},
            {"url", "Internal: the simulator's address.", "url"},
            {"token", "Internal: the access token.", "token"},
            {"count", "Internal: callgrind counts the measured part."},
    });
    parser.process(app);
    if (parser.isSet("part"))
        return runPart(QUrl(parser.value("url")), parser.value("token"), parser.value("part"), parser.isSet("count"));
    const int repetitions = qMax(1, parser.value("repetitions").toInt());

    Bench::PrivateBus bus;
    Bench::SimProcess sim({QStringLiteral("--friends"), parser.value("friends")});
    const QString token = sim.isRunning() ? sim.grantAccessToken() : QString();
    if (!bus.isRunning() || token.isEmpty()) {
        qCritical("bench_friends: the bus or the simulator did not start");
        return 1;
    }
    const QStringList common {QStringLiteral("--url"), sim.url().toString(), QStringLiteral("--token"), token};
    auto args = [&](const QString &kind) { return common + QStringList {QStringLiteral("--part"), kind}; };
    QMap<QString, QList<double>> values;
    QJsonObject firstFloor, firstImport;
    const double simBefore = Bench::cpuMs(sim.pid());
    for (int round = 0; round < repetitions; ++round) {
        for (const QString &kind : {QStringLiteral("floor"), QStringLiteral("import")}) {
            const QJsonObject result = Bench::runPart(args(kind));
            if (result.isEmpty()) {
                qCritical("bench_friends: a measuring child failed");
                return 1;
            }
            for (const QString &key : {QStringLiteral("wall"), QStringLiteral("cpu"), QStringLiteral("peak_kib")})
                values[kind + key] << result.value(key).toDouble();
            // The simulator's request log is bounded: the first round's counts are the ones it holds.
            if (round == 0)
                (kind == QLatin1String("floor") ? firstFloor : firstImport) = result;
        }
    }
    const double simCpu = Bench::cpuMs(sim.pid()) - simBefore;
    double floorInstructions = -1, importInstructions = -1;
    if (parser.isSet("callgrind")) {
        floorInstructions
                = Bench::runPart(args("floor") + QStringList {"--count"}, true).value("instructions").toDouble(-1);
        importInstructions
                = Bench::runPart(args("import") + QStringList {"--count"}, true).value("instructions").toDouble(-1);
    }
    QJsonObject extra {{"friends", parser.value("friends").toInt()},
                       {"requests", firstImport.value("requests")},
                       {"floor_requests", firstFloor.value("requests")},
                       {"cpu_ms", Bench::median(values["importcpu"])},
                       {"floor_cpu_ms", Bench::median(values["floorcpu"])},
                       {"cpu_ratio", Bench::median(values["importcpu"]) / Bench::median(values["floorcpu"])},
                       {"target", "<= 1.3"}};
    if (importInstructions > 0) {
        extra.insert("instructions", importInstructions);
        extra.insert("floor_instructions", floorInstructions);
        extra.insert("instructions_ratio", importInstructions / floorInstructions);
    }
    Bench::print(QStringLiteral("friend import (wall ms; floor: a bare client on the same pages and batches)"),
                 Bench::median(values["importwall"]), QStringLiteral("ms"), Bench::median(values["floorwall"]), extra);
    Bench::print(QStringLiteral("friend import, peak resident memory of the importing process"),
                 Bench::median(values["importpeak_kib"]) / 1024.0, QStringLiteral("MiB"),
                 Bench::median(values["floorpeak_kib"]) / 1024.0, {{"target", "value <= 30 MiB"}});
    Bench::print(QStringLiteral("simulator CPU during the run"), simCpu, QStringLiteral("ms"));
    return 0;
}
