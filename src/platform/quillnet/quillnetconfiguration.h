// Everything a Quillnet client object needs to talk to the service: the access token, whose identity
// it acts as, the service address, the cache and the locale of texts the service sends.
#pragma once

#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "platform/quillnet/qncache.h"

namespace Qn {

class QuillnetConfiguration
{
public:
    // Whose identity the access token stands for.
    enum UserIdentityType {
        UserIdentity = 0, // the signed-in user
    };

    // Longest access token sent. "Authorization: Bearer <token>" must fit in one header line of
    // 8 KiB, the smallest limit common HTTP servers put on a line (nginx's 8k header buffer,
    // Apache's 8190-byte LimitRequestFieldSize); a longer token would be refused by the server
    // before the service ever saw it.
    static constexpr int MaxAccessTokenLength = 8000;

    // The one definition of a token that can go into the Authorization header: printable ASCII
    // without blanks, 1 to MaxAccessTokenLength characters. Whoever hands out tokens refuses others.
    static bool isUsableAccessToken(const QString &token);

    explicit QuillnetConfiguration(const QString &accessToken = QString(), int userIdentityType = UserIdentity)
        : mAccessToken(accessToken)
        , mUserIdentityType(userIdentityType)
    {}

    QString accessToken() const { return mAccessToken; }
    int userIdentityType() const { return mUserIdentityType; }

    // Not owned; the client stops using it when it is deleted.
    QnCache *cache() const { return mCache; }
    void setCache(QnCache *cache) { mCache = cache; }
    // Locale name ("en_GB") for texts the service localises.
    QString locale() const { return mLocale; }
    void setLocale(const QString &locale) { mLocale = locale; }
    // Base address of the service's REST interface.
    QUrl serviceUrl() const { return mServiceUrl; }
    void setServiceUrl(const QUrl &serviceUrl) { mServiceUrl = serviceUrl; }
    // Milliseconds a request may go without any progress before it is abandoned.
    int transferTimeout() const { return mTransferTimeout; }
    void setTransferTimeout(int milliseconds)
    {
        mTransferTimeout = milliseconds > 0 ? milliseconds : DefaultTransferTimeout;
    }
    // Milliseconds a request may take in all, however steadily its bytes trickle in (three times
    // this for a download); then it is abandoned like one without progress.
    int requestDeadline() const { return mRequestDeadline; }
    void setRequestDeadline(int milliseconds)
    {
        mRequestDeadline = milliseconds > 0 ? milliseconds : DefaultRequestDeadline;
    }
    // The process's network access manager, shared so that idle connections and their wake-ups are
    // kept once. Not owned; without one (or once it is deleted) the client makes its own.
    QNetworkAccessManager *networkAccessManager() const { return mNetworkAccessManager; }
    void setNetworkAccessManager(QNetworkAccessManager *manager) { mNetworkAccessManager = manager; }

    static constexpr int DefaultTransferTimeout = 30000;
    // Below the shortest safety timer of the daemon's imports (30 s), so that no import waits for a
    // trickling answer.
    static constexpr int DefaultRequestDeadline = 25000;

private:
    QString mAccessToken;
    int mUserIdentityType = UserIdentity;
    QPointer<QnCache> mCache;
    QString mLocale;
    QUrl mServiceUrl;
    int mTransferTimeout = DefaultTransferTimeout;
    int mRequestDeadline = DefaultRequestDeadline;
    QPointer<QNetworkAccessManager> mNetworkAccessManager;
};

} // namespace Qn
