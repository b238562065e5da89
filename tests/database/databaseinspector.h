// A test's own connection to a database file, independent of the class under test, for
// setting up content and reading back what the class wrote.
#pragma once

#include <QDate>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariantList>

class Inspector
{
public:
    // The daemon's tables, sorted.
    static inline const QStringList DaemonTables
            = {"clear_date", "items", "items_owner", "seen_items", "shown_items", "version"};

    explicit Inspector(const QString &path)
        : mName(QStringLiteral("inspector-%1").arg(++sCount))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), mName);
        db.setDatabaseName(path);
        db.open();
    }
    ~Inspector()
    {
        QSqlDatabase::database(mName, false).close();
        QSqlDatabase::removeDatabase(mName);
    }
    Q_DISABLE_COPY(Inspector)

    bool exec(const QString &statement) { return QSqlQuery(QSqlDatabase::database(mName, false)).exec(statement); }

    // Every row; a failed statement gives one row naming the error.
    QList<QVariantList> rows(const QString &statement)
    {
        QSqlQuery query(QSqlDatabase::database(mName, false));
        if (!query.exec(statement))
            return {{QStringLiteral("query failed: ") + query.lastError().text()}};
        QList<QVariantList> result;
        while (query.next()) {
            result.append(QVariantList());
            for (int i = 0; i < query.record().count(); ++i)
                result.last() << query.value(i);
        }
        return result;
    }
    QVariantList column(const QString &statement)
    {
        QVariantList values;
        for (const QVariantList &row : rows(statement))
            values << row.value(0);
        return values;
    }
    QStringList tables()
    {
        QStringList names = QSqlDatabase::database(mName, false).tables(QSql::Tables);
        names.removeAll(QStringLiteral("sqlite_sequence"));
        names.sort();
        return names;
    }
    // The stored clean-up date; invalid unless exactly one row is stored.
    QDate clearDate()
    {
        const QList<QVariantList> stored = rows(QStringLiteral("SELECT year, month, day FROM clear_date"));
        return stored.size() == 1 ? QDate(stored[0][0].toInt(), stored[0][1].toInt(), stored[0][2].toInt()) : QDate();
    }

private:
    static inline int sCount = 0;
    const QString mName;
};
