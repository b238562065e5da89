// One private message of a message thread.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

#include "platform/quillnet/qnuserref.h"

namespace Qn {

class QnMessage
{
public:
    QnMessage() = default;
    explicit QnMessage(const QString &id)
        : mId(id)
    {}

    QString id() const { return mId; }
    void setId(const QString &id) { mId = id; }
    QString threadId() const { return mThreadId; }
    void setThreadId(const QString &threadId) { mThreadId = threadId; }
    QnUserRef from() const { return mFrom; }
    void setFrom(const QnUserRef &from) { mFrom = from; }
    // The message text.
    QString content() const { return mContent; }
    void setContent(const QString &content) { mContent = content; }
    QDateTime created() const { return mCreated; }
    void setCreated(const QDateTime &created) { mCreated = created; }

    bool isValid() const { return !mId.isEmpty(); }

    bool operator==(const QnMessage &other) const
    {
        return mId == other.mId && mThreadId == other.mThreadId && mFrom == other.mFrom && mContent == other.mContent
                && mCreated == other.mCreated;
    }
    bool operator!=(const QnMessage &other) const { return !(*this == other); }

private:
    QString mId;
    QString mThreadId;
    QnUserRef mFrom;
    QString mContent;
    QDateTime mCreated;
};

typedef QList<QnMessage> QnMessages;

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnMessage)
Q_DECLARE_METATYPE(Qn::QnMessages)
