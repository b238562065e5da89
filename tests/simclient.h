// A client of the simulated service on a cache of the test's, initialised: where the tests of the
// client's users start.
#pragma once

#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qncacheconfiguration.h"
#include "platform/quillnet/quillnet.h"
#include "quillnet-sim/simulator.h"

inline std::unique_ptr<Qn::QnCache> cacheIn(const QTemporaryDir &dir)
{
    Qn::QnCacheConfiguration configuration;
    configuration.setDatabaseName(dir.filePath(QStringLiteral("qncache.db")));
    configuration.setPath(dir.filePath(QStringLiteral("qncache")));
    return std::make_unique<Qn::QnCache>(configuration);
}

// Null when the client was not initialised.
inline std::unique_ptr<Qn::Quillnet> signedInClient(const QuillnetSim::Simulator &sim, Qn::QnCache *cache)
{
    Qn::QuillnetConfiguration configuration(sim.accessToken());
    configuration.setCache(cache);
    configuration.setServiceUrl(sim.baseUrl());
    auto client = std::make_unique<Qn::Quillnet>(configuration);
    QSignalSpy initialized(client.get(), &Qn::Quillnet::initialized);
    client->init();
    return initialized.wait() ? std::move(client) : nullptr;
}
