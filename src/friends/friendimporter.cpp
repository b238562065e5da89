#include "friends/friendimporter.h"

#include <QDebug>

#include "platform/quillnet/quillnet.h"

FriendImporter::FriendImporter(QObject *parent)
    : QObject(parent)
    , mSafetyTimer(nullptr)
{}

FriendImporter::~FriendImporter() = default;

bool FriendImporter::init(Qn::Quillnet *client, const QString &accountName)
{
    if (!client)
        return false;
    mClient = client;
    mAccountName = accountName;

    connect(client, &Qn::Quillnet::friendsUpdated, this, &FriendImporter::onFriendsUpdated);
    connect(&mSafetyTimer, &QTimer::timeout, this, &FriendImporter::onSafetyTimeout);
    connect(client, &Qn::Quillnet::latestStatusMessageRetrieved, this, &FriendImporter::onLatestStatusMessageRetrieved);
    mSafetyTimer.setInterval(60000);
    mSafetyTimer.setSingleShot(true);
    // The social provider runner and its plug-in are created here once the provider exists.
    return true;
}

Qn::Quillnet *FriendImporter::client() const
{
    return mClient;
}

// The plug-in that these forward to, and the import itself, come with the social provider; until
// then they only trace.

void FriendImporter::accountRemoved()
{
    qDebug() << Q_FUNC_INFO;
}

void FriendImporter::accountDisabled()
{
    qDebug() << Q_FUNC_INFO;
}

// The paged import comes with the social provider; until then a start request only traces.
void FriendImporter::startFriendImport(bool fromCache)
{
    qDebug() << Q_FUNC_INFO << fromCache << (mClient ? "" : "without a client");
}

void FriendImporter::onFriendsUpdated(Qn::QnUserRefs friends)
{
    qDebug() << Q_FUNC_INFO << friends.count() << (mClient ? "" : "without a client");
}

void FriendImporter::onLatestStatusMessageRetrieved(QStringList ids, Qn::QnPosts posts)
{
    qDebug() << Q_FUNC_INFO << ids.count() << posts.count();
}

void FriendImporter::onSafetyTimeout()
{
    qDebug() << Q_FUNC_INFO;
    mFriendsRunning = false;
    mStatusRunning = false;
}
