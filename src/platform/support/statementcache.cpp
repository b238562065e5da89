#include "platform/support/statementcache.h"

#include <QSqlDatabase>

namespace Support {

StatementCache::Statement::Statement(std::shared_ptr<Entry> entry, bool prepared)
    : mEntry(std::move(entry))
    , mPrepared(prepared)
{
    mEntry->inUse = true;
}

StatementCache::Statement::~Statement()
{
    // Moved from.
    if (!mEntry)
        return;
    if (mEntry->query.isActive())
        mEntry->query.finish();
    mEntry->inUse = false;
}

StatementCache::Statement StatementCache::statement(const QSqlDatabase &db, const QString &text)
{
    const auto found = mEntries.constFind(text);
    if (found != mEntries.constEnd() && !found.value()->inUse)
        return Statement(found.value(), true);

    auto entry = std::make_shared<Entry>();
    entry->query = QSqlQuery(db);
    // Rows are read once, in order: nothing needs them kept for going back.
    entry->query.setForwardOnly(true);
    const bool prepared = entry->query.prepare(text);
    if (prepared && found == mEntries.constEnd() && mEntries.size() < MaxStatements)
        mEntries.insert(text, entry);
    return Statement(entry, prepared);
}

void StatementCache::clear()
{
    mEntries.clear();
}

} // namespace Support
