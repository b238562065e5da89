// What a retrieve call asks for: whose data (or which thread), how many items from which offset,
// and which profile fields.
#pragma once

#include <QMetaType>
#include <QSet>
#include <QString>

namespace Qn {

class QnDataFilter
{
public:
    QnDataFilter() = default;
    explicit QnDataFilter(const QString &subjectId, int limit = NoLimit, int offset = 0)
        : mSubjectId(subjectId)
        , mLimit(limit)
        , mOffset(offset)
    {}

    // A limit of NoLimit (or any value below 1) leaves the number of items to the service or, for
    // cache reads, returns everything the cache holds.
    static constexpr int NoLimit = -1;

    // The user whose feed, friends or posts are asked for; for messages the thread id. Empty means
    // the signed-in user where that makes sense.
    QString subjectId() const { return mSubjectId; }
    void setSubjectId(const QString &subjectId) { mSubjectId = subjectId; }
    int limit() const { return mLimit; }
    void setLimit(int limit) { mLimit = limit; }
    // Number of items to skip; negative values count as 0.
    int offset() const { return mOffset; }
    void setOffset(int offset) { mOffset = offset; }
    // Profile fields to return with users ("first_name", "birthday", ...); empty means the service's
    // default set.
    QSet<QString> fields() const { return mFields; }
    void setFields(const QSet<QString> &fields) { mFields = fields; }

    bool operator==(const QnDataFilter &other) const
    {
        return mSubjectId == other.mSubjectId && mLimit == other.mLimit && mOffset == other.mOffset
                && mFields == other.mFields;
    }
    bool operator!=(const QnDataFilter &other) const { return !(*this == other); }

private:
    QString mSubjectId;
    int mLimit = NoLimit;
    int mOffset = 0;
    QSet<QString> mFields;
};

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnDataFilter)
