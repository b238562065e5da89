// The records that a social data provider hands to the contacts framework: a class name and named
// properties, kept in the order they were first set. The derived records only name their class.
#pragma once

#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

class QDataStream;

class SocialGenericData
{
public:
    // Property names every record may carry.
    static const QString Id;
    static const QString Description;
    static const QString ParentAccount;

    explicit SocialGenericData(const QString &className = QString());

    QString className() const { return mClassName; }

    // Replaces the value of a property that is set already, in its place; appends a new one.
    void setProperty(const QString &name, const QVariant &value);
    // Invalid when the property is not set.
    QVariant property(const QString &name) const;
    bool hasProperty(const QString &name) const;
    // In the order in which they were first set.
    QStringList propertyNames() const;
    int propertyCount() const { return mProperties.size(); }

    // The id of the account the record belongs to, kept as the ParentAccount property.
    void setParentAccount(const QString &accountId);
    QString parentAccount() const;

    bool operator==(const SocialGenericData &other) const;
    bool operator!=(const SocialGenericData &other) const { return !(*this == other); }

private:
    QString mClassName;
    QList<QPair<QString, QVariant>> mProperties;
};

// A person of the social network: the user or a friend.
class SocialNetworkPerson : public SocialGenericData
{
public:
    static const QString ClassName;
    static const QString FirstName;
    static const QString LastName;
    static const QString AboutMe;
    static const QString Relationship; // int, one of RelationshipType
    static const QString PhoneNumber;
    static const QString Status;
    static const QString StatusChangeTime;

    enum RelationshipType {
        Self = 1,
        Friend = 2,
    };

    SocialNetworkPerson();
};

// Something a person did on the service.
class SocialActivity : public SocialGenericData
{
public:
    static const QString ClassName;

    SocialActivity();
};

// The user's account with the provider.
class SocialServiceAccount : public SocialGenericData
{
public:
    static const QString ClassName;
    static const QString SocialServiceId;
    static const QString AccountName;
    static const QString UserName;
    static const QString State; // int
    static const QString ProfileId;
    static const QString Avatar; // a local file

    SocialServiceAccount();
};

// The service the provider speaks for.
class SocialService : public SocialGenericData
{
public:
    static const QString ClassName;
    static const QString ProviderName;
    static const QString Icon;
    static const QString Website; // QUrl

    SocialService();
};

// The class name, the number of properties as quint32, then each property's name (QString) and
// value (QVariant). Only the value types of docs/socialprovider.md are written as they are.
QDataStream &operator<<(QDataStream &out, const SocialGenericData &data);
// Bounded: counts and sizes are checked against their limits and the bytes present; a form that
// does not read leaves the stream failed and the record unchanged.
QDataStream &operator>>(QDataStream &in, SocialGenericData &data);

Q_DECLARE_METATYPE(SocialGenericData)
Q_DECLARE_METATYPE(SocialNetworkPerson)
Q_DECLARE_METATYPE(SocialActivity)
Q_DECLARE_METATYPE(SocialServiceAccount)
Q_DECLARE_METATYPE(SocialService)
