// The daemon's own SQLite cache: published Event Feed items, shown and seen notification ids
// and the date of the last client cache clean-up. Opens the file and keeps its schema current.
#pragma once

#include "database/cacheditem.h"

#include <QMap>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

class DaemonDatabase : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DaemonDatabase)

public:
    static constexpr int SchemaVersion = 11;

    explicit DaemonDatabase(const QString &dbName, QObject *parent = nullptr);
    ~DaemonDatabase() override;

    // Opens the file, resets the schema when its version is unknown or too old, creates
    // missing tables and makes sure a clear date is stored. A file SQLite cannot read is
    // moved aside and rebuilt once. False when no usable database could be opened.
    bool init();

    // Stores today's date as the last clean-up date when none is stored; with force, the
    // stored date is replaced.
    void updateClearDate(bool force);

Q_SIGNALS:
    // The schema was (re)created empty; whatever was published from the old content is stale.
    void dbReseted();

private:
    bool checkVersion();
    bool openDatabase();
    void restrictPermissions();
    void buildSchema(bool reset);
    QSqlError versionReadError();
    bool moveDamagedFileAside();

    QSqlDatabase mDb;
    QString mDbName;
    // Filled and consumed by one publishing pass.
    QMap<QString, CachedItem> mCheckList;
    // True when mCheckList runs from the oldest cached row of the current batch to the newest,
    // so its leftovers are posts that left the feed.
    bool mRangeFlag = false;
};
