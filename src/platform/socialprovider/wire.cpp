#include "platform/socialprovider/wire_p.h"

#include <QDate>
#include <QDateTime>
#include <QIODevice>
#include <QTime>
#include <QUrl>
#include <QtEndian>

namespace SocialWire {

namespace {

qint64 bytesLeft(QDataStream &in)
{
    return in.device() ? in.device()->bytesAvailable() : 0;
}

bool readLength(QDataStream &in, quint32 limit, quint32 *length, bool *isNull)
{
    if (in.status() != QDataStream::Ok)
        return false;
    in >> *length;
    if (in.status() != QDataStream::Ok)
        return false;
    *isNull = *length == NullLength;
    if (*isNull) {
        *length = 0;
        return true;
    }
    if (*length > limit)
        return fail(in);
    if (*length > bytesLeft(in)) {
        in.setStatus(QDataStream::ReadPastEnd);
        return false;
    }
    return true;
}

template<typename T>
bool readPlain(QDataStream &in, T *value)
{
    if (in.status() != QDataStream::Ok)
        return false;
    in >> *value;
    return in.status() == QDataStream::Ok;
}

bool readDateTime(QDataStream &in, QDateTime *dateTime)
{
    qint64 julianDay = 0;
    quint32 msecs = 0;
    qint8 spec = 0;
    if (!readPlain(in, &julianDay) || !readPlain(in, &msecs) || !readPlain(in, &spec))
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
        if (!readPlain(in, &offset))
            return false;
        *dateTime = QDateTime(date, time, Qt::OffsetFromUTC, offset);
        return true;
    }
    default:
        // Time zones by name are not part of the form.
        return fail(in);
    }
}

} // namespace

bool fail(QDataStream &in)
{
    if (in.status() == QDataStream::Ok)
        in.setStatus(QDataStream::ReadCorruptData);
    return false;
}

bool readCount(QDataStream &in, quint32 limit, quint32 minimumEntrySize, quint32 *count)
{
    if (!readPlain(in, count))
        return false;
    if (*count > limit)
        return fail(in);
    if (qint64(*count) * minimumEntrySize > bytesLeft(in)) {
        in.setStatus(QDataStream::ReadPastEnd);
        return false;
    }
    return true;
}

bool readString(QDataStream &in, QString *text)
{
    quint32 length = 0;
    bool isNull = false;
    if (!readLength(in, MaxStringLength * 2, &length, &isNull))
        return false;
    if (isNull) {
        *text = QString();
        return true;
    }
    if (length % 2 != 0)
        return fail(in);
    QByteArray raw(int(length), Qt::Uninitialized);
    if (in.readRawData(raw.data(), int(length)) != int(length)) {
        in.setStatus(QDataStream::ReadPastEnd);
        return false;
    }
    QString result(int(length / 2), Qt::Uninitialized);
    const auto *units = reinterpret_cast<const char16_t *>(raw.constData());
    for (int i = 0; i < result.size(); ++i) {
        char16_t unit;
        memcpy(&unit, units + i, sizeof unit);
        result[i] = QChar(in.byteOrder() == QDataStream::BigEndian ? qFromBigEndian(unit) : qFromLittleEndian(unit));
    }
    // An empty text read back is empty, not null, as QDataStream itself reads it.
    *text = length == 0 ? QString(QLatin1String("")) : result;
    return true;
}

bool readByteArray(QDataStream &in, QByteArray *bytes, quint32 limit)
{
    quint32 length = 0;
    bool isNull = false;
    if (!readLength(in, limit, &length, &isNull))
        return false;
    if (isNull) {
        *bytes = QByteArray();
        return true;
    }
    QByteArray result(int(length), Qt::Uninitialized);
    if (in.readRawData(result.data(), int(length)) != int(length)) {
        in.setStatus(QDataStream::ReadPastEnd);
        return false;
    }
    *bytes = length == 0 ? QByteArray("") : result;
    return true;
}

bool readStringList(QDataStream &in, QStringList *list)
{
    quint32 count = 0;
    if (!readCount(in, MaxListCount, 4, &count))
        return false;
    QStringList result;
    result.reserve(int(count));
    for (quint32 i = 0; i < count; ++i) {
        QString entry;
        if (!readString(in, &entry))
            return false;
        result.append(entry);
    }
    *list = result;
    return true;
}

bool readVariant(QDataStream &in, QVariant *value)
{
    quint32 typeId = 0;
    qint8 isNull = 0;
    if (!readPlain(in, &typeId) || !readPlain(in, &isNull))
        return false;
    if (isNull != 0 && isNull != 1)
        return fail(in);
    switch (typeId) {
    case QMetaType::UnknownType:
        *value = QVariant();
        return true;
    case QMetaType::Bool: {
        qint8 flag = 0;
        if (!readPlain(in, &flag))
            return false;
        *value = QVariant(flag != 0);
        return true;
    }
    case QMetaType::Int: {
        qint32 number = 0;
        if (!readPlain(in, &number))
            return false;
        *value = QVariant(int(number));
        return true;
    }
    case QMetaType::QString: {
        QString text;
        if (!readString(in, &text))
            return false;
        *value = QVariant(text);
        return true;
    }
    case QMetaType::QStringList: {
        QStringList list;
        if (!readStringList(in, &list))
            return false;
        *value = QVariant(list);
        return true;
    }
    case QMetaType::QByteArray: {
        QByteArray bytes;
        if (!readByteArray(in, &bytes))
            return false;
        *value = QVariant(bytes);
        return true;
    }
    case QMetaType::QDate: {
        qint64 julianDay = 0;
        if (!readPlain(in, &julianDay))
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
        if (!readByteArray(in, &encoded, MaxStringLength))
            return false;
        *value = QVariant(QUrl::fromEncoded(encoded));
        return true;
    }
    default:
        return fail(in);
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
