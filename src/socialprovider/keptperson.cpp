#include "socialprovider/keptperson.h"

#include <QStringList>

#include <array>

#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnuser.h"
#include "socialprovider/quillnetplugin.h"

namespace {

// The user's texts a record is made of, in the order they are packed.
enum Text { UserId, FirstName, LastName, About, Email, Website, MobilePhone, Link, TextCount };

// One mode byte (1 when a text needs two bytes a character), then per text its length plus one in
// 7-bit groups (0 for the null text, which the record's stream form tells from the empty one) and
// its characters. Packing and unpacking give back the same texts, unpaired surrogates included.
template<size_t N>
QByteArray pack(const std::array<QString, N> &texts)
{
    bool wide = false;
    qsizetype size = 1;
    for (const QString &text : texts) {
        for (QChar c : text)
            wide = wide || c.unicode() > 0xff;
        size += 5 + text.size() * 2;
    }
    QByteArray packed;
    packed.reserve(size);
    packed.append(char(wide ? 1 : 0));
    for (const QString &text : texts) {
        quint64 length = text.isNull() ? 0 : quint64(text.size()) + 1;
        do {
            packed.append(char((length & 0x7f) | (length > 0x7f ? 0x80 : 0)));
            length >>= 7;
        } while (length);
        for (QChar c : text) {
            if (wide)
                packed.append(char(c.unicode() >> 8));
            packed.append(char(c.unicode() & 0xff));
        }
    }
    packed.squeeze();
    return packed;
}

// The first count texts of a packed block; blocks are ours, so a short one only ends the texts early.
template<size_t N>
std::array<QString, N> unpack(const QByteArray &packed, size_t count = N)
{
    std::array<QString, N> texts;
    const auto *bytes = reinterpret_cast<const uchar *>(packed.constData());
    const qsizetype end = packed.size();
    qsizetype at = 1;
    const int width = end > 0 && bytes[0] == 1 ? 2 : 1;
    for (size_t i = 0; i < count && at < end; ++i) {
        quint64 length = 0;
        int shift = 0;
        while (at < end && shift < 64) {
            length |= quint64(bytes[at] & 0x7f) << shift;
            shift += 7;
            if (!(bytes[at++] & 0x80))
                break;
        }
        if (length == 0)
            continue;
        const qsizetype characters = qMin(qsizetype(length - 1), (end - at) / width);
        QString text(characters, Qt::Uninitialized);
        QChar *out = text.data();
        for (qsizetype c = 0; c < characters; ++c, at += width)
            out[c] = QChar(width == 2 ? char16_t(bytes[at] << 8 | bytes[at + 1]) : char16_t(bytes[at]));
        texts[i] = text;
    }
    return texts;
}

} // namespace

KeptStatus::KeptStatus(const Qn::QnPost &post)
    : packedMessage(pack(std::array<QString, 1> {post.message()}))
    , updated(post.updated())
{}

QString KeptStatus::message() const
{
    return unpack<1>(packedMessage)[0];
}

KeptPerson::KeptPerson(const QString &accountId, const Qn::QnUser &user, bool self, const KeptStatus *status)
    : mAccountId(accountId)
    , mTexts(pack(std::array<QString, TextCount> {user.id(), user.firstName(), user.lastName(), user.about(),
                                                  user.email(), user.website(), user.mobilePhone(), user.link()}))
    , mBirthday(QDate::fromString(user.birthday(), QStringLiteral("MM/dd/yyyy")))
    , mSelf(self)
    , mHasStatus(status)
{
    if (status)
        mStatus = *status;
}

QString KeptPerson::userId() const
{
    return unpack<TextCount>(mTexts, 1)[UserId];
}

SocialNetworkPerson KeptPerson::person() const
{
    const std::array<QString, TextCount> texts = unpack<TextCount>(mTexts);
    SocialNetworkPerson person;
    person.setProperty(SocialGenericData::Id, mAccountId + QLatin1Char(':') + texts[UserId]);
    person.setProperty(SocialNetworkPerson::Relationship,
                       int(mSelf ? SocialNetworkPerson::Self : SocialNetworkPerson::Friend));
    person.setParentAccount(mAccountId);
    person.setProperty(SocialNetworkPerson::FirstName, texts[FirstName]);
    person.setProperty(SocialNetworkPerson::LastName, texts[LastName]);
    person.setProperty(SocialServiceAccount::SocialServiceId, QuillnetPlugin::ProviderName);
    person.setProperty(SocialNetworkPerson::AboutMe, texts[About]);
    if (!texts[Email].isEmpty())
        person.setProperty(QStringLiteral("EmailAddresses"), QStringList {texts[Email]});
    if (!texts[Website].isEmpty())
        person.setProperty(QStringLiteral("Websites"),
                           texts[Website].simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts));
    if (mBirthday.isValid())
        person.setProperty(QStringLiteral("Birthday"), mBirthday);
    if (!texts[MobilePhone].isEmpty())
        person.setProperty(QStringLiteral("PhoneNumber"), texts[MobilePhone]);
    if (!texts[Link].isEmpty())
        person.setProperty(QStringLiteral("ProfileLink"), texts[Link]);
    if (mHasStatus) {
        person.setProperty(SocialNetworkPerson::Status, mStatus.message());
        person.setProperty(SocialNetworkPerson::StatusChangeTime, mStatus.updated);
    }
    return person;
}
