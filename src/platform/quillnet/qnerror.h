// An error reported by the Quillnet client's error(Qn::QnError) signal: what failed, with the
// transport's, the service's and the cache's own descriptions.
#pragma once

#include <QMetaType>
#include <QString>

namespace Qn {

class QnError
{
public:
    enum ErrorType {
        NoError = 0,
        // The access token is no longer valid (expired or revoked): a new login is needed.
        AuthenticationError = 1,
        // The request did not get through: no connection, timeout, TLS or HTTP transport failure.
        // replyErrorString() carries the transport's text.
        NetworkError = 2,
        // The service answered the request with an error of its own; quillnetErrorString() carries it.
        ServiceError = 3,
        // The service's answer could not be understood (malformed or unexpected content).
        InvalidResponseError = 4,
        // The client cannot talk to the service at all: no service address configured or no
        // transport available. Nothing was sent; retrying without a change will fail the same way.
        NotAvailableError = 5,
        // The cache failed; cacheErrorString() carries the SQLite error text (for example
        // "database disk image is malformed" or "disk I/O error").
        CacheError = 6,
    };

    QnError() = default;
    explicit QnError(ErrorType type, const QString &quillnetErrorString = QString(),
                     const QString &replyErrorString = QString(), const QString &cacheErrorString = QString())
        : mType(type)
        , mQuillnetErrorString(quillnetErrorString)
        , mReplyErrorString(replyErrorString)
        , mCacheErrorString(cacheErrorString)
    {}

    ErrorType errorType() const { return mType; }
    void setErrorType(ErrorType type) { mType = type; }
    // Text of the transport (network reply) failure, empty when the transport was not involved.
    QString replyErrorString() const { return mReplyErrorString; }
    void setReplyErrorString(const QString &text) { mReplyErrorString = text; }
    // The service's or the client's own description of the failure.
    QString quillnetErrorString() const { return mQuillnetErrorString; }
    void setQuillnetErrorString(const QString &text) { mQuillnetErrorString = text; }
    // Error text of the cache database, set for CacheError.
    QString cacheErrorString() const { return mCacheErrorString; }
    void setCacheErrorString(const QString &text) { mCacheErrorString = text; }

    bool isError() const { return mType != NoError; }

    bool operator==(const QnError &other) const
    {
        return mType == other.mType && mReplyErrorString == other.mReplyErrorString
                && mQuillnetErrorString == other.mQuillnetErrorString && mCacheErrorString == other.mCacheErrorString;
    }
    bool operator!=(const QnError &other) const { return !(*this == other); }

private:
    ErrorType mType = NoError;
    QString mQuillnetErrorString;
    QString mReplyErrorString;
    QString mCacheErrorString;
};

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnError)
