// One entry of the service's own notification list ("X commented on your photo").
#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

namespace Qn {

class QnNotification
{
public:
    QnNotification() = default;
    explicit QnNotification(const QString &id)
        : mId(id)
    {}

    QString id() const { return mId; }
    void setId(const QString &id) { mId = id; }
    QString title() const { return mTitle; }
    void setTitle(const QString &title) { mTitle = title; }
    // Kind of the object the notification is about: "stream", "photo", "album", "friend", "event", ...
    QString objectType() const { return mObjectType; }
    void setObjectType(const QString &objectType) { mObjectType = objectType; }
    QString objectId() const { return mObjectId; }
    void setObjectId(const QString &objectId) { mObjectId = objectId; }
    bool unread() const { return mUnread; }
    void setUnread(bool unread) { mUnread = unread; }
    QDateTime updatedTime() const { return mUpdatedTime; }
    void setUpdatedTime(const QDateTime &updatedTime) { mUpdatedTime = updatedTime; }

    bool isValid() const { return !mId.isEmpty(); }

    bool operator==(const QnNotification &other) const
    {
        return mId == other.mId && mTitle == other.mTitle && mObjectType == other.mObjectType
                && mObjectId == other.mObjectId && mUnread == other.mUnread && mUpdatedTime == other.mUpdatedTime;
    }
    bool operator!=(const QnNotification &other) const { return !(*this == other); }

private:
    QString mId;
    QString mTitle;
    QString mObjectType;
    QString mObjectId;
    bool mUnread = false;
    QDateTime mUpdatedTime;
};

typedef QList<QnNotification> QnNotificationList;

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnNotification)
Q_DECLARE_METATYPE(Qn::QnNotificationList)
