// An event the user is invited to.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

#include "platform/quillnet/qnuserref.h"

namespace Qn {

class QnEvent
{
public:
    QnEvent() = default;
    explicit QnEvent(const QString &id)
        : mId(id)
    {}

    QString id() const { return mId; }
    void setId(const QString &id) { mId = id; }
    QString name() const { return mName; }
    void setName(const QString &name) { mName = name; }
    // Who created the event (and so sent the invitation).
    QnUserRef owner() const { return mOwner; }
    void setOwner(const QnUserRef &owner) { mOwner = owner; }
    QString location() const { return mLocation; }
    void setLocation(const QString &location) { mLocation = location; }
    QDateTime startTime() const { return mStartTime; }
    void setStartTime(const QDateTime &startTime) { mStartTime = startTime; }

    bool isValid() const { return !mId.isEmpty(); }

    bool operator==(const QnEvent &other) const
    {
        return mId == other.mId && mName == other.mName && mOwner == other.mOwner && mLocation == other.mLocation
                && mStartTime == other.mStartTime;
    }
    bool operator!=(const QnEvent &other) const { return !(*this == other); }

private:
    QString mId;
    QString mName;
    QnUserRef mOwner;
    QString mLocation;
    QDateTime mStartTime;
};

typedef QList<QnEvent> QnEvents;

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnEvent)
Q_DECLARE_METATYPE(Qn::QnEvents)
