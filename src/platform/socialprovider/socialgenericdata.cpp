#include "platform/socialprovider/socialgenericdata.h"

#include <QDataStream>

#include "platform/socialprovider/wire_p.h"

const QString SocialGenericData::Id = QStringLiteral("Id");
const QString SocialGenericData::Description = QStringLiteral("Description");
const QString SocialGenericData::ParentAccount = QStringLiteral("ParentAccount");

const QString SocialNetworkPerson::ClassName = QStringLiteral("SocialNetworkPerson");
const QString SocialNetworkPerson::FirstName = QStringLiteral("FirstName");
const QString SocialNetworkPerson::LastName = QStringLiteral("LastName");
const QString SocialNetworkPerson::AboutMe = QStringLiteral("AboutMe");
const QString SocialNetworkPerson::Relationship = QStringLiteral("Relationship");
const QString SocialNetworkPerson::PhoneNumber = QStringLiteral("PhoneNumber");
const QString SocialNetworkPerson::Status = QStringLiteral("Status");
const QString SocialNetworkPerson::StatusChangeTime = QStringLiteral("StatusChangeTime");

const QString SocialActivity::ClassName = QStringLiteral("SocialActivity");

const QString SocialServiceAccount::ClassName = QStringLiteral("SocialServiceAccount");
const QString SocialServiceAccount::SocialServiceId = QStringLiteral("SocialServiceId");
const QString SocialServiceAccount::AccountName = QStringLiteral("AccountName");
const QString SocialServiceAccount::UserName = QStringLiteral("UserName");
const QString SocialServiceAccount::State = QStringLiteral("State");
const QString SocialServiceAccount::ProfileId = QStringLiteral("ProfileId");
const QString SocialServiceAccount::Avatar = QStringLiteral("Avatar");

const QString SocialService::ClassName = QStringLiteral("SocialService");
const QString SocialService::ProviderName = QStringLiteral("ProviderName");
const QString SocialService::Icon = QStringLiteral("Icon");
const QString SocialService::Website = QStringLiteral("Website");

SocialGenericData::SocialGenericData(const QString &className)
    : mClassName(className)
{}

void SocialGenericData::setProperty(const QString &name, const QVariant &value)
{
    for (auto &property : mProperties) {
        if (property.first == name) {
            property.second = value;
            return;
        }
    }
    mProperties.append(qMakePair(name, value));
}

QVariant SocialGenericData::property(const QString &name) const
{
    for (const auto &property : mProperties) {
        if (property.first == name)
            return property.second;
    }
    return QVariant();
}

bool SocialGenericData::hasProperty(const QString &name) const
{
    for (const auto &property : mProperties) {
        if (property.first == name)
            return true;
    }
    return false;
}

QStringList SocialGenericData::propertyNames() const
{
    QStringList names;
    names.reserve(mProperties.size());
    for (const auto &property : mProperties)
        names.append(property.first);
    return names;
}

void SocialGenericData::setParentAccount(const QString &accountId)
{
    setProperty(ParentAccount, accountId);
}

QString SocialGenericData::parentAccount() const
{
    return property(ParentAccount).toString();
}

bool SocialGenericData::operator==(const SocialGenericData &other) const
{
    return mClassName == other.mClassName && mProperties == other.mProperties;
}

SocialNetworkPerson::SocialNetworkPerson()
    : SocialGenericData(ClassName)
{}

SocialActivity::SocialActivity()
    : SocialGenericData(ClassName)
{}

SocialServiceAccount::SocialServiceAccount()
    : SocialGenericData(ClassName)
{}

SocialService::SocialService()
    : SocialGenericData(ClassName)
{}

QDataStream &operator<<(QDataStream &out, const SocialGenericData &data)
{
    const QStringList names = data.propertyNames();
    out << data.className() << quint32(names.size());
    for (const QString &name : names) {
        out << name;
        SocialWire::writeVariant(out, data.property(name));
    }
    return out;
}

QDataStream &operator>>(QDataStream &in, SocialGenericData &data)
{
    Support::BoundedReader reader(in);
    QString className;
    quint32 count = 0;
    // A property is at least its name's length and a variant's type and null flag.
    if (!reader.readString(&className, SocialWire::MaxStringLength)
        || !reader.readCount(&count, SocialWire::MaxPropertyCount, 4 + 5))
        return in;
    SocialGenericData result(className);
    for (quint32 i = 0; i < count; ++i) {
        QString name;
        QVariant value;
        if (!reader.readString(&name, SocialWire::MaxStringLength) || !SocialWire::readVariant(reader, &value))
            return in;
        result.setProperty(name, value);
    }
    data = result;
    return in;
}
