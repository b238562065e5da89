// File system operations that must never act through a symbolic link: removing trees, creating
// user-only files, locking, and keeping a damaged file for inspection while a fresh one takes its place.
#pragma once

#include <QString>
#include <QStringList>

namespace Support {

// Removes everything below dir, depth first. Links are removed as links, never followed. Entries
// whose absolute, clean path is listed in keep stay, and so do the directories leading to them.
// True when dir is empty afterwards: false when an entry was kept or could not be removed.
bool removeContents(const QString &dir, const QStringList &keep = {});

// removeContents, then dir itself when it is empty. True when dir is gone.
bool removeTree(const QString &dir, const QStringList &keep = {});

// Creates the missing directories of path, each for the user alone (0700); directories that exist
// keep their permissions. False when path cannot be made a directory.
bool makeUserOnlyPath(const QString &path);

// Creates the file for the user alone (0600). Fails when anything, a link included, already
// exists at the path.
bool createUserOnlyFile(const QString &path);

// Takes an exclusive flock() on path (created for the user alone, never through a link) and writes
// this process's id into it. The kernel releases the lock when the process ends however it ends, so
// a file left behind, empty or not, never locks anyone out. Returns the descriptor to keep open, or
// -1: then *holder is the id the holding process wrote (0 when the file could not be opened or
// names none).
int lockExclusively(const QString &path, qint64 *holder);

// Renames path, and the "-journal", "-wal" and "-shm" files beside it, to
// "<name>.corrupt-<yyyyMMddhhmmss>" (".<n>" appended when taken), so that a new file can take the
// name and no old journal is replayed into it. A link is renamed itself. Returns the new name of
// path, or an empty string when it could not be moved.
QString moveAside(const QString &path);

} // namespace Support
