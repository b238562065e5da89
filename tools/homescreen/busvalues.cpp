#include "homescreen/busvalues.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QStringList>

namespace HomeScreen {

bool isKeyName(const QString &key)
{
    if (key.isEmpty() || key.size() > MaxKeyLength)
        return false;
    for (const QChar ch : key) {
        const char16_t c = ch.unicode();
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
                || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool isPlainType(int type)
{
    switch (type) {
    case QMetaType::QString:
    case QMetaType::QStringList:
    case QMetaType::Bool:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

qint64 textSize(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return value.toString().size();
    case QMetaType::QStringList: {
        qint64 size = 0;
        for (const QString &entry : value.toStringList())
            size += entry.size() + 1;
        return size;
    }
    default:
        return 8;
    }
}

QString busSignature(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    const char *signature = QDBusMetaType::typeToSignature(value.metaType());
    return signature ? QLatin1String(signature) : QLatin1String(value.typeName());
}

QString signatureOf(int type)
{
    return QLatin1String(QDBusMetaType::typeToSignature(QMetaType(type)));
}

} // namespace HomeScreen
