#include "simworld.h"

#include <QRandomGenerator>

namespace QuillnetSim {

namespace {

// Newest first: the index before which an item of this time belongs.
template<typename List, typename TimeOf>
int insertionIndex(const List &list, const QDateTime &time, TimeOf timeOf)
{
    int index = 0;
    while (index < list.size() && timeOf(list.at(index)) > time)
        ++index;
    return index;
}

} // namespace

Qn::QnUser World::user(const QString &id) const
{
    if (id.isEmpty())
        return Qn::QnUser();
    if (me.id() == id)
        return me;
    for (const Qn::QnUser &user : friends) {
        if (user.id() == id)
            return user;
    }
    for (const Qn::QnUser &user : strangers) {
        if (user.id() == id)
            return user;
    }
    return Qn::QnUser();
}

int World::indexOfPost(const QString &id) const
{
    for (int i = 0; i < feed.size(); ++i) {
        if (feed.at(i).id() == id)
            return i;
    }
    return -1;
}

int World::unreadThreadCount() const
{
    int count = 0;
    for (const Qn::QnThread &thread : threads.value(Qn::Inbox)) {
        if (thread.unread() > 0)
            ++count;
    }
    return count;
}

Qn::QnThread *World::thread(const QString &id)
{
    for (auto it = threads.begin(); it != threads.end(); ++it) {
        for (Qn::QnThread &thread : it.value()) {
            if (thread.id() == id)
                return &thread;
        }
    }
    return nullptr;
}

QString World::newId(const QString &prefix)
{
    return prefix + QString::number(mNextId++);
}

QDateTime World::nextTime()
{
    QDateTime now = QDateTime::currentDateTimeUtc();
    if (mLastTime.isValid() && now <= mLastTime)
        now = mLastTime.addMSecs(1);
    mLastTime = now;
    return now;
}

bool World::addPost(Qn::QnPost &post)
{
    if (feed.size() >= MaxItems)
        return false;
    if (post.id().isEmpty())
        post.setId(newId(QStringLiteral("added_post_")));
    else if (indexOfPost(post.id()) >= 0)
        return false;
    if (!post.from().isValid())
        post.setFrom(me.ref());
    if (post.type().isEmpty())
        post.setType(QStringLiteral("status"));
    if (!post.created().isValid())
        post.setCreated(nextTime());
    if (!post.updated().isValid())
        post.setUpdated(post.created());
    post.setLikes(qMax(0, post.likes()));
    post.setCommentCount(qMax(0, post.commentCount()));
    feed.insert(insertionIndex(feed, post.created(), [](const Qn::QnPost &p) { return p.created(); }), post);
    return true;
}

bool World::removePost(const QString &id)
{
    const int index = indexOfPost(id);
    if (index < 0)
        return false;
    feed.removeAt(index);
    return true;
}

bool World::likePost(const QString &id, int count)
{
    const int index = indexOfPost(id);
    if (index < 0)
        return false;
    Qn::QnPost &post = feed[index];
    post.setLikes(qBound(0, post.likes() + count, 1000000000));
    return true;
}

bool World::commentPost(const QString &id, int count)
{
    const int index = indexOfPost(id);
    if (index < 0)
        return false;
    Qn::QnPost &post = feed[index];
    post.setCommentCount(qBound(0, post.commentCount() + count, 1000000000));
    post.setUpdated(nextTime());
    return true;
}

bool World::addFriend(const Qn::QnUser &user)
{
    if (!user.isValid() || this->user(user.id()).isValid() || friends.size() >= MaxItems)
        return false;
    friends.append(user);
    return true;
}

bool World::addStatusMessage(Qn::QnPost &post)
{
    if (!user(post.from().id()).isValid())
        return false;
    Qn::QnPosts &posts = statuses[post.from().id()];
    if (posts.size() >= MaxItems)
        return false;
    if (post.id().isEmpty())
        post.setId(newId(QStringLiteral("added_status_")));
    if (post.type().isEmpty())
        post.setType(QStringLiteral("status"));
    if (!post.created().isValid())
        post.setCreated(nextTime());
    if (!post.updated().isValid())
        post.setUpdated(post.created());
    posts.insert(insertionIndex(posts, post.created(), [](const Qn::QnPost &p) { return p.created(); }), post);
    return true;
}

bool World::addNotification(Qn::QnNotification &notification)
{
    if (notifications.size() >= MaxItems)
        return false;
    if (notification.id().isEmpty())
        notification.setId(newId(QStringLiteral("added_notif_")));
    if (!notification.updatedTime().isValid())
        notification.setUpdatedTime(nextTime());
    // An id the service already has is an update of that notification.
    for (int i = 0; i < notifications.size(); ++i) {
        if (notifications.at(i).id() == notification.id()) {
            notifications.removeAt(i);
            break;
        }
    }
    notifications.insert(insertionIndex(notifications, notification.updatedTime(),
                                        [](const Qn::QnNotification &n) { return n.updatedTime(); }),
                         notification);
    return true;
}

bool World::addThread(Qn::QnThread &thread, int folder)
{
    if (folder < Qn::Inbox || folder > Qn::Updates || messages.size() >= MaxItems)
        return false;
    if (thread.id().isEmpty())
        thread.setId(newId(QStringLiteral("added_thread_")));
    else if (this->thread(thread.id()))
        return false;
    if (!thread.updatedTime().isValid())
        thread.setUpdatedTime(nextTime());
    thread.setUnread(qMax(0, thread.unread()));
    Qn::QnThreads &list = threads[folder];
    list.insert(insertionIndex(list, thread.updatedTime(), [](const Qn::QnThread &t) { return t.updatedTime(); }),
                thread);
    messages.insert(thread.id(), Qn::QnMessages());
    return true;
}

bool World::addMessage(Qn::QnMessage &message)
{
    Qn::QnThread *target = thread(message.threadId());
    if (!target)
        return false;
    Qn::QnMessages &list = messages[message.threadId()];
    if (list.size() >= MaxItems)
        return false;
    if (message.id().isEmpty())
        message.setId(newId(QStringLiteral("added_message_")));
    if (!message.from().isValid())
        message.setFrom(friends.isEmpty() ? me.ref() : friends.first().ref());
    // A new message is the newest of its thread and moves the thread's update time.
    message.setCreated(nextTime());
    list.prepend(message);
    target->setUpdatedTime(message.created());
    if (message.from().id() != me.id()) {
        target->setUnread(target->unread() + 1);
        Qn::QnUserRefs senders = target->senders();
        senders.removeAll(message.from());
        senders.prepend(message.from());
        target->setSenders(senders);
    }
    // Keep the folder ordered by latest activity.
    for (auto it = threads.begin(); it != threads.end(); ++it) {
        Qn::QnThreads &folder = it.value();
        for (int i = 0; i < folder.size(); ++i) {
            if (folder.at(i).id() == message.threadId()) {
                folder.move(i, 0);
                return true;
            }
        }
    }
    return true;
}

bool World::addFriendRequest(const Qn::QnUser &user)
{
    if (!user.isValid() || friendRequests.size() >= MaxItems)
        return false;
    for (const Qn::QnUser &request : std::as_const(friendRequests)) {
        if (request.id() == user.id())
            return false;
    }
    if (!this->user(user.id()).isValid())
        strangers.append(user);
    friendRequests.append(user);
    return true;
}

bool World::removeFriendRequest(const QString &id)
{
    for (int i = 0; i < friendRequests.size(); ++i) {
        if (friendRequests.at(i).id() == id) {
            friendRequests.removeAt(i);
            return true;
        }
    }
    return false;
}

bool World::addEventInvitation(const Qn::QnEvent &event)
{
    if (!event.isValid() || eventInvitations.size() >= MaxItems)
        return false;
    for (const Qn::QnEvent &known : std::as_const(eventInvitations)) {
        if (known.id() == event.id())
            return false;
    }
    eventInvitations.append(event);
    return true;
}

QString World::addPicture(const QByteArray &format)
{
    if (format != "png" && format != "jpeg" && format != "gif")
        return QString();
    if (media.size() >= MaxItems)
        return QString();
    const QString path = QLatin1String(MediaPrefix) + QLatin1String("added/") + newId(QStringLiteral("picture_"))
            + QLatin1Char('.') + QString::fromLatin1(format == "jpeg" ? "jpg" : format);
    media.insert(path, MediaRecipe {format, QRandomGenerator::global()->generate(), 80, 60});
    return path;
}

int World::markNotificationsRead(const QStringList &ids)
{
    int changed = 0;
    for (Qn::QnNotification &notification : notifications) {
        if (notification.unread() && ids.contains(notification.id())) {
            notification.setUnread(false);
            ++changed;
        }
    }
    return changed;
}

} // namespace QuillnetSim
