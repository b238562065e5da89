// Helpers shared by the client library tests: cache configurations in a temporary folder and a
// deliberately damaged database file.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qncacheconfiguration.h"

inline Qn::QnCacheConfiguration cacheConfiguration(const QTemporaryDir& dir)
{
    Qn::QnCacheConfiguration configuration;
    configuration.setDatabaseName(dir.filePath(QStringLiteral("private/qncache.db")));
    configuration.setPath(dir.filePath(QStringLiteral("files")));
    return configuration;
}

// Leaves a database whose first page (header and schema) is intact and whose other pages are
// garbage, so that opening works and reading a table fails with "database disk image is malformed".
inline bool makeMalformedDatabase(const Qn::QnCacheConfiguration& configuration)
{
    {
        Qn::QnCache cache(configuration);
        for (int i = 0; i < 50; ++i) {
            if (!cache.updateUserData(QStringLiteral("key%1").arg(i), QString(200, QLatin1Char('v'))))
                return false;
        }
    }
    QFile file(configuration.databaseName());
    if (!file.open(QIODevice::ReadWrite) || file.size() <= 4096 || !file.seek(4096))
        return false;
    return file.write(QByteArray(file.size() - 4096, '\xff')) == file.size() - 4096;
}
