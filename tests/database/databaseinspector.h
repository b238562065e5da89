// A test's own connection to a database file, independent of the class under test, for
// setting up content and reading back what the class wrote.
#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariantList>

class Inspector
{
public:
    explicit Inspector(const QString &path)
        : mName(QStringLiteral("inspector-%1").arg(++counter()))
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

    QSqlDatabase database() const { return QSqlDatabase::database(mName, false); }

    bool exec(const QString &statement)
    {
        QSqlQuery query(database());
        return query.exec(statement);
    }
    QList<QVariantList> rows(const QString &statement)
    {
        QList<QVariantList> result;
        QSqlQuery query(database());
        if (!query.exec(statement))
            return {QVariantList{QStringLiteral("query failed: ") + query.lastError().text()}};
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row << query.value(i);
            result << row;
        }
        return result;
    }
    // The first column of every row.
    QList<qint64> numbers(const QString &statement)
    {
        QList<qint64> result;
        for (const QVariantList &row : rows(statement))
            result << row.value(0).toLongLong();
        return result;
    }
    QStringList texts(const QString &statement)
    {
        QStringList result;
        for (const QVariantList &row : rows(statement))
            result << row.value(0).toString();
        return result;
    }
    QStringList tables()
    {
        QStringList names = database().tables(QSql::Tables);
        names.removeAll(QStringLiteral("sqlite_sequence"));
        names.sort();
        return names;
    }

private:
    static int &counter()
    {
        static int count = 0;
        return count;
    }
    const QString mName;
};
