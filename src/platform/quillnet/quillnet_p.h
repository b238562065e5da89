// Internals of Quillnet: the request description and the HTTP transport that carries requests to
// the service and turns its answers into cache writes and signals.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qndatafilter.h"
#include "platform/quillnet/qnerror.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/quillnetconfiguration.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace Qn {

class Quillnet;

// One request to the service, with what its answer must be matched against.
struct QnRequest
{
    using Kind = RequestKind;

    explicit QnRequest(Kind kind)
        : kind(kind)
    {}
    const char *name() const;

    Kind kind;
    QnDataFilter filter;
    // The user (feed, friends, profile, picture), thread (messages) or event the request is about.
    QString id;
    QUrl url;
    QStringList ids;
    PictureType pictureType = SmallPicture;
    MessageBoxType folder = Inbox;
};

class QuillnetPrivate
{
    Q_DISABLE_COPY(QuillnetPrivate)

public:
    // Largest answer body read from the service's API, and from downloads.
    static constexpr qint64 MaxJsonSize = 4 * 1024 * 1024;
    static constexpr qint64 MaxDataSize = QnCache::MaxFileSize;
    // Most ids sent in one request; longer lists are split (marking read) or refused.
    static constexpr int MaxIdsPerRequest = 100;
    static constexpr int MaxRedirects = 5;
    // Status message requests in flight at once; later ones wait here. A friend import asks for
    // every batch at once (250 for 5000 friends), and the transport, which talks to a host over at
    // most six connections, would keep all the others waiting with their whole reply state (about
    // 10 KiB each). Waiting here, a request is a small description. Other requests come a few at a
    // time and go to the transport as before.
    static constexpr int MaxStatusRequestsInFlight = 6;

    QuillnetPrivate(Quillnet *q, const QuillnetConfiguration &configuration);

    // Hands a request to the transport. StatusOk when it was sent; otherwise nothing was sent and
    // *failure (when given) says why.
    int startRequest(const QnRequest &request, QnError *failure = nullptr);
    // Drops every request in flight or waiting without any further signal; the client is going away.
    void shutdown();
    void abortRequests(const QList<RequestKind> &kinds);
    // Emits error() from the event loop, after the current call has returned.
    void postError(const QnError &error);
    // A failed cache statement: one error() per burst of failures.
    void onCacheError(const QString &text);
    // The cache for a read, or null (with a warning) when there is none that is open.
    QnCache *readableCache(const char *function) const;
    // The filter's subject, or the signed-in user when it has none.
    QString subjectOrSelf(const QnDataFilter &filter) const;
    // Handles a 2xx answer: reads it, stores it in the cache when there is one, and emits its
    // signal; returns the error to report when it is not usable. answered tells whether the answer
    // signal went out (a cache write may still have failed).
    QnError handleAnswer(const QnRequest &request, const QByteArray &body, bool *answered);

    Quillnet *const q;
    const QuillnetConfiguration configuration;
    QPointer<QnCache> cache;
    bool initialized = false;
    bool initRunning = false;
    QString currentProfileId;
    bool cacheErrorPending = false;
    // Counts the cache's database errors, so that an answer can tell whether its write failed in
    // the database (already reported) or elsewhere.
    int cacheErrorCount = 0;

private:
    struct Pending
    {
        explicit Pending(const QnRequest &request)
            : request(request)
        {}
        QnRequest request;
        qint64 limit = MaxJsonSize;
        bool oversized = false;
        bool pastDeadline = false;
        // Scheme of a redirect target that was refused; null when none was.
        QString refusedRedirect;
    };

    QNetworkAccessManager *network();
    int statusRequestsInFlight() const;
    // Sends what waits, oldest first, while the bound allows.
    void sendWaiting();
    // False with *why when nothing could be sent.
    bool sendNow(const QnRequest &request, QString *why);
    QUrl apiUrl(const QString &path, const QList<QPair<QString, QString>> &query) const;
    QNetworkReply *send(const QnRequest &request, QString *why);
    void watch(QNetworkReply *reply, const QnRequest &request, qint64 limit);
    void onMetaData(QNetworkReply *reply);
    void onProgress(QNetworkReply *reply, qint64 received);
    void abortOversized(QNetworkReply *reply, qint64 size);
    void onFinished(QNetworkReply *reply);
    // Turns a failed transfer or a non-2xx status into the error to report.
    QnError transferError(QNetworkReply *reply, const Pending &pending, const QByteArray &body) const;
    QnError handleJsonAnswer(const QnRequest &request, const QJsonObject &answer, bool *answered);
    // What requestFailed() names the request by.
    static QString subject(const QnRequest &request);
    QnError storeFailure(const QString &what, int errorsBefore) const;

    // The configured manager, or one of our own.
    QPointer<QNetworkAccessManager> mNetwork;
    QHash<QNetworkReply *, Pending> mPending;
    // Status message requests over the bound, oldest first.
    QList<QnRequest> mWaiting;
    bool mUnusableTokenReported = false;
};

} // namespace Qn
