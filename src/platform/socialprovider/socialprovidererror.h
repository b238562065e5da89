// Why a social data request failed: a type and a description for logs.
#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

class QDataStream;

class SocialProviderError
{
public:
    // The types this framework and the daemon report; other values pass through unchanged.
    enum ErrorType {
        NoError = 0,
        InvalidRequestError = 1, // a request type that is not served, or bytes that do not read
        CanceledError = 5,
        NotInitializedError = 6, // the provider has no usable account
        WrongRequestClassError = 7, // the request object is not of the class its type needs
    };

    SocialProviderError() = default;
    SocialProviderError(int type, const QString &description)
        : mType(type)
        , mDescription(description)
    {}

    int type() const { return mType; }
    QString description() const { return mDescription; }

    bool operator==(const SocialProviderError &other) const
    {
        return mType == other.mType && mDescription == other.mDescription;
    }
    bool operator!=(const SocialProviderError &other) const { return !(*this == other); }

private:
    int mType = NoError;
    QString mDescription;
};

// qint32 type, then the description as QString.
QDataStream &operator<<(QDataStream &out, const SocialProviderError &error);
// Bounded like every reader of the framework; a form that does not read leaves the stream failed.
QDataStream &operator>>(QDataStream &in, SocialProviderError &error);

Q_DECLARE_METATYPE(SocialProviderError)
