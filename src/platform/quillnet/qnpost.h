// A post of the Quillnet news feed or a user's status message.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

#include "platform/quillnet/qnlinkinfo.h"
#include "platform/quillnet/qnuserref.h"

namespace Qn {

class QnPost
{
public:
    QnPost() = default;
    explicit QnPost(const QString &id)
        : mId(id)
    {}

    QString id() const { return mId; }
    void setId(const QString &id) { mId = id; }
    // The author.
    QnUserRef from() const { return mFrom; }
    void setFrom(const QnUserRef &from) { mFrom = from; }
    // Recipients when the post was written on other users' walls; empty otherwise.
    QnUserRefs to() const { return mTo; }
    void setTo(const QnUserRefs &to) { mTo = to; }
    QString message() const { return mMessage; }
    void setMessage(const QString &message) { mMessage = message; }
    // Text the service generates for posts without a message ("X is now friends with Y").
    QString story() const { return mStory; }
    void setStory(const QString &story) { mStory = story; }
    // Address of the attached picture, empty when there is none.
    QString picture() const { return mPicture; }
    void setPicture(const QString &picture) { mPicture = picture; }
    QnLinkInfo linkInfo() const { return mLinkInfo; }
    void setLinkInfo(const QnLinkInfo &linkInfo) { mLinkInfo = linkInfo; }
    // "status", "link", "photo", "checkin", ...
    QString type() const { return mType; }
    void setType(const QString &type) { mType = type; }
    // Id of the application that published the post, empty for posts made on the service itself.
    QString application() const { return mApplication; }
    void setApplication(const QString &application) { mApplication = application; }
    int likes() const { return mLikes; }
    void setLikes(int likes) { mLikes = likes; }
    int commentCount() const { return mCommentCount; }
    void setCommentCount(int commentCount) { mCommentCount = commentCount; }
    QDateTime created() const { return mCreated; }
    void setCreated(const QDateTime &created) { mCreated = created; }
    QDateTime updated() const { return mUpdated; }
    void setUpdated(const QDateTime &updated) { mUpdated = updated; }

    bool isValid() const { return !mId.isEmpty(); }

    bool operator==(const QnPost &other) const
    {
        return mId == other.mId && mFrom == other.mFrom && mTo == other.mTo && mMessage == other.mMessage
                && mStory == other.mStory && mPicture == other.mPicture && mLinkInfo == other.mLinkInfo
                && mType == other.mType && mApplication == other.mApplication && mLikes == other.mLikes
                && mCommentCount == other.mCommentCount && mCreated == other.mCreated && mUpdated == other.mUpdated;
    }
    bool operator!=(const QnPost &other) const { return !(*this == other); }

private:
    QString mId;
    QnUserRef mFrom;
    QnUserRefs mTo;
    QString mMessage;
    QString mStory;
    QString mPicture;
    QnLinkInfo mLinkInfo;
    QString mType;
    QString mApplication;
    int mLikes = 0;
    int mCommentCount = 0;
    QDateTime mCreated;
    QDateTime mUpdated;
};

typedef QList<QnPost> QnPosts;

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnPost)
Q_DECLARE_METATYPE(Qn::QnPosts)
