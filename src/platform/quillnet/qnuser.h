// A Quillnet user's profile: the signed-in user, a friend, or someone asking to be one.
#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include "platform/quillnet/qnuserref.h"

namespace Qn {

class QnUser
{
public:
    QnUser() = default;
    QnUser(const QString &id, const QString &name)
        : mId(id)
        , mName(name)
    {}

    QString id() const { return mId; }
    void setId(const QString &id) { mId = id; }
    QString name() const { return mName; }
    void setName(const QString &name) { mName = name; }
    QString firstName() const { return mFirstName; }
    void setFirstName(const QString &firstName) { mFirstName = firstName; }
    QString lastName() const { return mLastName; }
    void setLastName(const QString &lastName) { mLastName = lastName; }
    QString about() const { return mAbout; }
    void setAbout(const QString &about) { mAbout = about; }
    QString email() const { return mEmail; }
    void setEmail(const QString &email) { mEmail = email; }
    // One or more addresses separated by white space, as the user typed them.
    QString website() const { return mWebsite; }
    void setWebsite(const QString &website) { mWebsite = website; }
    // "MM/dd/yyyy" as the service sends it; may be partial or empty.
    QString birthday() const { return mBirthday; }
    void setBirthday(const QString &birthday) { mBirthday = birthday; }
    QString mobilePhone() const { return mMobilePhone; }
    void setMobilePhone(const QString &mobilePhone) { mMobilePhone = mobilePhone; }
    // Address of the profile page.
    QString link() const { return mLink; }
    void setLink(const QString &link) { mLink = link; }

    QnUserRef ref() const { return QnUserRef(mId, mName); }
    bool isValid() const { return !mId.isEmpty(); }

    bool operator==(const QnUser &other) const
    {
        return mId == other.mId && mName == other.mName && mFirstName == other.mFirstName
                && mLastName == other.mLastName && mAbout == other.mAbout && mEmail == other.mEmail
                && mWebsite == other.mWebsite && mBirthday == other.mBirthday && mMobilePhone == other.mMobilePhone
                && mLink == other.mLink;
    }
    bool operator!=(const QnUser &other) const { return !(*this == other); }

private:
    QString mId;
    QString mName;
    QString mFirstName;
    QString mLastName;
    QString mAbout;
    QString mEmail;
    QString mWebsite;
    QString mBirthday;
    QString mMobilePhone;
    QString mLink;
};

typedef QList<QnUser> QnUsers;

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnUser)
Q_DECLARE_METATYPE(Qn::QnUsers)
