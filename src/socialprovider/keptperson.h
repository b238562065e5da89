// A friend's full contact record in the form the plug-in keeps it for minutes, by the thousand: the
// texts it is made of in one block (a byte a character where they allow it), and the status shared
// with the plug-in's status messages. person() makes the record again, the same to the byte.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QString>

#include "platform/socialprovider/socialgenericdata.h"

namespace Qn {
class QnPost;
class QnUser;
} // namespace Qn

// A friend's latest status message: what the record shows of the post.
struct KeptStatus
{
    KeptStatus() = default;
    explicit KeptStatus(const Qn::QnPost &post);
    QString message() const;

    QByteArray packedMessage;
    QDateTime updated;
};

class KeptPerson
{
public:
    KeptPerson() = default;
    // The record of user for the account accountId; self when the user is the account's own.
    KeptPerson(const QString &accountId, const Qn::QnUser &user, bool self, const KeptStatus *status);

    QString userId() const;
    SocialNetworkPerson person() const;

private:
    QString mAccountId; // shared by every record of the account
    QByteArray mTexts;
    KeptStatus mStatus;
    QDate mBirthday;
    bool mSelf = false;
    bool mHasStatus = false;
};
