#include "platform/support/boundedreader.h"

#include <QIODevice>
#include <QtEndian>

namespace Support {

BoundedReader::BoundedReader(QDataStream &in)
    : mIn(in)
{
    if (!ok())
        mProblem = QStringLiteral("the stream had failed before");
}

QString BoundedReader::problem() const
{
    if (ok())
        return QString();
    // Another reader of the same stream, or the stream itself, failed first.
    return mProblem.isEmpty() ? QStringLiteral("unreadable") : mProblem;
}

qint64 BoundedReader::remaining() const
{
    return mIn.device() ? mIn.device()->bytesAvailable() : 0;
}

bool BoundedReader::refuse(QDataStream::Status status, const QString &reason)
{
    if (!ok())
        return false;
    const qint64 at = mIn.device() ? mIn.device()->pos() : 0;
    mProblem = QStringLiteral("at byte %1: %2").arg(at).arg(reason);
    mIn.setStatus(status);
    return false;
}

bool BoundedReader::fail(const QString &reason)
{
    return refuse(QDataStream::ReadCorruptData, reason);
}

bool BoundedReader::checkStatus()
{
    if (ok())
        return true;
    // QDataStream set it: the reason is ours to give.
    const QDataStream::Status status = mIn.status();
    mIn.resetStatus();
    return refuse(status,
                  status == QDataStream::ReadPastEnd ? QStringLiteral("cut short") : QStringLiteral("unreadable"));
}

bool BoundedReader::readCount(quint32 *count, quint32 limit, quint32 minimumEntryBytes)
{
    if (!read(count))
        return false;
    if (*count > limit)
        return fail(QStringLiteral("a count of %1, over the limit of %2").arg(*count).arg(limit));
    if (qint64(*count) * minimumEntryBytes > remaining())
        return refuse(QDataStream::ReadPastEnd,
                      QStringLiteral("%1 entries cannot fit in %2 bytes").arg(*count).arg(remaining()));
    return true;
}

bool BoundedReader::readLength(quint32 *length, quint64 limit, const char *what)
{
    if (!read(length))
        return false;
    if (*length == NullLength)
        return true;
    if (*length > limit)
        return fail(QStringLiteral("%1 of %2 bytes, over the limit of %3")
                            .arg(QLatin1String(what))
                            .arg(*length)
                            .arg(limit));
    if (*length > remaining())
        return refuse(QDataStream::ReadPastEnd,
                      QStringLiteral("%1 of %2 bytes in %3").arg(QLatin1String(what)).arg(*length).arg(remaining()));
    return true;
}

bool BoundedReader::readString(QString *text, quint32 maxLength)
{
    quint32 bytes = 0;
    if (!readLength(&bytes, quint64(maxLength) * 2, "a text"))
        return false;
    if (bytes == NullLength) {
        *text = QString();
        return true;
    }
    if (bytes % 2 != 0)
        return fail(QStringLiteral("a text of an odd length, %1 bytes").arg(bytes));
    QByteArray raw(qsizetype(bytes), Qt::Uninitialized);
    if (mIn.readRawData(raw.data(), int(bytes)) != int(bytes))
        return refuse(QDataStream::ReadPastEnd, QStringLiteral("cut short"));
    // Empty, not null, as QDataStream itself reads it.
    QString result(qsizetype(bytes / 2), Qt::Uninitialized);
    if (mIn.byteOrder() == QDataStream::BigEndian)
        qFromBigEndian<char16_t>(raw.constData(), result.size(), result.data());
    else
        qFromLittleEndian<char16_t>(raw.constData(), result.size(), result.data());
    *text = bytes == 0 ? QStringLiteral("") : result;
    return true;
}

bool BoundedReader::readByteArray(QByteArray *bytes, quint32 maxLength)
{
    quint32 length = 0;
    if (!readLength(&length, maxLength, "a byte array"))
        return false;
    if (length == NullLength) {
        *bytes = QByteArray();
        return true;
    }
    QByteArray result(qsizetype(length), Qt::Uninitialized);
    if (mIn.readRawData(result.data(), int(length)) != int(length))
        return refuse(QDataStream::ReadPastEnd, QStringLiteral("cut short"));
    *bytes = length == 0 ? QByteArray("") : result;
    return true;
}

bool BoundedReader::readStringList(QStringList *list, quint32 maxCount, quint32 maxLength)
{
    quint32 count = 0;
    // Every text takes its length at least.
    if (!readCount(&count, maxCount, 4))
        return false;
    QStringList result;
    result.reserve(qsizetype(count));
    for (quint32 i = 0; i < count; ++i) {
        QString entry;
        if (!readString(&entry, maxLength))
            return false;
        result.append(entry);
    }
    *list = result;
    return true;
}

bool BoundedReader::expectEnd()
{
    if (!ok())
        return false;
    if (!mIn.atEnd())
        return fail(QStringLiteral("%1 bytes after the end").arg(remaining()));
    return true;
}

} // namespace Support
