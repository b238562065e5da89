// The post an Event Feed item of the daemon shows, read back from the item's remote action: its last
// argument is the Base64 of a streamed variant holding the post id.
#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QString>
#include <QVariant>
#include <QVariantMap>

inline QString postIdOf(const QVariantMap &item)
{
    const QString action = item.value(QStringLiteral("action")).toString();
    QDataStream stream(QByteArray::fromBase64(action.section(QLatin1Char(' '), 4).toLatin1()));
    QVariant id;
    stream >> id;
    return id.toString();
}
