// Helpers shared by the client library tests: cache configurations in a temporary folder, a
// deliberately damaged database file, file contents, record ids, errors from signal spies and time
// zone changes.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>

#include <time.h>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qncacheconfiguration.h"
#include "platform/quillnet/qnerror.h"
#include "testfiles.h"

inline Qn::QnCacheConfiguration cacheConfiguration(const QTemporaryDir &dir)
{
    Qn::QnCacheConfiguration configuration;
    configuration.setDatabaseName(dir.filePath(QStringLiteral("private/qncache.db")));
    configuration.setPath(dir.filePath(QStringLiteral("files")));
    return configuration;
}

// Leaves a database whose first page (header and schema) is intact and whose other pages are
// garbage, so that opening works and reading a table fails with "database disk image is malformed".
inline bool makeMalformedDatabase(const Qn::QnCacheConfiguration &configuration)
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

inline Qn::QnError errorAt(const QSignalSpy &spy, int index = 0)
{
    return spy.at(index).at(0).value<Qn::QnError>();
}

template<typename List>
QStringList idsOf(const List &records)
{
    QStringList ids;
    for (const auto &record : records)
        ids << record.id();
    return ids;
}

// Switches the process to a POSIX time zone ("EST5EDT,M3.2.0,M11.1.0"); null restores the zone the
// process started with.
inline void setTimeZone(const char *zone)
{
    static const QByteArray original = qgetenv("TZ");
    const QByteArray value = zone ? QByteArray(zone) : original;
    if (value.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", value);
    tzset();
}
