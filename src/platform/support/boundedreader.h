// Reads QDataStream's default forms from bytes that anyone may have written (a file, a peer on the
// bus): every count and length is checked against its limit and against the bytes still there
// before anything is sized from it.
#pragma once

#include <QDataStream>
#include <QString>
#include <QStringList>

#include <type_traits>

namespace Support {

// Borrows a stream for reading. The first failure is kept with its reason, for the caller to report
// once, and stops every later read; the stream is left in ReadPastEnd (the bytes end too early) or
// ReadCorruptData (anything else), so that code holding only the stream sees it too. A stream that
// had failed before reads nothing.
class BoundedReader
{
public:
    // Length of the null QString and QByteArray.
    static constexpr quint32 NullLength = 0xffffffff;

    explicit BoundedReader(QDataStream &in);

    bool ok() const { return mIn.status() == QDataStream::Ok; }
    // Why the bytes were refused, with the byte offset where it showed; empty while ok().
    QString problem() const;
    qint64 remaining() const;

    // An integer of the stream's fixed size.
    template<typename T>
    bool read(T *value)
    {
        static_assert(std::is_integral_v<T>, "fixed-size integers only");
        if (!ok())
            return false;
        mIn >> *value;
        return checkStatus();
    }
    // The count in front of a list: at most limit, and with entries of at least minimumEntryBytes
    // each, no more than the bytes left can hold.
    bool readCount(quint32 *count, quint32 limit, quint32 minimumEntryBytes);
    // At most maxLength UTF-16 code units. An empty text reads as empty, the null one as null.
    bool readString(QString *text, quint32 maxLength);
    bool readByteArray(QByteArray *bytes, quint32 maxLength);
    bool readStringList(QStringList *list, quint32 maxCount, quint32 maxLength);
    // Fails unless every byte has been read.
    bool expectEnd();

    // Refuses the bytes for a reason the stream's forms cannot see (an unknown version, an invalid
    // value); keeps the first reason. Returns false.
    bool fail(const QString &reason);

private:
    bool checkStatus();
    bool readLength(quint32 *length, quint64 limit, const char *what);
    bool refuse(QDataStream::Status status, const QString &reason);

    QDataStream &mIn;
    QString mProblem;
};

} // namespace Support
