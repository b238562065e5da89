// The Quillnet service client: one object per login. Requests to the service return at once and are
// answered later by the signals below; cache reads (behaviour 0) answer before they return.
#pragma once

#include <QObject>
#include <QScopedPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qndatafilter.h"
#include "platform/quillnet/qnerror.h"
#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnmessage.h"
#include "platform/quillnet/qnnotification.h"
#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnthread.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/qnuser.h"
#include "platform/quillnet/qnuserref.h"
#include "platform/quillnet/quillnetconfiguration.h"

namespace Qn {

class QuillnetPrivate;

// Speaks the REST protocol of docs/protocol.md over HTTP. A request that was sent and failed is
// answered by requestFailed(), then one error(), instead of its answer signal.
// Every retrieve call returns a Qn::RetrieveStatus; StatusOk (3) means the request was sent
// (behaviour RetrieveFromNetwork, out-pointer ignored) or the out-parameter was filled (behaviour
// RetrieveFromCache). A cache read fails with StatusInvalidArgument for a null out-pointer and with
// StatusNoCache without an open cache. Signal parameter types are written with their namespace so that
// string-based connections ("error(Qn::QnError)") match.
class Quillnet : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Quillnet)

public:
    explicit Quillnet(const QuillnetConfiguration &configuration, QObject *parent = nullptr);
    ~Quillnet() override;

    QuillnetConfiguration configuration() const;

    // Signs in to the service with the configured token and learns the user's profile id. Answered
    // after it returns, by initialized() or by error().
    void init();
    bool isInitialized() const;
    // Id of the signed-in user; empty until initialised.
    QString currentProfileId() const;
    // The configured cache, or null.
    QnCache *cache() const;

    // News feed of the filter's subject (empty: the signed-in user); answer: newsFeedRetrieved.
    int retrieveNewsFeed(Qn::QnPosts *posts, const Qn::QnDataFilter &filter, int behaviour = RetrieveFromNetwork);
    // Data at an http or https address (anything else is refused with StatusInvalidArgument). From
    // the cache, StatusOk with an empty location means "not downloaded yet". A download needs an open
    // cache to land in. Answer: dataRetrieved, with the address asked for even after redirects.
    int retrieveData(QString *location, const QUrl &url, int behaviour = RetrieveFromNetwork);
    int retrieveData(const QUrl &url);
    // A user's profile picture. From the cache, StatusOk with an empty location means "not downloaded
    // yet". Answer: profilePictureUpdated.
    int retrieveProfilePicture(QString *location, const QString &userId, Qn::PictureType type,
                               int behaviour = RetrieveFromNetwork);
    int retrieveProfilePicture(const QString &userId, Qn::PictureType type);
    // Friends of the filter's subject (empty: the signed-in user), one page per request; the cache
    // read returns the whole cached list within the filter's limit and offset. Answer: friendsUpdated.
    int retrieveFriends(Qn::QnUsers *friends, const Qn::QnDataFilter &filter, int behaviour = RetrieveFromNetwork);
    // A user's profile; the cache read fails with StatusNotFound for an unknown user. Answer:
    // profileUpdated, after which the cache holds the profile.
    int retrieveProfile(Qn::QnUser *user, const QString &userId, int behaviour = RetrieveFromNetwork);
    // Status messages of the filter's subject, latest first. Cache only.
    int retrieveStatusMessages(Qn::QnPosts *posts, const Qn::QnDataFilter &filter, int behaviour = RetrieveFromCache);
    // The latest status message of each user. Answer: latestStatusMessageRetrieved.
    int retrieveLatestStatusMessage(const QStringList &userIds);
    // Friend requests, event invitations, notifications and the unread thread count in one request.
    // Answer: allNotificationsRetrieved.
    int retrieveAllNotifications();
    // Details of an event the user is invited to (the invitations of retrieveAllNotifications name
    // them). Answer: eventDetailsRetrieved, with the event asked for.
    int retrieveEventDetails(const QString &eventId);
    // Message threads of a folder. Answer: threadsRetrieved.
    int retrieveThreads(Qn::QnThreads *threads, Qn::MessageBoxType folder, int behaviour = RetrieveFromNetwork);
    // Messages of the thread named by the filter's subject id, latest first. Answer: messagesUpdated.
    int retrieveMessages(Qn::QnMessages *messages, const Qn::QnDataFilter &filter, int behaviour = RetrieveFromNetwork);
    // Marks the service's notifications read. No answer signal.
    int markNotificationsRead(const QStringList &notificationIds);
    // Abandons every request of these kinds that is on its way or waiting: each is answered by
    // requestFailed() (and error()) as if the service had failed it. For an import that gave up.
    void abortRequests(const QList<Qn::RequestKind> &kinds);

signals:
    void initialized();
    void error(Qn::QnError error);
    // A request that was sent got no answer signal: it failed on the way, the service refused it or
    // its answer did not read or could not be stored. Named by its kind and its subject: the address
    // of a download (encoded), the user of a picture, profile or feed, the event, the thread, the
    // folder's number, or the ids joined by commas; empty for requests about nothing in particular.
    void requestFailed(Qn::RequestKind kind, QString subject);
    void newsFeedRetrieved(Qn::QnPosts posts);
    void dataRetrieved(QUrl url, QString location);
    void profilePictureUpdated(QString userId, Qn::PictureType type, QString location);
    void friendsUpdated(Qn::QnUserRefs friends);
    void profileUpdated(QString userId);
    void latestStatusMessageRetrieved(QStringList userIds, Qn::QnPosts posts);
    void allNotificationsRetrieved(Qn::QnUsers friendRequests, Qn::QnEvents eventInvitations,
                                   Qn::QnNotificationList notifications, quint32 numberOfUnreadThreads);
    void eventDetailsRetrieved(Qn::QnEvent event);
    void threadsRetrieved(Qn::MessageBoxType folder, Qn::QnThreads threads);
    void messagesUpdated(QString threadId, Qn::QnMessages messages);

private:
    friend class QuillnetPrivate;
    QScopedPointer<QuillnetPrivate> d;
};

} // namespace Qn
