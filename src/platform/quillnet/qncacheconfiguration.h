// Where a QnCache keeps its database file and the files it downloads.
#pragma once

#include <QString>

namespace Qn {

class QnCacheConfiguration
{
public:
    QnCacheConfiguration() = default;

    // Directory for downloaded files (pictures, avatars).
    QString path() const { return mPath; }
    void setPath(const QString &path) { mPath = path; }
    // Full file name of the SQLite database.
    QString databaseName() const { return mDatabaseName; }
    void setDatabaseName(const QString &databaseName) { mDatabaseName = databaseName; }

private:
    QString mPath;
    QString mDatabaseName;
};

} // namespace Qn
