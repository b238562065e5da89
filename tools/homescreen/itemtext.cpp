#include "homescreen/itemtext.h"

#include <QStringList>

#include "platform/support/logtext.h"

namespace HomeScreen {

namespace {

// What a person looks at first; the publisher's order of keys is lost in the map anyway.
const char *const ShownFirst[]
        = {"sourceName", "title", "body", "footer", "timestamp", "icon", "imageList", "sourceDisplayName", "action"};

} // namespace

QString escaped(const QString &text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar ch : text) {
        switch (ch.unicode()) {
        case '\\':
            result += QLatin1String("\\\\");
            break;
        case '"':
            result += QLatin1String("\\\"");
            break;
        case '\n':
            result += QLatin1String("\\n");
            break;
        case '\r':
            result += QLatin1String("\\r");
            break;
        case '\t':
            result += QLatin1String("\\t");
            break;
        default:
            // C0 and C1 controls, DEL, and the Unicode line and paragraph separators, which some
            // terminals and readers take as line ends.
            if (ch.category() == QChar::Other_Control || ch.category() == QChar::Separator_Line
                || ch.category() == QChar::Separator_Paragraph)
                result += QStringLiteral("\\u%1").arg(ch.unicode(), 4, 16, QLatin1Char('0'));
            else
                result += ch;
        }
    }
    return result;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + escaped(Support::logText(text)) + QLatin1Char('"');
}

QString shownValue(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return quoted(value.toString());
    case QMetaType::QStringList: {
        const QStringList list = value.toStringList();
        QStringList shown;
        for (int i = 0; i < list.size() && i < MaxShownEntries; ++i)
            shown << quoted(list.at(i));
        if (list.size() > MaxShownEntries)
            shown << QStringLiteral("... (%1 entries)").arg(list.size());
        return QLatin1Char('[') + shown.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    case QMetaType::UChar:
    case QMetaType::Char:
    case QMetaType::SChar:
        // A byte is a number on the bus (D-Bus "y"), never a character.
        return quoted(QString::number(value.toInt()));
    default:
        // Other numbers and truth values; nothing else is kept.
        if (value.canConvert<QString>())
            return quoted(value.toString());
        return quoted(QStringLiteral("(%1)").arg(QLatin1String(value.typeName())));
    }
}

QString shownFields(const QVariantMap &item)
{
    QStringList fields;
    QVariantMap rest = item;
    for (const char *key : ShownFirst) {
        const auto it = rest.find(QLatin1String(key));
        if (it == rest.end())
            continue;
        fields << QLatin1String(key) + QLatin1Char('=') + shownValue(it.value());
        rest.erase(it);
    }
    for (auto it = rest.constBegin(); it != rest.constEnd(); ++it)
        fields << escaped(Support::logText(it.key())) + QLatin1Char('=') + shownValue(it.value());
    return fields.join(QLatin1Char(' '));
}

} // namespace HomeScreen
