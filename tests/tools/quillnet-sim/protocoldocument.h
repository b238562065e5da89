// The member tables of docs/protocol.md as the document stands, and a check of JSON answers against
// them. A "### <record>" heading followed by a table with member, type and presence columns is a
// record; the names of a "Parameter" or "Form field" table are kept under their heading; a table
// with Request and Answer columns names the record each request is answered with (the first code
// span of the Request cell, without its query, is the request; no code span in the Answer cell
// means the answer is no record).
#pragma once

#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

struct ProtocolDocument
{
    struct Member
    {
        QString type;
        bool required = false;
    };

    QHash<QString, QHash<QString, Member>> records;
    QHash<QString, QString> answers; // "GET /users/{id}/feed" to "post list"; empty: not a record
    // The names of the "Parameter" and "Form field" tables, by heading.
    QHash<QString, QStringList> fields;
    QStringList problems; // what the document's tables do not say clearly

    static ProtocolDocument read(const QString &path)
    {
        ProtocolDocument document;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            document.problems << QStringLiteral("cannot read %1").arg(path);
            return document;
        }
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        QString heading;
        int level = 0;
        for (int i = 0; i < lines.size(); ++i) {
            const QString line = lines.at(i).trimmed();
            if (line.startsWith(QLatin1Char('#'))) {
                level = int(line.indexOf(QLatin1Char(' ')));
                heading = line.mid(level + 1).remove(QLatin1Char('`')).trimmed();
                continue;
            }
            if (!line.startsWith(QLatin1Char('|')))
                continue;
            const QStringList header = cells(line);
            QList<QStringList> rows;
            // The line after the header is the separator.
            for (i += 2; i < lines.size() && lines.at(i).trimmed().startsWith(QLatin1Char('|')); ++i) {
                rows.append(cells(lines.at(i)));
                if (rows.last().size() != header.size())
                    document.problems << QStringLiteral("line %1: not as many cells as columns").arg(i + 1);
            }
            if (header.value(0) == QLatin1String("member"))
                document.readRecord(heading, level, header, rows);
            else if (header.value(0) == QLatin1String("Parameter") || header.value(0) == QLatin1String("Form field"))
                for (const QStringList &row : std::as_const(rows))
                    document.fields[heading] << codeSpans(row.value(0)).value(0);
            else if (header.contains(QLatin1String("Request")) && header.contains(QLatin1String("Answer")))
                document.readAnswers(header, rows);
        }
        return document;
    }

private:
    static QStringList cells(const QString &line)
    {
        QStringList cells = line.trimmed().split(QLatin1Char('|'));
        cells = cells.mid(1, cells.size() - 2);
        for (QString &cell : cells)
            cell = cell.trimmed();
        return cells;
    }

    static QStringList codeSpans(const QString &cell)
    {
        static const QRegularExpression span(QStringLiteral("`([^`]+)`"));
        QStringList spans;
        for (auto it = span.globalMatch(cell); it.hasNext();)
            spans << it.next().captured(1);
        return spans;
    }

    void readRecord(const QString &name, int level, const QStringList &header, const QList<QStringList> &rows)
    {
        const qsizetype type = header.indexOf(QLatin1String("type"));
        const qsizetype presence = header.indexOf(QLatin1String("presence"));
        if (level != 3 || type < 0 || presence < 0 || records.contains(name)) {
            problems << QStringLiteral("record \"%1\": not level 3, without type or presence, or twice").arg(name);
            return;
        }
        QHash<QString, Member> &members = records[name];
        for (const QStringList &row : rows) {
            const QString member = codeSpans(row.value(0)).value(0);
            const QString required = row.value(presence);
            if (member.isEmpty() || members.contains(member)
                || (required != QLatin1String("required") && required != QLatin1String("optional"))) {
                problems << QStringLiteral("record \"%1\": row \"%2\" unclear").arg(name, row.join('|'));
                continue;
            }
            members.insert(
                    member,
                    Member {QString(row.value(type)).remove(QLatin1Char('`')), required == QLatin1String("required")});
        }
    }

    void readAnswers(const QStringList &header, const QList<QStringList> &rows)
    {
        const qsizetype request = header.indexOf(QLatin1String("Request"));
        const qsizetype answer = header.indexOf(QLatin1String("Answer"));
        for (const QStringList &row : rows) {
            const QString key = codeSpans(row.value(request)).value(0).section(QLatin1Char('?'), 0, 0);
            if (key.isEmpty())
                continue;
            const QStringList named = codeSpans(row.value(answer));
            if (named.size() > 1 || answers.contains(key))
                problems << QStringLiteral("request \"%1\": more than one answer").arg(key);
            answers.insert(key, named.value(0));
        }
    }
};

// Checks JSON values against the document's types, crossing off the members of each record it sees.
class ShapeCheck
{
public:
    explicit ShapeCheck(const ProtocolDocument &document)
        : mDocument(document)
    {
        for (auto record = document.records.cbegin(); record != document.records.cend(); ++record)
            for (const QString &member : record->keys())
                mUnseen.insert(record.key() + QLatin1Char('.') + member);
    }

    void check(const QJsonValue &value, const QString &type, const QString &where)
    {
        static const QRegularExpression serviceTime(
                QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
        static const QLatin1String arrayOf("array of ");
        bool ok = true;
        if (type.startsWith(arrayOf)) {
            const QJsonArray array = value.toArray();
            ok = value.isArray();
            for (qsizetype i = 0; i < array.size(); ++i)
                check(array.at(i), type.mid(arrayOf.size()), QStringLiteral("%1[%2]").arg(where).arg(i));
        } else if (type == QLatin1String("string")) {
            ok = value.isString();
        } else if (type == QLatin1String("count")) {
            ok = value.isDouble() && value.toDouble() >= 0 && value.toDouble() == double(value.toInteger());
        } else if (type == QLatin1String("boolean")) {
            ok = value.isBool();
        } else if (type == QLatin1String("time")) {
            ok = serviceTime.match(value.toString()).hasMatch();
        } else if (mDocument.records.contains(type)) {
            ok = value.isObject();
            checkRecord(value.toObject(), type, where);
        } else {
            problems << QStringLiteral("%1: the document's type \"%2\" is unknown").arg(where, type);
            return;
        }
        if (!ok)
            problems << QStringLiteral("%1: not a %2").arg(where, type);
    }

    // Members of each record of the document that no checked answer held.
    QStringList unseen() const
    {
        QStringList missing(mUnseen.cbegin(), mUnseen.cend());
        missing.sort();
        return missing;
    }

    QStringList problems;

private:
    void checkRecord(const QJsonObject &object, const QString &record, const QString &where)
    {
        const QHash<QString, ProtocolDocument::Member> &members = mDocument.records.value(record);
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QString path = where + QLatin1Char('.') + it.key();
            if (!members.contains(it.key())) {
                problems << QStringLiteral("%1: not a member of \"%2\"").arg(path, record);
                continue;
            }
            if (it.value().isNull())
                continue;
            mUnseen.remove(record + QLatin1Char('.') + it.key());
            check(it.value(), members.value(it.key()).type, path);
        }
        for (auto it = members.cbegin(); it != members.cend(); ++it) {
            if (it->required && (object.value(it.key()).isUndefined() || object.value(it.key()).isNull()))
                problems << QStringLiteral("%1: required member \"%2\" missing").arg(where, it.key());
        }
    }

    const ProtocolDocument &mDocument;
    QSet<QString> mUnseen; // "record.member"
};
