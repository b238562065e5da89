#include "platform/quillnet/quillnet.h"

#include <QDebug>
#include <QMetaObject>

#include "platform/quillnet/quillnet_p.h"

namespace Qn {

namespace {

bool holdsNothing(const QString& location)
{
    return location.isEmpty();
}

bool holdsNothing(const QnUser& user)
{
    return !user.isValid();
}

template <typename T>
bool holdsNothing(const QList<T>& list)
{
    return list.isEmpty();
}

bool knownBehaviour(int behaviour, const char* function)
{
    if (behaviour == RetrieveFromCache || behaviour == RetrieveFromNetwork)
        return true;
    qWarning() << function << "unknown retrieve behaviour" << behaviour;
    return false;
}

// A cache read: checks the out-pointer and the cache, then stores what read() returns. An empty
// answer is StatusNotFound unless emptyIsAnswer says that "nothing cached" is itself the answer.
template <typename T, typename Read>
int readFromCache(const QuillnetPrivate* d, T* out, const char* function, Read read, bool emptyIsAnswer = false)
{
    if (!out) {
        qWarning() << function << "cache read without a result pointer";
        return StatusInvalidArgument;
    }
    QnCache* cache = d->readableCache(function);
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

const char* QnRequest::name() const
{
    switch (kind) {
    case Init: return "init";
    case NewsFeed: return "news feed";
    case Data: return "data";
    case ProfilePicture: return "profile picture";
    case Friends: return "friends";
    case Profile: return "profile";
    case LatestStatusMessage: return "latest status message";
    case AllNotifications: return "all notifications";
    case Threads: return "threads";
    case Messages: return "messages";
    case MarkNotificationsRead: return "mark notifications read";
    }
    return "unknown";
}

QuillnetPrivate::QuillnetPrivate(Quillnet* q, const QuillnetConfiguration& configuration)
    : q(q), configuration(configuration), cache(configuration.cache())
{
}

int QuillnetPrivate::startRequest(const QnRequest& request, QnError* failure)
{
    // This is where requests leave for the service. The HTTP transport is not part of the client
    // yet, so nothing can be sent; callers see a status other than StatusOk and nothing follows.
    const QString reason = configuration.serviceUrl().isValid()
        ? QStringLiteral("No transport to the service available")
        : QStringLiteral("No service address configured");
    qDebug() << Q_FUNC_INFO << request.name() << "not sent:" << reason;
    if (failure)
        *failure = QnError(QnError::NotAvailableError, reason);
    return StatusNotAvailable;
}

void QuillnetPrivate::postError(const QnError& error)
{
    Quillnet* client = q;
    QMetaObject::invokeMethod(
        client, [client, error] { emit client->error(error); }, Qt::QueuedConnection);
}

void QuillnetPrivate::onCacheError(const QString& text)
{
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

QnCache* QuillnetPrivate::readableCache(const char* function) const
{
    if (!cache) {
        qWarning() << function << "no cache configured";
        return nullptr;
    }
    if (!cache->isOpen()) {
        qWarning() << function << "cache not open";
        return nullptr;
    }
    return cache;
}

Quillnet::Quillnet(const QuillnetConfiguration& configuration, QObject* parent)
    : QObject(parent), d(new QuillnetPrivate(this, configuration))
{
    registerMetaTypes();
    if (d->cache)
        connect(d->cache, &QnCache::databaseError, this, [this](const QString& text) { d->onCacheError(text); });
}

Quillnet::~Quillnet() = default;

QuillnetConfiguration Quillnet::configuration() const
{
    return d->configuration;
}

void Quillnet::init()
{
    qDebug() << Q_FUNC_INFO;
    QnError failure;
    if (d->startRequest(QnRequest(QnRequest::Init), &failure) != StatusOk)
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

QnCache* Quillnet::cache() const
{
    return d->cache;
}

int Quillnet::retrieveNewsFeed(QnPosts* posts, const QnDataFilter& filter, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(QnRequest::NewsFeed);
        request.filter = filter;
        return d->startRequest(request);
    }
    const QString owner = filter.subjectId().isEmpty() ? d->currentProfileId : filter.subjectId();
    if (owner.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no user to read the feed of";
        return StatusInvalidArgument;
    }
    return readFromCache(d.data(), posts, Q_FUNC_INFO, [&](QnCache* cache, bool* ok) {
        return cache->newsFeed(owner, filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::retrieveData(QString* location, const QUrl& url, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (!url.isValid() || url.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "invalid address" << url;
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(QnRequest::Data);
        request.url = url;
        return d->startRequest(request);
    }
    return readFromCache(
        d.data(), location, Q_FUNC_INFO, [&](QnCache* cache, bool* ok) { return cache->dataLocation(url, ok); },
        true);
}

int Quillnet::retrieveData(const QUrl& url)
{
    return retrieveData(nullptr, url, RetrieveFromNetwork);
}

int Quillnet::retrieveProfilePicture(QString* location, const QString& userId, PictureType type, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (userId.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no user id";
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(QnRequest::ProfilePicture);
        request.id = userId;
        request.pictureType = type;
        return d->startRequest(request);
    }
    return readFromCache(
        d.data(), location, Q_FUNC_INFO,
        [&](QnCache* cache, bool* ok) { return cache->profilePictureLocation(userId, type, ok); }, true);
}

int Quillnet::retrieveProfilePicture(const QString& userId, PictureType type)
{
    return retrieveProfilePicture(nullptr, userId, type, RetrieveFromNetwork);
}

int Quillnet::retrieveFriends(QnUsers* friends, const QnDataFilter& filter, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(QnRequest::Friends);
        request.filter = filter;
        return d->startRequest(request);
    }
    const QString owner = filter.subjectId().isEmpty() ? d->currentProfileId : filter.subjectId();
    if (owner.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no user to read the friends of";
        return StatusInvalidArgument;
    }
    return readFromCache(d.data(), friends, Q_FUNC_INFO, [&](QnCache* cache, bool* ok) {
        return cache->friends(owner, filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::retrieveProfile(QnUser* user, const QString& userId, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (userId.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no user id";
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(QnRequest::Profile);
        request.id = userId;
        return d->startRequest(request);
    }
    return readFromCache(d.data(), user, Q_FUNC_INFO,
                         [&](QnCache* cache, bool* ok) { return cache->user(userId, ok); });
}

int Quillnet::retrieveStatusMessages(QnPosts* posts, const QnDataFilter& filter, int behaviour)
{
    if (behaviour != RetrieveFromCache) {
        // Status messages are fetched with retrieveLatestStatusMessage; this call only reads.
        qWarning() << Q_FUNC_INFO << "status messages are read from the cache only; behaviour" << behaviour;
        return StatusInvalidArgument;
    }
    if (filter.subjectId().isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no user id";
        return StatusInvalidArgument;
    }
    return readFromCache(d.data(), posts, Q_FUNC_INFO, [&](QnCache* cache, bool* ok) {
        return cache->statusMessages(filter.subjectId(), filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::retrieveLatestStatusMessage(const QStringList& userIds)
{
    if (userIds.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no user ids";
        return StatusInvalidArgument;
    }
    QnRequest request(QnRequest::LatestStatusMessage);
    request.ids = userIds;
    return d->startRequest(request);
}

int Quillnet::retrieveAllNotifications()
{
    return d->startRequest(QnRequest(QnRequest::AllNotifications));
}

int Quillnet::retrieveThreads(QnThreads* threads, MessageBoxType folder, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(QnRequest::Threads);
        request.folder = folder;
        return d->startRequest(request);
    }
    return readFromCache(d.data(), threads, Q_FUNC_INFO,
                         [&](QnCache* cache, bool* ok) { return cache->threads(folder, -1, 0, ok); });
}

int Quillnet::retrieveMessages(QnMessages* messages, const QnDataFilter& filter, int behaviour)
{
    if (!knownBehaviour(behaviour, Q_FUNC_INFO))
        return StatusInvalidArgument;
    if (filter.subjectId().isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no thread id";
        return StatusInvalidArgument;
    }
    if (behaviour == RetrieveFromNetwork) {
        QnRequest request(QnRequest::Messages);
        request.filter = filter;
        return d->startRequest(request);
    }
    return readFromCache(d.data(), messages, Q_FUNC_INFO, [&](QnCache* cache, bool* ok) {
        return cache->messages(filter.subjectId(), filter.limit(), filter.offset(), ok);
    });
}

int Quillnet::markNotificationsRead(const QStringList& notificationIds)
{
    if (notificationIds.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "no notification ids";
        return StatusInvalidArgument;
    }
    QnRequest request(QnRequest::MarkNotificationsRead);
    request.ids = notificationIds;
    return d->startRequest(request);
}

} // namespace Qn
