#include "platform/quillnet/quillnet.h"

#include <algorithm>

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>
#include <QUrlQuery>

#include "platform/quillnet/floodedconnections.h"
#include "platform/quillnet/qnjson.h"
#include "platform/quillnet/quillnet_p.h"
#include "platform/support/logtext.h"
#include "platform/support/webaddress.h"
#include "platform/support/logging.h"

namespace Qn {

namespace {

bool holdsNothing(const QString &location)
{
    return location.isEmpty();
}

bool holdsNothing(const QnUser &user)
{
    return !user.isValid();
}

template<typename T>
bool holdsNothing(const QList<T> &list)
{
    return list.isEmpty();
}

// Most notification ids marked read by one call.
constexpr int MaxNotificationIds = 10000;

bool knownBehaviour(int behaviour, const char *function)
{
    if (behaviour == RetrieveFromCache || behaviour == RetrieveFromNetwork)
        return true;
    qCWarning(lcClient) << function << "unknown retrieve behaviour" << behaviour;
    return false;
}

// A cache read: checks the out-pointer and the cache, then stores what read() returns. An empty
// answer is StatusNotFound unless emptyIsAnswer says that "nothing cached" is itself the answer.
template<typename T, typename Read>
int readFromCache(const QuillnetPrivate *d, T *out, const char *function, Read read, bool emptyIsAnswer = false)
{
    if (!out) {
        qCWarning(lcClient) << function << "cache read without a result pointer";
        return StatusInvalidArgument;
    }
    QnCache *cache = d->readableCache(function);
    if (!cache)
        return StatusNoCache;
    bool ok = true;
    T value = read(cache, &ok);
    if (!ok)
        return StatusCacheError;
    *out = value;
    return holdsNothing(value) && !emptyIsAnswer ? StatusNotFound : StatusOk;
}

} // namespace

const char *QnRequest::name() const
{
    switch (kind) {
    case InitRequest:
        return "init";
    case NewsFeedRequest:
        return "news feed";
    case DataRequest:
        return "data";
    case ProfilePictureRequest:
        return "profile picture";
    case FriendsRequest:
        return "friends";
    case ProfileRequest:
        return "profile";
    case LatestStatusMessageRequest:
        return "latest status message";
    case AllNotificationsRequest:
        return "all notifications";
    case EventDetailsRequest:
        return "event details";
    case ThreadsRequest:
        return "threads";
    case MessagesRequest:
        return "messages";
    case MarkNotificationsReadRequest:
        return "mark notifications read";
    }
    return "unknown";
}

QuillnetPrivate::QuillnetPrivate(Quillnet *q, const QuillnetConfiguration &configuration)
    : q(q)
    , configuration(configuration)
    , cache(configuration.cache())
    , mNetwork(configuration.networkAccessManager())
{}

QNetworkAccessManager *QuillnetPrivate::network()
{
    // A manager handed in may go before the client; then, as without one, the client has its own.
    if (!mNetwork)
        mNetwork = new QNetworkAccessManager(q);
    return mNetwork;
}

QString QuillnetPrivate::subjectOrSelf(const QnDataFilter &filter) const
{
    return filter.subjectId().isEmpty() ? currentProfileId : filter.subjectId();
}

QUrl QuillnetPrivate::apiUrl(const QString &path, const QList<QPair<QString, QString>> &query) const
{
    QUrl url = Support::withPath(configuration.serviceUrl(), path);
    QUrlQuery urlQuery;
    for (const auto &item : query)
        urlQuery.addQueryItem(item.first, QString::fromLatin1(QUrl::toPercentEncoding(item.second, ",")));
    url.setQuery(urlQuery.isEmpty() ? QString() : urlQuery.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

int QuillnetPrivate::startRequest(const QnRequest &request, QnError *failure)
{
    QString why;
    if (request.kind != DataRequest && !Support::isWebAddress(configuration.serviceUrl())) {
        why = QStringLiteral("No service address configured");
    } else if (request.kind == LatestStatusMessageRequest && statusRequestsInFlight() >= MaxStatusRequestsInFlight) {
        mWaiting.append(request);
        return StatusOk;
    } else if (sendNow(request, &why)) {
        return StatusOk;
    }
    qCWarning(lcClient) << Q_FUNC_INFO << request.name() << "not sent:" << why;
    if (failure)
        *failure = QnError(QnError::NotAvailableError, why);
    return StatusNotAvailable;
}

bool QuillnetPrivate::sendNow(const QnRequest &request, QString *why)
{
    QNetworkReply *reply = send(request, why);
    if (!reply)
        return false;
    qCDebug(lcClient) << "Qn::QuillnetPrivate::startRequest" << request.name()
                      << Support::logText(reply->url().toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery));
    return true;
}

int QuillnetPrivate::statusRequestsInFlight() const
{
    return int(std::count_if(mPending.cbegin(), mPending.cend(), [](const Pending &pending) {
        return pending.request.kind == LatestStatusMessageRequest;
    }));
}

void QuillnetPrivate::sendWaiting()
{
    while (!mWaiting.isEmpty() && statusRequestsInFlight() < MaxStatusRequestsInFlight) {
        const QnRequest request = mWaiting.takeFirst();
        QString why;
        if (sendNow(request, &why))
            continue;
        // Its caller was told that it went out: it gets the failure as if the service had failed it.
        qCWarning(lcClient) << Q_FUNC_INFO << request.name() << "not sent:" << why;
        Quillnet *client = q;
        const RequestKind kind = request.kind;
        const QString name = subject(request);
        QMetaObject::invokeMethod(
                client, [client, kind, name] { emit client->requestFailed(kind, name); }, Qt::QueuedConnection);
        postError(QnError(QnError::NotAvailableError, why));
    }
}

QNetworkReply *QuillnetPrivate::send(const QnRequest &request, QString *why)
{
    const auto encoded = [](const QString &id) { return QString::fromLatin1(QUrl::toPercentEncoding(id)); };
    const auto paging = [](const QnDataFilter &filter) {
        QList<QPair<QString, QString>> query;
        if (filter.limit() > 0)
            query.append({QStringLiteral("limit"), QString::number(filter.limit())});
        if (filter.offset() > 0)
            query.append({QStringLiteral("offset"), QString::number(filter.offset())});
        return query;
    };
    const auto fields = [](const QnDataFilter &filter) {
        // Field names are ours to check: only plain lower-case names go into the query.
        static const QRegularExpression fieldName(QStringLiteral("^[a-z_]{1,40}$"));
        QStringList names;
        const QSet<QString> requested = filter.fields();
        for (const QString &name : requested) {
            if (fieldName.match(name).hasMatch())
                names.append(name);
            else
                qCWarning(lcClient) << "Qn::QuillnetPrivate::send"
                                    << "ignoring field name" << Support::logText(name);
        }
        names.sort();
        return names.join(QLatin1Char(','));
    };

    QUrl url;
    QByteArray verb = "GET";
    QByteArray body;
    qint64 limit = MaxJsonSize;
    switch (request.kind) {
    case InitRequest:
        url = apiUrl(QStringLiteral("/me"), {});
        break;
    case NewsFeedRequest:
        url = apiUrl(QStringLiteral("/users/%1/feed").arg(encoded(request.id)), paging(request.filter));
        break;
    case FriendsRequest: {
        auto query = paging(request.filter);
        const QString names = fields(request.filter);
        if (!names.isEmpty())
            query.append({QStringLiteral("fields"), names});
        url = apiUrl(QStringLiteral("/users/%1/friends").arg(encoded(request.id)), query);
        break;
    }
    case ProfileRequest:
        url = apiUrl(QStringLiteral("/users/%1").arg(encoded(request.id)), {});
        break;
    case ProfilePictureRequest:
        url = apiUrl(QStringLiteral("/users/%1/picture").arg(encoded(request.id)),
                     {{QStringLiteral("type"), QString::number(int(request.pictureType))}});
        limit = MaxDataSize;
        break;
    case LatestStatusMessageRequest:
        url = apiUrl(QStringLiteral("/statuses/latest"), {{QStringLiteral("ids"), request.ids.join(QLatin1Char(','))}});
        break;
    case AllNotificationsRequest:
        url = apiUrl(QStringLiteral("/notifications"), {});
        break;
    case EventDetailsRequest:
        url = apiUrl(QStringLiteral("/events/%1").arg(encoded(request.id)), {});
        break;
    case ThreadsRequest:
        url = apiUrl(QStringLiteral("/threads"),
                     QList<QPair<QString, QString>> {{QStringLiteral("folder"), QString::number(int(request.folder))}}
                             + paging(request.filter));
        break;
    case MessagesRequest:
        url = apiUrl(QStringLiteral("/threads/%1/messages").arg(encoded(request.id)), paging(request.filter));
        break;
    case MarkNotificationsReadRequest:
        url = apiUrl(QStringLiteral("/notifications/read"), {});
        verb = "POST";
        body = QnJson::serialize(QJsonObject {{"ids", QJsonArray::fromStringList(request.ids)}});
        break;
    case DataRequest:
        url = request.url;
        limit = MaxDataSize;
        break;
    }

    QNetworkRequest networkRequest(url);
    networkRequest.setTransferTimeout(configuration.transferTimeout());
    networkRequest.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("quillnet-daemon"));
    if (request.kind == DataRequest) {
        // An address from the service's content may point anywhere: no token goes with it, and
        // redirects are checked one by one.
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                    QNetworkRequest::UserVerifiedRedirectPolicy);
        networkRequest.setMaximumRedirectsAllowed(MaxRedirects);
    } else {
        networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        networkRequest.setRawHeader("Accept", "application/json");
        // The account refuses such tokens before they get here; should one come anyway, it is not
        // sent, and the service refuses the request like any other bad token.
        if (QuillnetConfiguration::isUsableAccessToken(configuration.accessToken())) {
            networkRequest.setRawHeader("Authorization", "Bearer " + configuration.accessToken().toLatin1());
        } else if (!mUnusableTokenReported) {
            mUnusableTokenReported = true;
            qCWarning(lcClient) << Q_FUNC_INFO << "the access token is not usable in a header; requests go without it";
        }
        static const QRegularExpression localeForm(QStringLiteral("^[A-Za-z]{2,8}([_-][A-Za-z0-9]{1,8})*$"));
        if (localeForm.match(configuration.locale()).hasMatch())
            networkRequest.setRawHeader("Accept-Language",
                                        configuration.locale().replace(QLatin1Char('_'), QLatin1Char('-')).toLatin1());
    }

    QNetworkReply *reply = nullptr;
    if (verb == "POST") {
        networkRequest.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        reply = network()->post(networkRequest, body);
    } else {
        reply = network()->get(networkRequest);
    }
    if (!reply) {
        *why = QStringLiteral("No transport to the service available");
        return nullptr;
    }
    watch(reply, request, limit);
    return reply;
}

void QuillnetPrivate::watch(QNetworkReply *reply, const QnRequest &request, qint64 limit)
{
    Pending pending(request);
    pending.limit = limit;
    mPending.insert(reply, pending);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, q, [this, reply] { onMetaData(reply); });
    QObject::connect(reply, &QNetworkReply::downloadProgress, q,
                     [this, reply](qint64 received, qint64) { onProgress(reply, received); });
    QObject::connect(reply, &QNetworkReply::finished, q, [this, reply] { onFinished(reply); });
    // The transfer timeout only catches a silent service; this ends one that trickles. A picture
    // may take longer on a slow line than an answer: three times as long, still within the news
    // feed's safety timer.
    const bool download = request.kind == DataRequest || request.kind == ProfilePictureRequest;
    const int deadline = configuration.requestDeadline() * (download ? 3 : 1);
    // A timer of the reply's own, gone with it: a single shot would still wake the idle daemon once
    // the deadline of every reply long answered comes.
    auto *deadlineTimer = new QTimer(reply);
    deadlineTimer->setSingleShot(true);
    deadlineTimer->start(deadline);
    QObject::connect(deadlineTimer, &QTimer::timeout, q, [this, reply, deadline] {
        auto it = mPending.find(reply);
        if (it == mPending.end() || reply->isFinished())
            return;
        it->pastDeadline = true;
        qCWarning(lcClient) << "Qn::QuillnetPrivate::watch" << it->request.name() << "not answered within" << deadline
                            << "ms";
        reply->abort();
    });
    // A shared manager deletes its replies with itself, possibly before this client; what waits then
    // goes out on the client's own manager, once the shared one is gone.
    QObject::connect(reply, &QObject::destroyed, q, [this, reply] {
        if (mPending.remove(reply) && !mWaiting.isEmpty())
            QMetaObject::invokeMethod(
                    q, [this] { sendWaiting(); }, Qt::QueuedConnection);
    });
    if (request.kind == DataRequest) {
        QObject::connect(reply, &QNetworkReply::redirected, q, [this, reply](const QUrl &target) {
            const bool downgrade = reply->url().scheme().toLower() == QLatin1String("https")
                    && target.scheme().toLower() != QLatin1String("https");
            if (Support::isWebAddress(target) && !downgrade) {
                emit reply->redirectAllowed();
                return;
            }
            qCWarning(lcClient) << "Qn::QuillnetPrivate::watch"
                                << "refusing a redirect to" << Support::logText(target.toString(QUrl::RemoveUserInfo));
            auto it = mPending.find(reply);
            if (it != mPending.end())
                it->refusedRedirect = target.scheme();
            reply->abort();
        });
    }
}

void QuillnetPrivate::onMetaData(QNetworkReply *reply)
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    bool ok = false;
    const qint64 announced = length.toLongLong(&ok);
    const auto it = mPending.constFind(reply);
    if (ok && it != mPending.constEnd() && announced > it->limit)
        abortOversized(reply, announced);
}

void QuillnetPrivate::onProgress(QNetworkReply *reply, qint64 received)
{
    const auto it = mPending.constFind(reply);
    if (it != mPending.constEnd() && received > it->limit)
        abortOversized(reply, received);
}

void QuillnetPrivate::abortOversized(QNetworkReply *reply, qint64 size)
{
    auto it = mPending.find(reply);
    if (it == mPending.end() || it->oversized)
        return;
    it->oversized = true;
    qCWarning(lcClient) << Q_FUNC_INFO << it->request.name() << "answer of" << size << "bytes exceeds" << it->limit;
    reply->abort();
}

void QuillnetPrivate::shutdown()
{
    const QList<QNetworkReply *> replies = mPending.keys();
    mPending.clear();
    mWaiting.clear();
    QSet<QUrl> services;
    for (QNetworkReply *reply : replies) {
        QObject::disconnect(reply, nullptr, q, nullptr);
        services.insert(reply->url().adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment));
        reply->abort();
        reply->deleteLater();
    }
    for (const QUrl &service : std::as_const(services))
        closeFloodedConnections(service);
}

void QuillnetPrivate::abortRequests(const QList<RequestKind> &kinds)
{
    const auto abandoned = [&kinds](const QnRequest &request) { return kinds.contains(request.kind); };
    for (auto it = mWaiting.begin(); it != mWaiting.end();) {
        if (!abandoned(*it)) {
            ++it;
            continue;
        }
        Quillnet *client = q;
        const RequestKind kind = it->kind;
        const QString name = subject(*it);
        QMetaObject::invokeMethod(
                client, [client, kind, name] { emit client->requestFailed(kind, name); }, Qt::QueuedConnection);
        it = mWaiting.erase(it);
    }
    // Each ends in onFinished(), as a cancelled transfer.
    const QList<QNetworkReply *> replies = mPending.keys();
    for (QNetworkReply *reply : replies) {
        const auto it = mPending.constFind(reply);
        if (it != mPending.constEnd() && abandoned(it->request))
            reply->abort();
    }
}

void QuillnetPrivate::onFinished(QNetworkReply *reply)
{
    const auto it = mPending.find(reply);
    if (it == mPending.end())
        return;
    const Pending pending = it.value();
    mPending.erase(it);
    reply->deleteLater();
    // Before the answer's signal, so that what waited goes out before what its receivers ask next.
    sendWaiting();
    if (pending.request.kind == InitRequest)
        initRunning = false;
    // An abandoned transfer (out of time, too big, refused redirect) may have left its connection
    // in a read that never ends; see floodedconnections.h. Not one refused by the length its head
    // announced: its body is read in large pieces, so Qt's network thread takes the abort and
    // closes the connection itself, while a shutdown from here would race with the requests its
    // failure starts next (a connection of theirs dropped before the answer).
    const bool refusedByLength
            = pending.oversized && reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > pending.limit;
    if ((reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError)
        && !refusedByLength)
        closeFloodedConnections(reply->url());

    QnError failure;
    bool answered = false;
    if (!pending.refusedRedirect.isNull()) {
        failure = QnError(
                QnError::InvalidResponseError,
                QStringLiteral("Refused a redirect to a \"%1\" address").arg(pending.refusedRedirect.left(20)),
                reply->errorString());
    } else if (pending.pastDeadline) {
        failure = QnError(QnError::NetworkError, QStringLiteral("Not answered within its deadline"),
                          reply->errorString());
    } else if (pending.oversized) {
        failure = QnError(QnError::InvalidResponseError,
                          QStringLiteral("Answer larger than %1 bytes").arg(pending.limit), reply->errorString());
    } else {
        const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300)
            failure = handleAnswer(pending.request, body.left(pending.limit), &answered);
        else
            failure = transferError(reply, pending, body.left(MaxJsonSize));
    }
    if (!failure.isError())
        return;
    qCWarning(lcClient) << Q_FUNC_INFO << pending.request.name() << "failed, type" << int(failure.errorType())
                        << Support::logText(failure.quillnetErrorString())
                        << Support::logText(failure.replyErrorString()) << Support::logText(failure.cacheErrorString());
    // Its caller stops waiting first; error() may then lead to a new login and a new client.
    QPointer<Quillnet> client(q);
    if (!answered)
        emit q->requestFailed(pending.request.kind, subject(pending.request));
    if (client)
        emit q->error(failure);
}

QString QuillnetPrivate::subject(const QnRequest &request)
{
    switch (request.kind) {
    case DataRequest:
        return QString::fromLatin1(request.url.toEncoded());
    case ThreadsRequest:
        return QString::number(request.folder);
    case LatestStatusMessageRequest:
    case MarkNotificationsReadRequest:
        return request.ids.join(QLatin1Char(','));
    default:
        return request.id;
    }
}

QnError QuillnetPrivate::transferError(QNetworkReply *reply, const Pending &pending, const QByteArray &body) const
{
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusAttribute.toInt();
    const QNetworkReply::NetworkError code = reply->error();
    QString replyText = reply->errorString();
    if (code == QNetworkReply::OperationCanceledError || code == QNetworkReply::TimeoutError)
        replyText = QStringLiteral("No progress within %1 ms (%2)").arg(configuration.transferTimeout()).arg(replyText);

    // A status that is not an error while the transfer failed means that the answer broke off.
    const bool httpAnswer = statusAttribute.isValid() && (status < 200 || status >= 300);
    if (httpAnswer && status >= 300 && status < 400 && pending.request.kind == DataRequest)
        return QnError(QnError::InvalidResponseError, QStringLiteral("Refused a redirect (HTTP %1)").arg(status),
                       replyText);
    if (!httpAnswer)
        return QnError(QnError::NetworkError,
                       QStringLiteral("%1 request failed").arg(QLatin1String(pending.request.name())), replyText);

    QString errorCode;
    QString message;
    const QJsonObject error = QnJson::parseObject(body).value(QLatin1String("error")).toObject();
    const QJsonValue codeValue = error.value(QLatin1String("code"));
    const QJsonValue messageValue = error.value(QLatin1String("message"));
    if (codeValue.isString()) {
        errorCode = codeValue.toString().left(100);
        message = messageValue.isString() ? messageValue.toString().left(1000) : QString();
    }
    const QString text = errorCode.isEmpty() ? QStringLiteral("HTTP %1").arg(status)
                                             : QStringLiteral("%1: %2").arg(errorCode, message);
    // A download carries no token: a refusal of one says nothing about the token.
    if (status == 401 && errorCode == QLatin1String("invalid_token") && pending.request.kind != DataRequest)
        return QnError(QnError::AuthenticationError, text, replyText);
    return QnError(QnError::ServiceError, text, replyText);
}

QnError QuillnetPrivate::storeFailure(const QString &what, int errorsBefore) const
{
    // Database failures have been reported through the cache's own signal already.
    if (cacheErrorCount != errorsBefore)
        return QnError();
    QString text = QStringLiteral("no cache");
    if (cache)
        text = !cache->isOpen()                ? QStringLiteral("cache not open")
                : cache->lastError().isEmpty() ? QStringLiteral("cannot write to %1").arg(cache->path())
                                               : cache->lastError();
    return QnError(QnError::CacheError, what, QString(), text);
}

QnError QuillnetPrivate::handleAnswer(const QnRequest &request, const QByteArray &body, bool *answered)
{
    *answered = false;
    const int errorsBefore = cacheErrorCount;
    if (request.kind == DataRequest) {
        const QString location = cache ? cache->storeData(request.url, body) : QString();
        if (location.isEmpty())
            return storeFailure(
                    QStringLiteral("Cannot store the data of %1").arg(request.url.toString(QUrl::RemoveUserInfo)),
                    errorsBefore);
        *answered = true;
        emit q->dataRetrieved(request.url, location);
        return QnError();
    }
    if (request.kind == ProfilePictureRequest) {
        const QString location = cache ? cache->storeProfilePicture(request.id, request.pictureType, body) : QString();
        if (location.isEmpty())
            return storeFailure(QStringLiteral("Cannot store the picture of %1").arg(request.id), errorsBefore);
        *answered = true;
        emit q->profilePictureUpdated(request.id, request.pictureType, location);
        return QnError();
    }
    if (request.kind == MarkNotificationsReadRequest) {
        qCDebug(lcClient) << Q_FUNC_INFO << "marked" << request.ids.size() << "notifications read";
        *answered = true;
        return QnError();
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return QnError(QnError::InvalidResponseError,
                       QStringLiteral("%1: answer is not JSON (%2)")
                               .arg(QLatin1String(request.name()), parseError.errorString()));
    if (!document.isObject())
        return QnError(QnError::InvalidResponseError,
                       QStringLiteral("%1: answer is not a JSON object").arg(QLatin1String(request.name())));
    return handleJsonAnswer(request, document.object(), answered);
}

namespace {

// Reads a list member of an answer with a strict record reader; invalid entries are dropped.
template<typename T, typename Read>
bool readList(const QJsonObject &answer, const char *key, Read read, QList<T> *out, QString *error)
{
    const QJsonValue value = answer.value(QLatin1String(key));
    if (!value.isArray()) {
        *error = QStringLiteral("member \"%1\" is %2")
                         .arg(QLatin1String(key),
                              value.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not an array"));
        return false;
    }
    const QJsonArray array = value.toArray();
    if (array.size() > QnJson::MaxListEntries)
        qCWarning(lcClient) << "Qn::Quillnet" << key << "holds" << array.size() << "entries; reading"
                            << QnJson::MaxListEntries;
    int index = 0;
    for (const QJsonValue &entry : array) {
        if (index++ >= QnJson::MaxListEntries)
            break;
        QString reason;
        const T record = read(entry, &reason);
        if (record.isValid())
            out->append(record);
        else
            qCWarning(lcClient) << "Qn::Quillnet"
                                << "dropping an invalid entry of" << key << reason;
    }
    return true;
}

} // namespace

QnError QuillnetPrivate::handleJsonAnswer(const QnRequest &request, const QJsonObject &answer, bool *answered)
{
    const int errorsBefore = cacheErrorCount;
    QString error;
    const auto invalid = [&request](const QString &why) {
        return QnError(QnError::InvalidResponseError, QStringLiteral("%1: %2").arg(QLatin1String(request.name()), why));
    };
    // Cache writes of a usable answer may fail; the answer still goes out, the failure is reported.
    QnError stored;
    const auto check = [&](bool ok, const char *what) {
        if (!ok && cache && !stored.isError())
            stored = storeFailure(QStringLiteral("Cannot store the %1 answer").arg(QLatin1String(what)), errorsBefore);
    };

    switch (request.kind) {
    case InitRequest:
    case ProfileRequest: {
        const QnUser user = QnJson::readUser(answer.value(QLatin1String("user")), &error);
        if (!user.isValid())
            return invalid(error);
        if (request.kind == ProfileRequest && user.id() != request.id)
            return invalid(QStringLiteral("profile of %1 answered with %2")
                                   .arg(Support::logText(request.id), Support::logText(user.id())));
        if (cache)
            check(cache->storeUsers({user}), request.name());
        if (request.kind == InitRequest) {
            currentProfileId = user.id();
            initialized = true;
            qCDebug(lcClient) << Q_FUNC_INFO << "initialized as" << Support::logText(currentProfileId);
            emit q->initialized();
        } else {
            emit q->profileUpdated(user.id());
        }
        break;
    }
    case NewsFeedRequest: {
        QnPosts posts;
        if (!readList(answer, "data", &QnJson::readPost, &posts, &error))
            return invalid(error);
        if (cache)
            check(cache->storeNewsFeed(request.id, posts, request.filter.offset()), request.name());
        emit q->newsFeedRetrieved(posts);
        break;
    }
    case FriendsRequest: {
        QnUsers users;
        if (!readList(answer, "data", &QnJson::readUser, &users, &error))
            return invalid(error);
        if (cache)
            check(cache->storeFriendPage(request.id, users, request.filter.offset()), request.name());
        QnUserRefs refs;
        for (const QnUser &user : std::as_const(users))
            refs.append(user.ref());
        emit q->friendsUpdated(refs);
        break;
    }
    case LatestStatusMessageRequest: {
        QnPosts all;
        if (!readList(answer, "data", &QnJson::readPost, &all, &error))
            return invalid(error);
        QnPosts posts;
        const QSet<QString> asked(request.ids.cbegin(), request.ids.cend());
        for (const QnPost &post : std::as_const(all)) {
            if (asked.contains(post.from().id()))
                posts.append(post);
            else
                qCWarning(lcClient) << Q_FUNC_INFO << "dropping status" << Support::logText(post.id())
                                    << "of a user not asked for" << Support::logText(post.from().id());
        }
        if (cache)
            check(cache->storeLatestStatusMessages(posts), request.name());
        emit q->latestStatusMessageRetrieved(request.ids, posts);
        break;
    }
    case AllNotificationsRequest: {
        QnUsers friendRequests;
        QnEvents events;
        QnNotificationList notifications;
        if (!readList(answer, "friend_requests", &QnJson::readUser, &friendRequests, &error)
            || !readList(answer, "event_invitations", &QnJson::readEvent, &events, &error)
            || !readList(answer, "notifications", &QnJson::readNotification, &notifications, &error))
            return invalid(error);
        const QJsonValue unread = answer.value(QLatin1String("unread_threads"));
        const double count = unread.toDouble(-1);
        if (!unread.isDouble() || count < 0 || count > 4294967295.0 || count != double(qint64(count)))
            return invalid(QStringLiteral("member \"unread_threads\" is not a count"));
        if (cache)
            check(cache->storeUsers(friendRequests), request.name());
        emit q->allNotificationsRetrieved(friendRequests, events, notifications, quint32(count));
        break;
    }
    case EventDetailsRequest: {
        const QnEvent event = QnJson::readEvent(answer.value(QLatin1String("event")), &error);
        if (!event.isValid())
            return invalid(error);
        if (event.id() != request.id)
            return invalid(QStringLiteral("event %1 answered with %2")
                                   .arg(Support::logText(request.id), Support::logText(event.id())));
        emit q->eventDetailsRetrieved(event);
        break;
    }
    case ThreadsRequest: {
        QnThreads threads;
        if (!readList(answer, "data", &QnJson::readThread, &threads, &error))
            return invalid(error);
        if (cache)
            check(cache->storeThreads(request.folder, threads), request.name());
        emit q->threadsRetrieved(request.folder, threads);
        break;
    }
    case MessagesRequest: {
        QnMessages messages;
        if (!readList(answer, "data", &QnJson::readMessage, &messages, &error))
            return invalid(error);
        if (cache)
            check(cache->storeMessages(request.id, messages), request.name());
        emit q->messagesUpdated(request.id, messages);
        break;
    }
    case DataRequest:
    case ProfilePictureRequest:
    case MarkNotificationsReadRequest:
        break;
    }
    // Every way here emitted the answer; only a cache write may have failed.
    *answered = true;
    return stored;
}

void QuillnetPrivate::postError(const QnError &error)
{
    Quillnet *client = q;
    QMetaObject::invokeMethod(
            client, [client, error] { emit client->error(error); }, Qt::QueuedConnection);
}

void QuillnetPrivate::onCacheError(const QString &text)
{
    ++cacheErrorCount;
    // A damaged database fails every statement; one report per turn of the event loop is enough.
    if (cacheErrorPending)
        return;
    cacheErrorPending = true;
    QMetaObject::invokeMethod(
            q,
            [this, text] {
                cacheErrorPending = false;
                emit q->error(QnError(QnError::CacheError, QStringLiteral("Cache failure"), QString(), text));
            },
            Qt::QueuedConnection);
}

QnCache *QuillnetPrivate::readableCache(const char *function) const
{
    if (!cache) {
        qCWarning(lcClient) << function << "no cache configured";
        return nullptr;
    }
    if (!cache->isOpen()) {
        qCWarning(lcClient) << function << "cache not open";
        return nullptr;
    }
    return cache;
}

Quillnet::Quillnet(const QuillnetConfiguration &configuration, QObject *parent)
    : QObject(parent)
    , d(new QuillnetPrivate(this, configuration))
{
    registerMetaTypes();
    if (d->cache)
        connect(d->cache, &QnCache::databaseError, this, [this](const QString &text) { d->onCacheError(text); });
}

Quillnet::~Quillnet()
{
    // The replies' handlers use d, which goes before the object tree deletes the transport.
    d->shutdown();
}

QuillnetConfiguration Quillnet::configuration() const
{
    return d->configuration;
}

void Quillnet::init()
{
    qCDebug(lcClient) << Q_FUNC_INFO;
    if (d->initRunning) {
        qCDebug(lcClient) << Q_FUNC_INFO << "already running";
        return;
    }
    QnError failure;
    if (d->startRequest(QnRequest(InitRequest), &failure) == StatusOk)
        d->initRunning = true;
    else
        d->postError(failure);
}

bool Quillnet::isInitialized() const
{
    return d->initialized;
}

QString Quillnet::currentProfileId() const
{
    return d->currentProfileId;
}

QnCache *Quillnet::cache() const
{
    return d->cache;
}

int Quillnet::retrieveNewsFeed(QnPosts *posts, const QnDataFilter &filter, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    const QString owner = d->subjectOrSelf(filter);
    if (owner.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no user to read the feed of";
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(NewsFeedRequest);
        request.filter = filter;
        request.id = owner;
        return d->startRequest(request);
    }
    return readFromCache(d.data(), posts, Q_FUNC_INFO, [&](QnCache *cache, bool *ok) {
        return cache->newsFeed(owner, filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::retrieveData(QString *location, const QUrl &url, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (!Support::isWebAddress(url)) {
        // Addresses come from the service's content; only the web is fetched, never local files.
        qCWarning(lcClient) << Q_FUNC_INFO << "refusing address"
                            << Support::logText(url.toString(QUrl::RemoveUserInfo));
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        if (!d->readableCache(Q_FUNC_INFO))
            return StatusNoCache;
        QnRequest request(DataRequest);
        request.url = url;
        return d->startRequest(request);
    }
    return readFromCache(
            d.data(), location, Q_FUNC_INFO, [&](QnCache *cache, bool *ok) { return cache->dataLocation(url, ok); },
            true);
}

int Quillnet::retrieveData(const QUrl &url)
{
    return retrieveData(nullptr, url, RetrieveFromNetwork);
}

int Quillnet::retrieveProfilePicture(QString *location, const QString &userId, PictureType type, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (userId.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no user id";
        return StatusInvalidArgument;
    }
    if (type < SquarePicture || type > LargePicture) {
        qCWarning(lcClient) << Q_FUNC_INFO << "unknown picture type" << int(type);
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        if (!d->readableCache(Q_FUNC_INFO))
            return StatusNoCache;
        QnRequest request(ProfilePictureRequest);
        request.id = userId;
        request.pictureType = type;
        return d->startRequest(request);
    }
    return readFromCache(
            d.data(), location, Q_FUNC_INFO,
            [&](QnCache *cache, bool *ok) { return cache->profilePictureLocation(userId, type, ok); }, true);
}

int Quillnet::retrieveProfilePicture(const QString &userId, PictureType type)
{
    return retrieveProfilePicture(nullptr, userId, type, RetrieveFromNetwork);
}

int Quillnet::retrieveFriends(QnUsers *friends, const QnDataFilter &filter, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    const QString owner = d->subjectOrSelf(filter);
    if (owner.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no user to read the friends of";
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(FriendsRequest);
        request.filter = filter;
        request.id = owner;
        return d->startRequest(request);
    }
    return readFromCache(d.data(), friends, Q_FUNC_INFO, [&](QnCache *cache, bool *ok) {
        return cache->friends(owner, filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::retrieveProfile(QnUser *user, const QString &userId, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (userId.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no user id";
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(ProfileRequest);
        request.id = userId;
        return d->startRequest(request);
    }
    return readFromCache(d.data(), user, Q_FUNC_INFO,
                         [&](QnCache *cache, bool *ok) { return cache->user(userId, ok); });
}

int Quillnet::retrieveStatusMessages(QnPosts *posts, const QnDataFilter &filter, int behaviour)
{
    if (behaviour != RetrieveFromCache) {
        // Status messages are fetched with retrieveLatestStatusMessage; this call only reads.
        qCWarning(lcClient) << Q_FUNC_INFO << "status messages are read from the cache only; behaviour" << behaviour;
        return StatusInvalidArgument;
    }
    if (filter.subjectId().isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no user id";
        return StatusInvalidArgument;
    }
    return readFromCache(d.data(), posts, Q_FUNC_INFO, [&](QnCache *cache, bool *ok) {
        return cache->statusMessages(filter.subjectId(), filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::retrieveLatestStatusMessage(const QStringList &userIds)
{
    QStringList ids;
    for (const QString &id : userIds) {
        // Ids travel comma-separated; one that contains a comma cannot be asked for.
        if (id.isEmpty() || id.contains(QLatin1Char(',')))
            qCWarning(lcClient) << Q_FUNC_INFO << "skipping user id" << Support::logText(id);
        else
            ids.append(id);
    }
    ids.removeDuplicates();
    if (ids.isEmpty() || ids.size() > QuillnetPrivate::MaxIdsPerRequest) {
        qCWarning(lcClient) << Q_FUNC_INFO << "between 1 and" << QuillnetPrivate::MaxIdsPerRequest
                            << "user ids needed, got" << ids.size();
        return StatusInvalidArgument;
    }
    QnRequest request(LatestStatusMessageRequest);
    request.ids = ids;
    return d->startRequest(request);
}

void Quillnet::abortRequests(const QList<Qn::RequestKind> &kinds)
{
    d->abortRequests(kinds);
}

int Quillnet::retrieveAllNotifications()
{
    return d->startRequest(QnRequest(AllNotificationsRequest));
}

int Quillnet::retrieveEventDetails(const QString &eventId)
{
    if (eventId.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no event id";
        return StatusInvalidArgument;
    }
    QnRequest request(EventDetailsRequest);
    request.id = eventId;
    return d->startRequest(request);
}

int Quillnet::retrieveThreads(QnThreads *threads, MessageBoxType folder, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (folder < Inbox || folder > Updates) {
        qCWarning(lcClient) << Q_FUNC_INFO << "unknown folder" << int(folder);
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(ThreadsRequest);
        request.folder = folder;
        return d->startRequest(request);
    }
    return readFromCache(d.data(), threads, Q_FUNC_INFO,
                         [&](QnCache *cache, bool *ok) { return cache->threads(folder, -1, 0, ok); });
}

int Quillnet::retrieveMessages(QnMessages *messages, const QnDataFilter &filter, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (filter.subjectId().isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no thread id";
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(MessagesRequest);
        request.filter = filter;
        request.id = filter.subjectId();
        return d->startRequest(request);
    }
    return readFromCache(d.data(), messages, Q_FUNC_INFO, [&](QnCache *cache, bool *ok) {
        return cache->messages(filter.subjectId(), filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::markNotificationsRead(const QStringList &notificationIds)
{
    QStringList nonEmpty;
    for (const QString &id : notificationIds) {
        if (!id.isEmpty())
            nonEmpty.append(id);
    }
    nonEmpty.removeDuplicates();
    QStringList &ids = nonEmpty;
    if (ids.size() > MaxNotificationIds) {
        qCWarning(lcClient) << Q_FUNC_INFO << "marking only the first" << MaxNotificationIds << "ids read";
        ids = ids.mid(0, MaxNotificationIds);
    }
    if (ids.isEmpty()) {
        qCWarning(lcClient) << Q_FUNC_INFO << "no notification ids";
        return StatusInvalidArgument;
    }
    // The ids come from a file another program wrote; long lists go out in several requests.
    for (int first = 0; first < ids.size(); first += QuillnetPrivate::MaxIdsPerRequest) {
        QnRequest request(MarkNotificationsReadRequest);
        request.ids = ids.mid(first, QuillnetPrivate::MaxIdsPerRequest);
        const int status = d->startRequest(request);
        if (status != StatusOk)
            return status;
    }
    return StatusOk;
}

} // namespace Qn
