// The simulated service, a cache in a folder of the test's and a client of the service on that
// cache, signed in: where the tests of the client and of its users start. A test class derives from
// SimClientFixture, calls start() (or only the steps it needs) in init() and stop() in cleanup(),
// once whatever uses the client is gone.
#pragma once

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qncacheconfiguration.h"
#include "platform/quillnet/qnerror.h"
#include "platform/quillnet/quillnet.h"
#include "quillnet-sim/simulator.h"

// The error of a spy on the client's error signal.
inline Qn::QnError errorAt(const QSignalSpy &spy, int index = 0)
{
    return spy.at(index).at(0).value<Qn::QnError>();
}

// Garbles every page of a cache database after the first (header and schema stay) and bumps the
// header's change counter, so that even a connection open on it does not trust what it read before:
// opening works, reading a table fails with "database disk image is malformed".
inline bool damageDatabase(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.size() > 4096 && file.seek(24)
            && file.write("\x7f\x00\x00\x01", 4) == 4 && file.seek(4096)
            && file.write(QByteArray(file.size() - 4096, '\xff')) == file.size() - 4096;
}

template<typename List>
QStringList idsOf(const List &records)
{
    QStringList ids;
    for (const auto &record : records)
        ids << record.id();
    return ids;
}

// The database one folder down, so that opening the cache has to make its folder.
inline Qn::QnCacheConfiguration cacheConfiguration(const QTemporaryDir &dir)
{
    Qn::QnCacheConfiguration configuration;
    configuration.setDatabaseName(dir.filePath(QStringLiteral("private/qncache.db")));
    configuration.setPath(dir.filePath(QStringLiteral("files")));
    return configuration;
}

// Whether the client signed in (init() answered with initialized()).
inline bool signIn(Qn::Quillnet &client)
{
    QSignalSpy initialized(&client, &Qn::Quillnet::initialized);
    client.init();
    return initialized.wait() && client.isInitialized();
}

class SimClientFixture
{
protected:
    // The service with this world, the cache and the client; false when one of them does not come
    // up (the client not signing in counts only when asked to sign in).
    [[nodiscard]] bool start(const QuillnetSim::SimConfig &world = {}, bool signIn = true)
    {
        mSim = std::make_unique<QuillnetSim::Simulator>(world);
        return openCache() && mSim->listen() && newClient(clientConfiguration(), signIn);
    }
    // A new folder with the cache in it.
    [[nodiscard]] bool openCache()
    {
        mClient.reset();
        mCache.reset();
        mDir = std::make_unique<QTemporaryDir>();
        mCache = std::make_unique<Qn::QnCache>(cacheConfiguration(*mDir));
        return mDir->isValid() && mCache->isOpen();
    }
    // The cache closed and opened again, with a client that has no service: what it reads comes from
    // the disk.
    [[nodiscard]] bool reopenCache()
    {
        mClient.reset();
        if (!mCache->close())
            return false;
        mCache = std::make_unique<Qn::QnCache>(cacheConfiguration(*mDir));
        return mCache->isOpen() && newClient(Qn::QuillnetConfiguration(QStringLiteral("token")), false);
    }
    // For a client of the simulated service, with its current token, on the cache.
    Qn::QuillnetConfiguration clientConfiguration() const
    {
        Qn::QuillnetConfiguration configuration(mSim->accessToken());
        configuration.setCache(mCache.get());
        configuration.setServiceUrl(mSim->baseUrl());
        return configuration;
    }
    // Replaces the client with one of this configuration on the cache, signed in when asked; false
    // when it did not sign in.
    [[nodiscard]] bool newClient(Qn::QuillnetConfiguration configuration, bool signIn = true)
    {
        mClient.reset();
        configuration.setCache(mCache.get());
        mClient = std::make_unique<Qn::Quillnet>(configuration);
        return !signIn || ::signIn(*mClient);
    }
    // In the order that lets each go while nothing uses it any more.
    void stop()
    {
        mClient.reset();
        mSim.reset();
        mCache.reset();
        mDir.reset();
    }

    std::unique_ptr<QTemporaryDir> mDir;
    std::unique_ptr<QuillnetSim::Simulator> mSim;
    std::unique_ptr<Qn::QnCache> mCache;
    std::unique_ptr<Qn::Quillnet> mClient;
};
