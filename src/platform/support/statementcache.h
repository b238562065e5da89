// Prepared statements of one SQLite connection, kept by their text for reuse: parsing a small
// statement costs more than running it, and the daemon runs the same few statements for every
// mark, post and picture.
#pragma once

#include <QHash>
#include <QSqlQuery>
#include <QString>

#include <memory>

class QSqlDatabase;

namespace Support {

class StatementCache
{
    Q_DISABLE_COPY(StatementCache)

    struct Entry
    {
        QSqlQuery query;
        bool inUse = false;
    };

public:
    // One use of a statement. It is reset when the use ends, so that no read stays open between
    // uses; a text that is already in use (a nested use) gets a statement of its own.
    class Statement
    {
        Q_DISABLE_COPY(Statement)

    public:
        Statement(Statement &&other) noexcept = default;
        ~Statement();
        // False when the text did not prepare; query().lastError() says why.
        bool isPrepared() const { return mPrepared; }
        QSqlQuery &query() { return mEntry->query; }

    private:
        friend class StatementCache;
        Statement(std::shared_ptr<Entry> entry, bool prepared);

        std::shared_ptr<Entry> mEntry;
        bool mPrepared = false;
    };

    // Enough for every fixed statement of one database; more texts are prepared for one use only.
    static constexpr int MaxStatements = 64;

    StatementCache() = default;
    // Statements must be let go of before their connection closes: clear() first.
    Statement statement(const QSqlDatabase &db, const QString &text);
    void clear();
    int size() const { return int(mEntries.size()); }

private:
    QHash<QString, std::shared_ptr<Entry>> mEntries;
};

} // namespace Support
