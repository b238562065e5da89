#include "friends/friendimporter.h"

#include <QDebug>

#include "platform/quillnet/quillnet.h"
#include "platform/support/logtext.h"
#include "socialprovider/quillnetplugin.h"
#include "socialprovider/sdpimpl.h"
#include "platform/support/logging.h"

const QStringList FriendImporter::FriendFields = {
        QStringLiteral("mobile_phone"),
        QStringLiteral("first_name"),
        QStringLiteral("last_name"),
        QStringLiteral("email"),
        QStringLiteral("relationship_status"),
        QStringLiteral("website"),
        QStringLiteral("work"),
        QStringLiteral("interested_in"),
        QStringLiteral("political"),
        QStringLiteral("significant_other"),
        QStringLiteral("location"),
        QStringLiteral("link"),
        QStringLiteral("about"),
        QStringLiteral("birthday"),
        QStringLiteral("hometown"),
        QStringLiteral("bio"),
        QStringLiteral("gender"),
        QStringLiteral("religion"),
        QStringLiteral("picture"),
};

FriendImporter::FriendImporter(QObject *parent)
    : QObject(parent)
    , mSafetyTimer(this)
{
    mSafetyTimer.setObjectName(QStringLiteral("safetyTimer"));
}

FriendImporter::~FriendImporter() = default;

bool FriendImporter::init(Qn::Quillnet *client, const QString &accountName)
{
    if (!client)
        return false;
    mClient = client;

    if (!connect(client, &Qn::Quillnet::friendsUpdated, this, &FriendImporter::onFriendsUpdated)) {
        qCCritical(lcFriends) << "Unable to connect friendsUpdate to onFriendsUpdated";
        return false;
    }
    if (!connect(&mSafetyTimer, &QTimer::timeout, this, &FriendImporter::onSafetyTimeout)) {
        qCCritical(lcFriends) << "Unable to connect timeout to onSafetyTimeout";
        return false;
    }
    if (!connect(client, &Qn::Quillnet::latestStatusMessageRetrieved, this,
                 &FriendImporter::onLatestStatusMessageRetrieved)) {
        qCCritical(lcFriends) << "Unable to connect to latestStatusMessagesRetrieved";
        return false;
    }
    if (!connect(client, &Qn::Quillnet::requestFailed, this, &FriendImporter::onRequestFailed)) {
        qCCritical(lcFriends) << "Unable to connect to requestFailed";
        return false;
    }
    mSafetyTimer.setInterval(SafetyTimeoutMs);
    mSafetyTimer.setSingleShot(true);

    // Gives up the bus name before the new runner asks for it.
    delete mRunner;
    mRunner = new SdpImpl(nullptr, this);
    mPlugin = new QuillnetPlugin;
    mRunner->setHandler(mPlugin);
    mPlugin->setQuillnetInstance(accountName, client);
    return true;
}

Qn::Quillnet *FriendImporter::client() const
{
    return mClient;
}

void FriendImporter::accountRemoved()
{
    if (mPlugin)
        mPlugin->accountRemoved();
}

void FriendImporter::accountDisabled()
{
    if (mPlugin)
        mPlugin->accountDisabled();
}

bool FriendImporter::startFriendImport(bool fromCache)
{
    qCDebug(lcFriends) << Q_FUNC_INFO << fromCache;
    return fromCache ? importFromCache() : importFromNetwork();
}

bool FriendImporter::importFromNetwork()
{
    if (!mClient || !mClient->isInitialized() || !mPlugin)
        return false;
    if (mFriendsRunning || mStatusRunning)
        return true;
    mPendingIds.clear();
    mPageOffset = 0;
    mFailedPages = 0;
    mComplete = true;
    mFriendsRunning = true;
    mPlugin->clearPersonCaches();
    requestPage();
    mSafetyTimer.start();
    emit importStarted();
    return true;
}

void FriendImporter::requestPage()
{
    Qn::QnDataFilter filter(mClient->currentProfileId(), PageSize, mPageOffset);
    filter.setFields(QSet<QString>(FriendFields.cbegin(), FriendFields.cend()));
    mClient->retrieveFriends(nullptr, filter, Qn::RetrieveFromNetwork);
}

void FriendImporter::onFriendsUpdated(Qn::QnUserRefs friends)
{
    qCDebug(lcFriends) << Q_FUNC_INFO << friends.size();
    if (!mFriendsRunning || !mClient)
        return;
    mSafetyTimer.start();
    mFailedPages = 0;

    int added = 0;
    for (const Qn::QnUserRef &ref : std::as_const(friends)) {
        if (!mPendingIds.contains(ref.id())) {
            mPendingIds.insert(ref.id());
            ++added;
        }
    }
    // A service that answers full pages of friends it has given already would be asked forever.
    if (friends.size() == PageSize && added > 0) {
        qCDebug(lcFriends) << "More friends needed..";
        mPageOffset += PageSize;
        requestPage();
        return;
    }
    requestStatuses();
}

void FriendImporter::requestStatuses()
{
    mFriendsRunning = false;
    mStatusRunning = true;
    qCDebug(lcFriends) << "All friends received, starting status retrieval";
    QStringList batch;
    int left = mPendingIds.size();
    for (const QString &id : std::as_const(mPendingIds)) {
        batch.append(id);
        --left;
        if (batch.size() == StatusBatchSize || left == 0) {
            mClient->retrieveLatestStatusMessage(batch);
            batch.clear();
        }
    }
}

void FriendImporter::onLatestStatusMessageRetrieved(QStringList ids, Qn::QnPosts posts)
{
    if (!mPlugin)
        return;
    for (const Qn::QnPost &post : std::as_const(posts))
        mPlugin->setStatusMessage(post.from().id(), post);
    addPending(ids);
}

void FriendImporter::addPending(const QStringList &ids)
{
    for (const QString &id : ids) {
        if (mPendingIds.remove(id))
            mPlugin->addToFriendPool(id);
    }
    // Also after the safety timer: statuses that come late still end the import.
    if (mStatusRunning && mPendingIds.isEmpty()) {
        mStatusRunning = false;
        mSafetyTimer.stop();
        emit friendImportReady(mComplete);
    }
}

void FriendImporter::onRequestFailed(Qn::RequestKind kind, const QString &subject)
{
    if (!mPlugin || !mClient)
        return;
    if (kind == Qn::FriendsRequest && mFriendsRunning) {
        // A refused page (too large, say) costs only its friends: the next page is asked for. Two
        // in a row mean the service is not answering; the friends found so far are announced.
        mComplete = false;
        mSafetyTimer.start();
        if (++mFailedPages < 2) {
            qCWarning(lcFriends) << Q_FUNC_INFO << "Friends page at" << mPageOffset
                                 << "failed; going on with the next one";
            mPageOffset += PageSize;
            requestPage();
            return;
        }
        qCWarning(lcFriends) << Q_FUNC_INFO << "Friends pages failed twice in a row; the friends found so far are kept";
        requestStatuses();
    } else if (kind == Qn::LatestStatusMessageRequest && mStatusRunning) {
        // Those friends go without a status message.
        mComplete = false;
        addPending(subject.split(QLatin1Char(','), Qt::SkipEmptyParts));
    }
}

void FriendImporter::onSafetyTimeout()
{
    qCDebug(lcFriends) << Q_FUNC_INFO;
    mStatusRunning = false;
    mFriendsRunning = false;
    // Friends whose status never came are announced without one.
    if (mPlugin) {
        for (const QString &id : std::as_const(mPendingIds))
            mPlugin->addToFriendPool(id);
    }
    emit friendImportReady(false);
    // Whatever is still on its way belongs to an import that is over.
    if (mClient)
        mClient->abortRequests({Qn::FriendsRequest, Qn::LatestStatusMessageRequest});
}

bool FriendImporter::importFromCache()
{
    if (!mClient || !mClient->isInitialized() || !mPlugin)
        return false;
    Qn::QnUsers friends;
    mClient->retrieveFriends(&friends, Qn::QnDataFilter(), Qn::RetrieveFromCache);
    if (friends.isEmpty())
        return false;
    for (const Qn::QnUser &user : std::as_const(friends)) {
        Qn::QnDataFilter filter(user.id(), CachedStatusesPerFriend);
        Qn::QnPosts posts;
        mClient->retrieveStatusMessages(&posts, filter, Qn::RetrieveFromCache);
        qCDebug(lcFriends) << user.id() << posts.size();
        for (const Qn::QnPost &post : std::as_const(posts)) {
            if (post.from().id() == user.id()) {
                qCDebug(lcFriends) << "Status for" << user.id() << Support::logText(post.message());
                mPlugin->setStatusMessage(user.id(), post);
                break;
            }
        }
    }
    mPlugin->clearPersonCaches();
    mPlugin->cacheFriends(friends, true);
    mPlugin->friendsUpdated(friends);
    return true;
}
