#include "platform/socialprovider/wire_p.h"

#include <QDate>
#include <QDateTime>
#include <QIODevice>
#include <QTime>
#include <QUrl>

namespace SocialWire {

namespace {

bool readDateTime(Support::BoundedReader &in, QDateTime *dateTime)
{
    qint64 julianDay = 0;
    quint32 msecs = 0;
    qint8 spec = 0;
    if (!in.read(&julianDay) || !in.read(&msecs) || !in.read(&spec))
        return false;
    const QDate date = QDate::fromJulianDay(julianDay);
    const QTime time = msecs == 0xffffffff ? QTime() : QTime::fromMSecsSinceStartOfDay(int(msecs));
    switch (spec) {
    case Qt::LocalTime:
        *dateTime = QDateTime(date, time, Qt::LocalTime);
        return true;
    case Qt::UTC:
        *dateTime = QDateTime(date, time, Qt::UTC);
        return true;
    case Qt::OffsetFromUTC: {
        qint32 offset = 0;
        if (!in.read(&offset))
            return false;
        *dateTime = QDateTime(date, time, Qt::OffsetFromUTC, offset);
        return true;
    }
    default:
        // Time zones by name are not part of the form.
        return in.fail(QStringLiteral("a date-time of time spec %1").arg(spec));
    }
}

} // namespace

bool readVariant(Support::BoundedReader &in, QVariant *value)
{
    quint32 typeId = 0;
    qint8 isNull = 0;
    if (!in.read(&typeId) || !in.read(&isNull))
        return false;
    if (isNull != 0 && isNull != 1)
        return in.fail(QStringLiteral("a null flag of %1").arg(isNull));
    switch (typeId) {
    case QMetaType::UnknownType:
        *value = QVariant();
        return true;
    case QMetaType::Bool: {
        qint8 flag = 0;
        if (!in.read(&flag))
            return false;
        *value = QVariant(flag != 0);
        return true;
    }
    case QMetaType::Int: {
        qint32 number = 0;
        if (!in.read(&number))
            return false;
        *value = QVariant(int(number));
        return true;
    }
    case QMetaType::QString: {
        QString text;
        if (!in.readString(&text, MaxStringLength))
            return false;
        *value = QVariant(text);
        return true;
    }
    case QMetaType::QStringList: {
        QStringList list;
        if (!in.readStringList(&list, MaxListCount, MaxStringLength))
            return false;
        *value = QVariant(list);
        return true;
    }
    case QMetaType::QByteArray: {
        QByteArray bytes;
        if (!in.readByteArray(&bytes, MaxByteArrayLength))
            return false;
        *value = QVariant(bytes);
        return true;
    }
    case QMetaType::QDate: {
        qint64 julianDay = 0;
        if (!in.read(&julianDay))
            return false;
        *value = QVariant(QDate::fromJulianDay(julianDay));
        return true;
    }
    case QMetaType::QDateTime: {
        QDateTime dateTime;
        if (!readDateTime(in, &dateTime))
            return false;
        *value = QVariant(dateTime);
        return true;
    }
    case QMetaType::QUrl: {
        QByteArray encoded;
        if (!in.readByteArray(&encoded, MaxStringLength))
            return false;
        *value = QVariant(QUrl::fromEncoded(encoded));
        return true;
    }
    default:
        return in.fail(QStringLiteral("a value of type %1").arg(typeId));
    }
}

void writeVariant(QDataStream &out, const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::UnknownType:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::QString:
    case QMetaType::QStringList:
    case QMetaType::QByteArray:
    case QMetaType::QDate:
    case QMetaType::QUrl:
        out << value;
        return;
    case QMetaType::QDateTime:
        out << QVariant(value.toDateTime().toUTC());
        return;
    default:
        if (value.canConvert<QString>())
            out << QVariant(value.toString());
        else
            out << QVariant();
    }
}

} // namespace SocialWire
