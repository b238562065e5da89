// A private message thread (conversation) as listed in a message folder.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

#include "platform/quillnet/qnuserref.h"

namespace Qn {

class QnThread
{
public:
    QnThread() = default;
    explicit QnThread(const QString &id)
        : mId(id)
    {}

    QString id() const { return mId; }
    void setId(const QString &id) { mId = id; }
    QString subject() const { return mSubject; }
    void setSubject(const QString &subject) { mSubject = subject; }
    // Time of the latest activity in the thread.
    QDateTime updatedTime() const { return mUpdatedTime; }
    void setUpdatedTime(const QDateTime &updatedTime) { mUpdatedTime = updatedTime; }
    // Number of messages in the thread the user has not read; 0 when all are read.
    int unread() const { return mUnread; }
    void setUnread(int unread) { mUnread = unread; }
    // Authors of the thread's messages other than the user, latest first.
    QnUserRefs senders() const { return mSenders; }
    void setSenders(const QnUserRefs &senders) { mSenders = senders; }

    bool isValid() const { return !mId.isEmpty(); }

    bool operator==(const QnThread &other) const
    {
        return mId == other.mId && mSubject == other.mSubject && mUpdatedTime == other.mUpdatedTime
                && mUnread == other.mUnread && mSenders == other.mSenders;
    }
    bool operator!=(const QnThread &other) const { return !(*this == other); }

private:
    QString mId;
    QString mSubject;
    QDateTime mUpdatedTime;
    int mUnread = 0;
    QnUserRefs mSenders;
};

typedef QList<QnThread> QnThreads;

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnThread)
Q_DECLARE_METATYPE(Qn::QnThreads)
