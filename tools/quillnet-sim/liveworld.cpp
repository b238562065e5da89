#include "liveworld.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMetaEnum>

#include "simulator.h"
#include "wirejson.h"

namespace QuillnetSim {

namespace {

const char *const Texts[] = {
        "Just back from a walk by the sea.",
        "Who is up for coffee tomorrow?",
        "New recipe: <b>lemon</b> tart & cream",
        "Finally finished the book. Recommended!",
        "The train is late again.",
        "Look at this sunset.",
};

const char *const NotificationTitles[] = {
        "%1 likes your photo.",
        "%1 commented on your post.",
        "%1 tagged you in an album.",
        "%1 invited you to an event.",
};

const char *const NotifiedTypes[] = {"photo", "stream", "album", "event"};

} // namespace

LiveWorld::LiveWorld(Simulator *simulator, int intervalMs, quint32 seed, QObject *parent)
    : QObject(parent)
    , mSimulator(simulator)
    , mRandom(seed)
{
    mTimer.setInterval(intervalMs);
    connect(&mTimer, &QTimer::timeout, this, &LiveWorld::step);
    mTimer.start();
}

LiveWorld::~LiveWorld() = default;

void LiveWorld::step()
{
    const Change kind = Change(mRandom.bounded(6));
    if (!change(kind))
        qWarning("quillnet-sim: the live world could not add a %s", QMetaEnum::fromType<Change>().valueToKey(kind));
}

QString LiveWorld::randomFriendName()
{
    const Qn::QnUsers friends = mSimulator->friends();
    return friends.isEmpty() ? QStringLiteral("Someone") : friends.at(mRandom.bounded(int(friends.size()))).name();
}

bool LiveWorld::change(Change kind)
{
    ++mCount;
    // Each change goes the way of its administration call: a body read as that call reads it.
    switch (kind) {
    case Post: {
        QJsonObject body {{QStringLiteral("message"), QString::fromUtf8(Texts[mRandom.bounded(6)])}};
        const Qn::QnUsers friends = mSimulator->friends();
        if (!friends.isEmpty()) {
            const Qn::QnUser author = friends.at(mRandom.bounded(int(friends.size())));
            body.insert(QStringLiteral("from"),
                        QJsonObject {{QStringLiteral("id"), author.id()}, {QStringLiteral("name"), author.name()}});
        }
        const Qn::QnPost post = mSimulator->addPost(WireJson::readPost(body), mCount % 3 == 0 ? "png" : "");
        if (post.id().isEmpty())
            return false;
        emit changed(QStringLiteral("post %1").arg(post.id()));
        return true;
    }
    case Like:
    case Comment: {
        const Qn::QnPosts posts = mSimulator->posts();
        if (posts.isEmpty())
            return false;
        // The newest few: what a person sees moves.
        const QString id = posts.at(mRandom.bounded(qMin(5, int(posts.size())))).id();
        const bool done = kind == Like ? mSimulator->likePost(id) : mSimulator->commentPost(id);
        if (done)
            emit changed(QStringLiteral("%1 %2").arg(kind == Like ? "like" : "comment", id));
        return done;
    }
    case Message: {
        const Qn::QnThreads threads = mSimulator->threads(Qn::Inbox);
        if (threads.isEmpty())
            return false;
        const Qn::QnThread thread = threads.at(mRandom.bounded(int(threads.size())));
        const Qn::QnUsers friends = mSimulator->friends();
        QJsonObject body {{QStringLiteral("content"), QString::fromUtf8(Texts[mRandom.bounded(6)])}};
        if (!friends.isEmpty()) {
            const Qn::QnUser from = friends.at(mRandom.bounded(int(friends.size())));
            body.insert(QStringLiteral("from"),
                        QJsonObject {{QStringLiteral("id"), from.id()}, {QStringLiteral("name"), from.name()}});
        }
        Qn::QnMessage message = WireJson::readMessage(body);
        message.setThreadId(thread.id());
        const Qn::QnMessage stored = mSimulator->addMessage(message);
        if (stored.id().isEmpty())
            return false;
        emit changed(QStringLiteral("message %1").arg(thread.id()));
        return true;
    }
    case FriendRequest: {
        const QString id = QString::number(100000000990000LL + mCount);
        const QString name = QStringLiteral("New Person %1").arg(mCount);
        const Qn::QnUser user = WireJson::readUser({{QStringLiteral("id"), id}, {QStringLiteral("name"), name}});
        if (!mSimulator->addFriendRequest(user))
            return false;
        emit changed(QStringLiteral("friend-request %1").arg(id));
        return true;
    }
    case Notification: {
        const int type = mRandom.bounded(4);
        const Qn::QnNotification stored = mSimulator->addNotification(WireJson::readNotification({
                {QStringLiteral("title"), QString::fromUtf8(NotificationTitles[type]).arg(randomFriendName())},
                {QStringLiteral("object_type"), QString::fromUtf8(NotifiedTypes[type])},
                {QStringLiteral("object_id"), QString::number(700000000000000LL + mCount)},
        }));
        if (stored.id().isEmpty())
            return false;
        emit changed(QStringLiteral("notification %1").arg(stored.id()));
        return true;
    }
    }
    return false;
}

} // namespace QuillnetSim
