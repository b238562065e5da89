#include "eventfeed/eventfeedhandler.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDataStream>
#include <QDateTime>
#include <QDebug>
#include <QSet>
#include <QStringList>
#include <QVariant>

#include <limits>

#include "common/constants.h"
#include "common/utils.h"
#include "database/daemondatabase.h"
#include "eventfeedinterface.h"
#include "platform/quillnet/qndatafilter.h"
#include "platform/quillnet/quillnet.h"
#include "platform/support/logtext.h"
#include "platform/support/webaddress.h"
#include "platform/support/logging.h"

namespace {

const QString CheckinType = QStringLiteral("checkin");

// The text form of a remote action calling showItem(postId) on the service's own phone
// application: service, path, interface and method, then each argument as Base64 of its QVariant
// in QDataStream's default format.
QString remoteAction(const QString &postId)
{
    QByteArray argument;
    QDataStream stream(&argument, QIODevice::WriteOnly);
    stream << QVariant(postId);
    return QStringLiteral("com.tarvo.quillnet.eventfeed /EventFeedMessage com.tarvo.quillnet.eventfeed showItem ")
            + QString::fromLatin1(argument.toBase64());
}

// No Event Feed answered the call, as opposed to one that answered with an error.
bool isUnanswered(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
        return true;
    default:
        // Gone between the call and its delivery, or an activation that could not start it.
        return error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")
                || error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."));
    }
}

const char FeedSilent[] = "Event Feed did not answer, new posts wait for the next pass:";

} // namespace

const QString EventfeedHandler::SourceName = QStringLiteral("Quillnet");

EventfeedHandler::EventfeedHandler(QObject *parent)
    : QObject(parent)
    , mSafetyTimer(this)
{
    mSafetyTimer.setObjectName(QStringLiteral("safetyTimer"));
    connect(&mSafetyTimer, &QTimer::timeout, this, &EventfeedHandler::onSafetyTimerHit);
    mSafetyTimer.setInterval(SafetyTimeoutMs);
    mSafetyTimer.setSingleShot(true);
    mAddTimer.setInterval(EventFeedTimeoutMs);
    mAddTimer.setSingleShot(true);
    connect(&mAddTimer, &QTimer::timeout, this, &EventfeedHandler::onAddTimedOut);
}

EventfeedHandler::~EventfeedHandler() = default;

bool EventfeedHandler::init(Qn::Quillnet *quillnet, ComTarvoHomeEventFeedInterface *eventFeed, DaemonDatabase *database)
{
    // All or nothing: a handler that failed here never starts an import.
    if (!quillnet || !eventFeed || !database) {
        qCCritical(lcEventFeed) << "Some internal variables are NULL";
        return false;
    }
    mQuillnet = quillnet;
    mEventFeedIf = eventFeed;
    mDatabase = database;

    connect(mQuillnet, &Qn::Quillnet::profilePictureUpdated, this, &EventfeedHandler::onProfilePictureUpdated);
    connect(mQuillnet, &Qn::Quillnet::newsFeedRetrieved, this, &EventfeedHandler::onNewsFeedRetrieved);
    connect(mQuillnet, &Qn::Quillnet::dataRetrieved, this, &EventfeedHandler::onDataRetrieved);
    connect(mQuillnet, &Qn::Quillnet::requestFailed, this, &EventfeedHandler::onRequestFailed);
    connect(mDatabase, &DaemonDatabase::dbReseted, this, &EventfeedHandler::onDbReseted);

    // Item ids belong to the instance of the Event Feed that gave them. Unique names repeat from
    // one session's bus to the next; the bus's id tells them apart.
    QDBusConnection bus = mEventFeedIf->connection();
    mFeedWatcher
            = new QDBusServiceWatcher(mEventFeedIf->service(), bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(mFeedWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &EventfeedHandler::onFeedOwnerChanged);
    if (QDBusConnectionInterface *busDaemon = bus.interface()) {
        const QDBusReply<QString> id = busDaemon->call(QStringLiteral("GetId"));
        mBusId = id.isValid() ? id.value() : QString();
        const QDBusReply<QString> owner = busDaemon->serviceOwner(mEventFeedIf->service());
        // At start nothing is published of the handler's own accord: the first wake-up imports.
        followFeedOwner(owner.isValid() ? owner.value() : QString(), false);
    }
    return true;
}

void EventfeedHandler::setEnabled(bool enabled)
{
    mEnabled = enabled;
}

bool EventfeedHandler::startNewsfeedImport(bool fromCache)
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO << fromCache;
    mFromCache = fromCache;
    return fromCache ? importNewsfeedFromCache() : importNewsfeedFromNetwork();
}

bool EventfeedHandler::importNewsfeedFromNetwork()
{
    if (!mQuillnet || !mQuillnet->isInitialized())
        return false;
    if (mImportRunning)
        return true;
    qCDebug(lcEventFeed) << Q_FUNC_INFO;

    mImportRunning = true;
    mPictures.clear();
    mAvatars.clear();
    mPendingPictures = 0;
    mPendingAvatars = 0;
    // What the service answers may change the rows whatever the cache holds.
    mPage.clear();
    mCompletePage.clear();
    mSafetyTimer.start();
    emit importStarted();

    const Qn::QnDataFilter filter(mQuillnet->currentProfileId(), FeedLimit, 0);
    mAwaitingFeed = mQuillnet->retrieveNewsFeed(nullptr, filter, Qn::RetrieveFromNetwork) == Qn::StatusOk;
    if (mAwaitingFeed)
        return true;
    // The safety timer keeps running: its pass ends this import like any other network import.
    qCWarning(lcEventFeed) << "Failed to start news feed retrieval!";
    mImportRunning = false;
    return false;
}

bool EventfeedHandler::importNewsfeedFromCache()
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO << mImportRunning;
    if (mImportRunning)
        return true;
    if (!mQuillnet) {
        qCDebug(lcEventFeed) << "Quillnet instance was deleted!";
        return false;
    }

    mImportRunning = true;
    // The most common pass by far: the same page, the same rows. Converting the posts would cost most
    // of the pass to find nothing to do; the page is read once for its digest and its posts.
    Qn::QnCache *cache = mQuillnet->cache();
    const QString owner = mQuillnet->currentProfileId();
    mPosts.clear();
    mPage.clear();
    if (cache && cache->isOpen() && !owner.isEmpty())
        mPosts = cache->newsFeed(owner, FeedLimit, 0, &mPage, mCompletePage);
    if (!mPage.isEmpty() && mPage == mCompletePage) {
        qCDebug(lcEventFeed) << Q_FUNC_INFO << "the cached page is the one the last pass published";
        finishPass();
        return true;
    }
    if (mPosts.isEmpty()) {
        qCWarning(lcEventFeed) << "Failed to fetch newsfeeds!";
        mImportRunning = false;
        return false;
    }

    mPictures.clear();
    mAvatars.clear();
    mPendingPictures = 0;
    mPendingAvatars = 0;
    retrievePictures();
    if (downloadsDone())
        processPosts();
    else
        mSafetyTimer.start();
    return true;
}

void EventfeedHandler::clear()
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO;
    withdrawAll();
    // What a running import would still publish or record was withdrawn too (switched off, account
    // gone): it ends here.
    if (mAdding.call) {
        mLateAdd = mAdding;
        mAdding = Add();
    }
    mAddTimer.stop();
    mToAdd.clear();
    mNext.reset();
    mPosts.clear();
    mImportRunning = false;
    mAwaitingFeed = false;
    mPublishing = false;
    mLateWaited = false;
    mRepublish = false;
    mSafetyTimer.stop();
}

void EventfeedHandler::withdrawAll()
{
    // An add on its way is no item once the withdrawal behind it arrives.
    ++mClears;
    mCompletePage.clear();
    if (mFeed)
        mFeed->removeItemsBySourceName(SourceName);
    // Rows left behind would make every post read as published and unchanged.
    if (mDatabase)
        mDatabase->removeAllItems();
}

void EventfeedHandler::republish()
{
    if (!mEnabled || !mQuillnet)
        return;
    if (mImportRunning) {
        mRepublish = true;
        return;
    }
    mFromCache = true;
    importNewsfeedFromCache();
}

void EventfeedHandler::followFeedOwner(const QString &owner, bool republishAfter)
{
    mFeedOwner = owner;
    mFeed.reset();
    // Gone: what it showed stays recorded until the next instance tells whether it is the same.
    if (owner.isEmpty())
        return;
    const QString instance = mBusId + QLatin1Char('/') + owner;
    const QString recorded = mDatabase->itemsOwner();
    if (recorded.isEmpty()) {
        // A new database, or one from before instances were told apart: the items belong to this one.
        if (!mDatabase->setItemsOwner(instance, false))
            return;
    } else if (recorded != instance) {
        // The items went with the instance that was asked to show them. Their ids, given out again by
        // the new one, would change or withdraw another program's items.
        qCDebug(lcEventFeed) << Q_FUNC_INFO << "Event Feed" << instance << "replaces" << recorded
                             << "- its items are forgotten and published again";
        mCompletePage.clear();
        if (!mDatabase->setItemsOwner(instance, true)) {
            // Not one call with an old id: nothing goes out until the rows can be forgotten.
            qCWarning(lcEventFeed) << Q_FUNC_INFO
                                   << "Cannot forget the items of the previous Event Feed; publishing waits";
            return;
        }
        if (republishAfter)
            republish();
    }
    mFeed = std::make_unique<ComTarvoHomeEventFeedInterface>(owner, mEventFeedIf->path(), mEventFeedIf->connection());
    // See EventFeedTimeoutMs: the wait is the pass's, the answer is always taken.
    mFeed->setTimeout(std::numeric_limits<int>::max());
}

void EventfeedHandler::onProfilePictureUpdated(const QString &profId, Qn::PictureType pictureType,
                                               const QString &location)
{
    Q_UNUSED(pictureType)
    qCDebug(lcEventFeed) << Q_FUNC_INFO << mImportRunning << Support::logText(location);
    // Pictures that another part of the daemon asked for are not this import's business.
    if (!mImportRunning || mPublishing || !mAvatars.contains(profId))
        return;
    mSafetyTimer.start();
    mAvatars.insert(profId, location);
    --mPendingAvatars;
    checkDownloads();
}

void EventfeedHandler::onNewsFeedRetrieved(const Qn::QnPosts &posts)
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO;
    // A late answer after the safety timer ended the import, or one nobody asked for.
    if (!mImportRunning || mPublishing)
        return;
    mAwaitingFeed = false;
    mSafetyTimer.start();
    mPosts = posts;
    mPage.clear();
    retrievePictures();
    if (downloadsDone())
        processPosts();
}

void EventfeedHandler::onDataRetrieved(const QUrl &remoteUrl, const QString &location)
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO << mImportRunning << Support::logText(location);
    if (!mImportRunning || mPublishing)
        return;
    mSafetyTimer.start();
    mPictures.insert(pictureKey(remoteUrl), location);
    --mPendingPictures;
    checkDownloads();
}

void EventfeedHandler::onRequestFailed(Qn::RequestKind kind, const QString &subject)
{
    if (!mImportRunning || mPublishing)
        return;
    if (kind == Qn::NewsFeedRequest && mAwaitingFeed) {
        // Ends the import now, as its safety timer would later: a sync meanwhile would join an
        // import that waits for nothing, and fetch nothing.
        qCDebug(lcEventFeed) << Q_FUNC_INFO << "news feed request failed";
        mAwaitingFeed = false;
        onSafetyTimerHit();
        return;
    }
    // A download that failed is over like one that arrived, without a file: its post goes without
    // its picture, or waits for a later pass without its avatar. Taken out of the map, it is counted
    // once.
    QMap<QString, QString> *waiting = kind == Qn::ProfilePictureRequest ? &mAvatars
            : kind == Qn::DataRequest                                   ? &mPictures
                                                                        : nullptr;
    const auto it = waiting ? waiting->constFind(subject) : QMap<QString, QString>::const_iterator();
    if (!waiting || it == waiting->constEnd() || !it.value().isEmpty())
        return;
    qCDebug(lcEventFeed) << Q_FUNC_INFO << "download failed:" << Support::logText(subject);
    waiting->erase(it);
    --(waiting == &mAvatars ? mPendingAvatars : mPendingPictures);
    mSafetyTimer.start();
    checkDownloads();
}

void EventfeedHandler::onSafetyTimerHit()
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO;
    mSafetyTimer.stop();
    mAwaitingFeed = false;
    if (mPublishing)
        return;
    // Posts whose avatar is still missing are skipped; pictures still missing are left out. Also
    // after a start that failed: the pass over nothing ends that import.
    mImportRunning = true;
    processPosts();
    // Downloads still on their way belong to a pass that is over (their failures count for nothing).
    if (mQuillnet)
        mQuillnet->abortRequests({Qn::NewsFeedRequest, Qn::DataRequest, Qn::ProfilePictureRequest});
}

void EventfeedHandler::onDbReseted()
{
    qCDebug(lcEventFeed) << "Clearing items from events feed";
    withdrawAll();
    // The new database belongs to the instance that shows the feed now.
    if (!mFeedOwner.isEmpty())
        mDatabase->setItemsOwner(mBusId + QLatin1Char('/') + mFeedOwner, false);
    // Rebuilt while the daemon runs: published again from the client cache at once, rather than an
    // empty Event Feed until the next sync.
    republish();
}

void EventfeedHandler::onFeedOwnerChanged(const QString &, const QString &oldOwner, const QString &newOwner)
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO << Support::logText(oldOwner) << Support::logText(newOwner);
    if (newOwner != mFeedOwner)
        followFeedOwner(newOwner, true);
}

void EventfeedHandler::retrievePictures()
{
    if (!mQuillnet) {
        qCDebug(lcEventFeed) << "Quillnet instance was deleted!";
        return;
    }

    const Qn::QnPosts posts = mPosts;
    mPosts.clear();
    mPosts.reserve(posts.size());
    for (const Qn::QnPost &post : posts) {
        if (post.application() == Constants::ExcludedApplicationId)
            continue;
        mPosts.append(post);

        const QUrl picture = pictureUrl(post);
        const QString key = picture.isEmpty() ? QString() : pictureKey(picture);
        if (!key.isEmpty() && !mPictures.contains(key)) {
            QString location;
            if (mQuillnet->retrieveData(&location, picture, Qn::RetrieveFromCache) != Qn::StatusOk)
                qCDebug(lcEventFeed) << "Failed to fetch post picture";
            mPictures.insert(key, location);
            // A download the client refuses would never report: the post goes without its picture.
            if (location.isEmpty() && mQuillnet->retrieveData(picture) == Qn::StatusOk)
                ++mPendingPictures;
        }

        const QString userId = post.from().id();
        if (!userId.isEmpty() && !mAvatars.contains(userId)) {
            QString location;
            if (mQuillnet->retrieveProfilePicture(&location, userId, Qn::SmallPicture, Qn::RetrieveFromCache)
                != Qn::StatusOk)
                qCDebug(lcEventFeed) << "Failed to fetch avatar picture";
            mAvatars.insert(userId, location);
            if (location.isEmpty() && mQuillnet->retrieveProfilePicture(userId, Qn::SmallPicture) == Qn::StatusOk)
                ++mPendingAvatars;
        }
    }
}

bool EventfeedHandler::downloadsDone() const
{
    // Reports nobody asked for count down too, so the counts may fall below zero.
    return mPendingAvatars < 1 && mPendingPictures < 1;
}

void EventfeedHandler::checkDownloads()
{
    if (downloadsDone())
        processPosts();
    else
        qCDebug(lcEventFeed) << "Profile pics" << mPendingAvatars << "Images" << mPendingPictures;
}

void EventfeedHandler::processPosts()
{
    mPublishing = true;
    mSafetyTimer.stop();
    // The Event Feed still owes the answer to an earlier add: the rows are complete only with it, so
    // it is waited for first, as long as for any add.
    if (mLateAdd.call && !mLateWaited) {
        mAdding = mLateAdd;
        mLateAdd = Add();
        mLateWaited = true;
        mAddTimer.start();
        return;
    }
    mLateWaited = false;
    mPassComplete = !mLateAdd.call;
    mNext.reset();
    // An instance that showed itself since the last pass, with nobody told yet.
    if (!mFeed && mEventFeedIf) {
        if (QDBusConnectionInterface *busDaemon = mEventFeedIf->connection().interface()) {
            const QDBusReply<QString> owner = busDaemon->serviceOwner(mEventFeedIf->service());
            if (owner.isValid())
                followFeedOwner(owner.value(), false);
        }
    }

    if (!mPosts.isEmpty()) {
        // A post the service lists twice would otherwise become two items, one of which is never
        // recorded and so never withdrawn.
        QSet<QString> ids;
        ids.reserve(mPosts.size());
        mPosts.removeIf([&ids](const Qn::QnPost &post) {
            const qsizetype before = ids.size();
            ids.insert(post.id());
            return ids.size() == before;
        });

        mDatabase->prepareForChecks(mPosts);
        // Nothing published relates to this batch: start from an empty Event Feed.
        if (mDatabase->isCheckListEmpty())
            withdrawAll();

        // Oldest first, so that the Event Feed gets the newest item last.
        while (!mPosts.isEmpty()) {
            const Qn::QnPost post = mPosts.takeLast();
            qint64 homeviewId = 0;
            switch (mDatabase->checkPost(&post, &homeviewId)) {
            case DaemonDatabase::ItemAdd:
                mToAdd.append(post);
                break;
            case DaemonDatabase::ItemUpdate:
                updatePost(post, homeviewId);
                break;
            case DaemonDatabase::ItemUnchanged:
                break;
            }
        }
    }

    // After an empty answer this acts on the previous pass's leftovers once more; their rows are
    // gone already and the removals are harmless.
    if (mDatabase->hasItemsToRemove()) {
        const QList<qint64> stale = mDatabase->removeStaleItems();
        mPassComplete = mPassComplete && !stale.isEmpty();
        for (qint64 id : stale) {
            qCDebug(lcEventFeed) << "id" << id << "removed from events feed";
            if (mFeed)
                mFeed->removeItem(id);
        }
    }

    // Still silent: more adds would only wait as long.
    if (mLateAdd.call && !mToAdd.isEmpty()) {
        qCWarning(lcEventFeed) << FeedSilent << "an earlier addItem is still unanswered";
        mToAdd.clear();
    }
    addNext();
}

void EventfeedHandler::addNext()
{
    // A post that does not get in leaves no trace, so a later pass tries it again.
    while (!mToAdd.isEmpty()) {
        if (publishPost(mToAdd.takeFirst()))
            return;
        mPassComplete = false;
    }
    finishPass();
}

void EventfeedHandler::onAddAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const bool current = call == mAdding.call;
    Add add;
    if (current) {
        add = mAdding;
        mAdding = Add();
        mAddTimer.stop();
    } else if (call == mLateAdd.call) {
        add = mLateAdd;
        mLateAdd = Add();
    } else {
        return;
    }

    const QDBusPendingReply<qlonglong> reply = *call;
    bool recorded = false;
    if (reply.isError()) {
        if (!isUnanswered(reply.error())) {
            qCDebug(lcEventFeed) << "Error: mEventFeedIf returned invalid value.";
        } else if (current) {
            // Once the Event Feed stayed silent, every further add would wait as long.
            qCWarning(lcEventFeed) << FeedSilent << reply.error().name();
            mToAdd.clear();
        }
    } else if (reply.value() == -1) {
        qCWarning(lcEventFeed) << "EventFeed returned error!";
    } else if (reply.value() > 0) {
        const qint64 id = reply.value();
        // Late or not, the item exists once its id is recorded. An item of an instance that is gone,
        // or one that a withdrawal of all items took, is no item any more.
        if (add.clears != mClears || reply.reply().service() != mFeedOwner) {
            qCDebug(lcEventFeed) << Q_FUNC_INFO << "item" << id << "of post" << Support::logText(add.post.id())
                                 << "went with its Event Feed";
        } else if (!mDatabase->addPostToDb(&add.post, id)) {
            // An item without its row would be added once more by every later pass.
            qCWarning(lcEventFeed) << "Could not record post" << Support::logText(add.post.id())
                                   << "- withdrawn from the Event Feed until the next pass";
            if (mFeed)
                mFeed->removeItem(id);
        } else {
            recorded = true;
        }
    }
    if (!current) {
        // The rows changed after the pass that left this post out.
        mCompletePage.clear();
        return;
    }
    mPassComplete = mPassComplete && recorded;
    if (mLateWaited)
        processPosts();
    else
        addNext();
}

void EventfeedHandler::onAddTimedOut()
{
    qCWarning(lcEventFeed) << FeedSilent << "no answer within" << EventFeedTimeoutMs << "ms";
    mPassComplete = false;
    // Its answer is still taken when it comes.
    mLateAdd = mAdding;
    mAdding = Add();
    if (mLateWaited) {
        processPosts();
        return;
    }
    mToAdd.clear();
    finishPass();
}

void EventfeedHandler::finishPass()
{
    qCDebug(lcEventFeed) << Q_FUNC_INFO << (mFromCache ? "from the cache" : "from the service");
    // A pass that found nothing to do leaves the page it had as it was.
    if (mPublishing)
        mCompletePage = mPassComplete ? mPage : QByteArray();
    mPage.clear();
    mPublishing = false;
    mImportRunning = false;
    mSafetyTimer.stop();
    if (!mFromCache)
        emit eventsfeedImported();
    if (mRepublish) {
        mRepublish = false;
        republish();
    }
}

bool EventfeedHandler::publishPost(const Qn::QnPost &post)
{
    QVariantMap item;
    bool made = false;
    if (mNext && mNext->postId == post.id()) {
        made = mNext->made;
        item = std::move(mNext->item);
    } else {
        made = makeItem(post, item);
    }
    mNext.reset();
    if (!made)
        return false;
    if (!mFeed) {
        qCWarning(lcEventFeed) << FeedSilent << "no Event Feed on the bus";
        mToAdd.clear();
        return false;
    }
    // The row is written as soon as the answer comes, so that a kill in between leaves at most this
    // one item unrecorded.
    mAdding.post = post;
    mAdding.clears = mClears;
    mAdding.call = new QDBusPendingCallWatcher(mFeed->addItem(item), this);
    connect(mAdding.call, &QDBusPendingCallWatcher::finished, this, &EventfeedHandler::onAddAnswered);
    mAddTimer.start();
    // While the Event Feed answers, so that the next add goes out as soon as this row is written.
    if (!mToAdd.isEmpty()) {
        mNext.emplace();
        mNext->postId = mToAdd.first().id();
        mNext->made = makeItem(mToAdd.first(), mNext->item);
    }
    return true;
}

bool EventfeedHandler::makeItem(const Qn::QnPost &post, QVariantMap &item)
{
    const QString icon = mAvatars.value(post.from().id());
    if (icon.isEmpty()) {
        qCWarning(lcEventFeed) << "Missing avatar for post" << Support::logText(post.id()) << "skipping";
        return false;
    }

    item.insert(QStringLiteral("icon"), icon);

    // Both names in one step: a marker inside the first name must not take the second. The title is
    // plain text to the Event Feed.
    QString poster = post.from().name();
    if (!post.to().isEmpty())
        poster = QStringLiteral("%1 -> %2").arg(poster, post.to().first().name());
    //% "%1"
    const QString title = qtTrId("qtn_qnk_title_events_feed");
    // Without a catalogue (a broken installation) the id comes back: the name alone is better.
    item.insert(QStringLiteral("title"), title.contains(QLatin1String("%1")) ? title.arg(poster) : poster);

    QString body = escapeHtml(post.message().isEmpty() ? post.story() : post.message());
    for (const QString &field : post.linkInfo().texts()) {
        if (field.isEmpty())
            continue;
        if (!body.isEmpty())
            body += QLatin1String("<br/>");
        body += escapeHtml(field);
    }
    item.insert(QStringLiteral("body"), body);

    const QUrl picture = pictureUrl(post);
    if (!picture.isEmpty()) {
        QString location = mPictures.value(pictureKey(picture));
        if (!location.isEmpty()) {
            // The Event Feed tells the format by the name.
            Utils::fixImageSuffix(location);
            item.insert(QStringLiteral("imageList"), QStringList {location, QString(), QString()});
        }
    }

    item.insert(QStringLiteral("sourceName"), SourceName);
    item.insert(QStringLiteral("sourceDisplayName"), SourceName);
    // Never an empty time: without a valid creation time the last update counts, else now.
    QDateTime time = post.created();
    if (!time.isValid())
        time = post.updated();
    if (!time.isValid())
        time = QDateTime::currentDateTime();
    item.insert(QStringLiteral("timestamp"), time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    addFooter(post, item);
    item.insert(QStringLiteral("action"), remoteAction(post.id()));
    return true;
}

void EventfeedHandler::updatePost(const Qn::QnPost &post, qint64 homeviewId)
{
    // Without likes and comments the map stays empty and the item keeps its old footer.
    QVariantMap item;
    addFooter(post, item);
    // Only to the instance the id belongs to.
    if (!mFeed) {
        qCWarning(lcEventFeed) << "Eventfeed interface not ready!";
        return;
    }
    mFeed->updateItem(homeviewId, item);
}

void EventfeedHandler::addFooter(const Qn::QnPost &post, QVariantMap &item) const
{
    QString footer;
    if (post.likes() > 0) {
        //% "%n like(s)"
        footer = qtTrId("qtn_qnk_event_feed_like", post.likes());
    }
    if (post.commentCount() > 0) {
        if (!footer.isEmpty())
            footer += QLatin1String(", ");
        //% "%n comment(s)"
        footer += qtTrId("qtn_qnk_event_feed_comment", post.commentCount());
    }
    if (!footer.isEmpty())
        item.insert(QStringLiteral("footer"), footer);
}

QString EventfeedHandler::escapeHtml(const QString &text)
{
    return Utils::escapeHtml(text);
}

QUrl EventfeedHandler::pictureUrl(const Qn::QnPost &post)
{
    // Check-ins carry a map picture the Event Feed does not show.
    if (post.picture().isEmpty() || post.type() == CheckinType)
        return QUrl();
    const QUrl url = QUrl::fromEncoded(post.picture().toUtf8());
    // Only the web is fetched; a file or other address from the service is never shown.
    return Support::isWebAddress(url) ? url : QUrl();
}

QString EventfeedHandler::pictureKey(const QUrl &url)
{
    return QString::fromLatin1(url.toEncoded());
}
