// The simulated service's state: the signed-in user, friends, news feed, status messages, message
// threads, notifications, friend requests, event invitations and the pictures it serves.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/qnuser.h"

namespace QuillnetSim {

// How to draw one picture; the bytes are made on demand (MediaRenderer).
struct MediaRecipe
{
    QByteArray format; // "png", "jpeg" or "gif"
    quint32 seed = 0; // colours
    int width = 0;
    int height = 0;

    bool isValid() const { return !format.isEmpty(); }
};

class World
{
public:
    // Picture addresses are paths on the simulator ("/media/..."); the simulator puts its own
    // address in front when it hands records out.
    static constexpr char MediaPrefix[] = "/media/";
    static QString avatarPath(const QString &userId);

    Qn::QnUser me;
    // Users known to the service who are not friends of the signed-in user (friend requesters).
    Qn::QnUsers strangers;
    Qn::QnUsers friends;
    // Newest first.
    Qn::QnPosts feed;
    // User id to that user's status messages, newest first.
    QHash<QString, Qn::QnPosts> statuses;
    // Latest activity first, per folder (0 inbox, 1 outbox, 2 updates).
    QHash<int, Qn::QnThreads> threads;
    // Thread id to its messages, newest first.
    QHash<QString, Qn::QnMessages> messages;
    Qn::QnUsers friendRequests;
    Qn::QnEvents eventInvitations;
    // Newest first.
    Qn::QnNotificationList notifications;
    // Path ("/media/photos/x.png") to picture; profile pictures are not listed, see mediaRecipe().
    QHash<QString, MediaRecipe> media;

    // Any user the service knows, or an invalid user.
    Qn::QnUser user(const QString &id) const;
    // The picture at a path; profile pictures exist for every known user.
    MediaRecipe mediaRecipe(const QString &path) const;

    int indexOfPost(const QString &id) const;
    // Inbox threads with unread messages.
    int unreadThreadCount() const;
    // The thread with the id in any folder, or null.
    Qn::QnThread *thread(const QString &id);

    // Edits. Each returns false, changing nothing, when the target is unknown or the record unusable.
    bool addPost(Qn::QnPost &post);
    bool removePost(const QString &id);
    bool likePost(const QString &id, int count);
    bool commentPost(const QString &id, int count);
    bool addFriend(const Qn::QnUser &user);
    bool addStatusMessage(Qn::QnPost &post);
    bool addNotification(Qn::QnNotification &notification);
    bool addThread(Qn::QnThread &thread, int folder);
    bool addMessage(Qn::QnMessage &message);
    bool addFriendRequest(const Qn::QnUser &user);
    bool removeFriendRequest(const QString &id);
    bool addEventInvitation(const Qn::QnEvent &event);
    // A new picture of the format ("png", "jpeg" or "gif"); returns its path, empty for another format.
    QString addPicture(const QByteArray &format);
    // Read on the service: unknown ids are skipped. Returns how many changed.
    int markNotificationsRead(const QStringList &ids);

    // Upper bounds of what edits may add, so that a runaway test cannot fill the memory.
    static constexpr int MaxItems = 200000;

private:
    QString newId(const QString &prefix);
    // A time after every time handed out by edits, so that an update always changes an item's key.
    QDateTime nextTime();

    int mNextId = 1;
    QDateTime mLastTime;
};

} // namespace QuillnetSim
