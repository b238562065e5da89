// The daemon's own SQLite cache: published Event Feed items, shown and seen notification ids
// and the date of the last client cache clean-up. Keeps the schema current and answers the
// publishing pass and the notification handler.
#pragma once

#include "database/cacheditem.h"
#include "platform/quillnet/qnpost.h"
#include "platform/support/statementcache.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

class DaemonDatabase : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DaemonDatabase)

public:
    static constexpr int SchemaVersion = 11;

    // What a publishing pass has to do with one post of its batch.
    enum CheckResult {
        ItemAdd = 1, // not published yet
        ItemUpdate = 2, // published, its like or comment count changed
        ItemUnchanged = 3, // published with the same counts
    };
    Q_ENUM(CheckResult)

    explicit DaemonDatabase(const QString &dbName, QObject *parent = nullptr);
    ~DaemonDatabase() override;

    // Opens the file, resets the schema when its version is unknown or too old, creates
    // missing tables and makes sure a clear date is stored. A damaged file, or a link in its
    // place, is moved aside and rebuilt once. A file that another program keeps locked for
    // longer than the lock timeout is left as it is: false, like a file that cannot be opened.
    bool init();
    // How long init() waits for another program's lock (default 15 s).
    void setLockTimeout(int milliseconds);
    static constexpr int DefaultLockTimeoutMs = 15000;

    // Stores today's date as the last clean-up date when none is stored; with force, the
    // stored date is replaced.
    void updateClearDate(bool force);
    // True when the client cache was not cleaned today: the stored date lies before today, is
    // not a real date, or lies after today (the clock was wrong when it was stored). False when
    // no date is stored or it cannot be read.
    bool isClearNeeded();

    // Publishing pass, in this order: prepareForChecks once per batch, checkPost for every post
    // and addPostToDb for every post that got published, then removeStaleItems when
    // hasItemsToRemove.
    //
    // Loads the check list: every cached item from the oldest one that belongs to the batch up
    // to the newest, or the 30 newest items when none belongs to it.
    void prepareForChecks(const Qn::QnPosts &posts);
    // Takes the post off the check list and tells what to do with it. On ItemUpdate the stored
    // counts are updated and homeviewId receives the item's Event Feed id.
    CheckResult checkPost(const Qn::QnPost *post, qint64 *homeviewId);
    // False when the row could not be written.
    bool addPostToDb(const Qn::QnPost *post, qint64 homeviewId);
    bool isCheckListEmpty() const;
    // True when the check list covers a range of the cache and some of it did not reappear.
    bool hasItemsToRemove() const;
    // Deletes the rows left on the check list and returns their Event Feed ids, or nothing when
    // the deletion failed.
    QList<qint64> removeStaleItems();
    // Forgets every published item, for when all of them were withdrawn from the Event Feed: the
    // next pass publishes the whole feed again. False when the rows could not be deleted.
    bool removeAllItems();
    // Empties the page cache, once a pass has ended.
    void releaseMemory();
    // The Event Feed instance whose item ids the rows hold (its bus and unique name), empty when
    // none is recorded: an id means nothing to another instance.
    QString itemsOwner();
    // Records owner as that instance; with forgetItems the rows go in the same transaction. False
    // when nothing could be written.
    bool setItemsOwner(const QString &owner, bool forgetItems);

    // Notification item ids already shown or seen. The marks return false when the id is
    // already recorded in that table, the type is not an item type key, or the insert failed.
    bool markShown(const QString &id, const QString &type);
    bool markSeen(const QString &id, const QString &type);
    // The ids of one notification, marked shown together in one transaction: all of them or none,
    // and one commit instead of one per id. An id that is recorded already is skipped, as above;
    // the number of ids newly recorded is returned.
    int markShown(const QStringList &ids, const QString &type);
    // The subset of ids already recorded under that type.
    QStringList checkShownItems(const QStringList &ids, const QString &type);
    QStringList checkSeenItems(const QStringList &ids, const QString &type);
    // The keys recorded under that type for one service id: the id itself, or "<id>.<update time>"
    // for the kinds whose key changes with every update. At most MaxKeysOfId of them.
    QStringList shownKeysOf(const QString &id, const QString &type);
    QStringList seenKeysOf(const QString &id, const QString &type);
    static constexpr int MaxKeysOfId = 20;
    // Published Event Feed items; -1 when they cannot be counted.
    int itemCount();

Q_SIGNALS:
    // The schema was (re)created empty; whatever was published from the old content is stale.
    void dbReseted();

private:
    bool markItem(const QString &table, const QString &id, const QString &type);
    QStringList checkItems(const QString &table, const QStringList &ids, const QString &type);
    QStringList keysOf(const QString &table, const QString &id, const QString &type);
    enum VersionCheck {
        VersionCurrent,
        VersionReset, // read cleanly: no version table, or an old or unusable version
        VersionDamaged, // the file is not a usable database
        VersionUnreadable, // locked elsewhere, or failing for another reason: left alone
    };
    VersionCheck checkVersion();
    VersionCheck readFailure(const QSqlError &error);
    bool openDatabase();
    void closeDatabase();
    void useWriteAheadLog();
    void setBusyTimeout(int milliseconds);
    static void createTables(QSqlQuery &query);
    bool completeSchema();
    bool resetSchema();
    bool moveDamagedFileAside();
    void noteFailure(const QSqlError &error);
    void rebuildDamaged();

    QSqlDatabase mDb;
    Support::StatementCache mStatements;
    QString mDbName;
    // Filled and consumed by one publishing pass.
    QMap<QString, CachedItem> mCheckList;
    // True when mCheckList runs from the oldest cached row of the current batch to the newest,
    // so its leftovers are posts that left the feed.
    bool mRangeFlag = false;
    int mLockTimeoutMs = DefaultLockTimeoutMs;
    bool mRebuildQueued = false;
};
