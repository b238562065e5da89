// What both SQLite databases (the daemon's and the client cache) need alike: a user-only file that
// is never a link, telling damage from a passing lock, a small page cache, and binding texts.
#pragma once

#include <QString>

class QSqlDatabase;
class QSqlError;

namespace Support {

// Makes path ready to be opened as an SQLite database: a missing file is created for the user
// alone; an existing one is restricted to the user; a link is moved aside (moveAside) like a
// damaged database and a fresh file takes its place, so that no other program's file is ever
// written through. False when no file could be prepared, or something other than a regular file
// (a directory, a device) is at the path.
bool prepareDatabaseFile(const QString &path);

// The file is unusable ("database disk image is malformed", "file is not a database"), judged by
// SQLite's result code, extended codes included.
bool isDamage(const QSqlError &error);

// Another connection holds a lock (SQLITE_BUSY, SQLITE_LOCKED): nothing is wrong with the file.
bool isBusy(const QSqlError &error);

// Gives the open connection a page cache of PageCacheKiB. Both databases are read by key and written
// in small transactions; SQLite's default of 2 MB a connection filled up with the friends a friend
// import stores, and stayed resident after it.
constexpr int PageCacheKiB = 256;
void limitPageCache(const QSqlDatabase &db);
// Empties the connection's page cache: between syncs the daemon only waits, and the pages are read
// again from the file when the next sync needs them.
void releaseMemory(const QSqlDatabase &db);

// A null QString binds as SQL NULL, which NOT NULL text columns refuse; an absent text is stored,
// and found again, as the empty text.
QString bindableText(const QString &text);

} // namespace Support
