// A Quillnet service on the loopback interface for tests, benchmarks and the demo: the protocol of
// docs/protocol.md over generated, seeded data, with administration calls that change the data and
// make the next requests fail in chosen ways.
#pragma once

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QScopedPointer>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include "platform/quillnet/qntypes.h"
#include "simconfig.h"
#include "simworld.h"

class QHttpServerRequest;
class QTcpSocket;

namespace QuillnetSim {

class HttpFrontend;

class Simulator : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Simulator)

public:
    enum FaultKind {
        HttpStatus, // the error form with status `value`
        Delay, // the normal answer, `value` ms later
        MalformedBody, // 200 with a body that is not JSON (nor a picture)
        TruncatedBody, // the normal answer's header, half of its body, then the connection closes
        DropConnection, // the connection closes without an answer
        OversizedBody, // 200 with a body of `value` bytes (default DefaultOversize)
    };
    Q_ENUM(FaultKind)

    static constexpr int DefaultOversize = 5 * 1024 * 1024;

    // One request as it arrived.
    struct Request
    {
        QByteArray method;
        QString path; // decoded
        QUrlQuery query;
    };

    explicit Simulator(const SimConfig &config = SimConfig(), QObject *parent = nullptr);
    ~Simulator() override;

    // 127.0.0.1 only; 0 picks a free port. False when the port cannot be had.
    bool listen(quint16 port = 0);
    quint16 port() const;
    // http://127.0.0.1:<port>
    QUrl baseUrl() const;

    // The credential an account file holds; the token endpoint trades it for an access token.
    QString refreshToken() const;
    void setRefreshToken(const QString &token);
    // The access token now valid. Every grant at the token endpoint replaces it.
    QString accessToken() const;
    // The current access token stops working (401 invalid_token); a new one becomes current.
    void expireAccessToken();
    // The next `count` token requests answer access_denied, as when the user cancels a login.
    void denyLogins(int count = 1);
    // The demo user, who signs in on the authorization page: the user's email address (the id
    // when there is none) and a password made from the seed.
    QString username() const;
    QString password() const;
    // How long an authorization code can be exchanged (default DefaultCodeLifetime).
    void setAuthorizationCodeLifetime(int milliseconds);
    static constexpr int DefaultCodeLifetime = 60000;
    static constexpr int MaxPendingCodes = 100;

    // The next `count` requests whose path starts with pathPrefix fail as `kind` says. Faults are
    // used in the order they were added; administration requests never fail.
    void injectFault(const QString &pathPrefix, FaultKind kind, int value = 0, int count = 1);
    void clearFaults();
    // Faults not used up yet (sum of their remaining counts).
    int pendingFaults() const;

    // The world as clients see it: picture addresses carry this simulator's address.
    Qn::QnUser me() const;
    Qn::QnUsers friends() const;
    Qn::QnPosts posts() const; // the signed-in user's news feed, newest first
    Qn::QnPosts statusMessages(const QString &userId) const;
    Qn::QnThreads threads(Qn::MessageBoxType folder = Qn::Inbox) const;
    Qn::QnMessages messages(const QString &threadId) const; // newest first
    Qn::QnUsers friendRequests() const;
    Qn::QnEvents eventInvitations() const;
    Qn::QnNotificationList notifications() const;
    // The id of the application whose posts the daemon never publishes.
    static QString excludedApplicationId();
    // The bytes served at a picture address of this simulator, or empty.
    QByteArray pictureData(const QUrl &url) const;
    QByteArray profilePictureData(const QString &userId, Qn::PictureType type) const;

    // Changes. Records come back as stored (with the id and times filled in); an invalid record
    // (empty id) or false means the change was refused: unknown id, duplicate, or full.
    // pictureFormat "png", "jpeg" or "gif" attaches a new picture of that format.
    Qn::QnPost addPost(const Qn::QnPost &post, const QByteArray &pictureFormat = QByteArray());
    bool removePost(const QString &id);
    bool likePost(const QString &id, int count = 1);
    bool commentPost(const QString &id, int count = 1);
    Qn::QnPost addStatusMessage(const Qn::QnPost &post);
    bool addFriend(const Qn::QnUser &user);
    // An id the service has already replaces that notification (an update).
    Qn::QnNotification addNotification(const Qn::QnNotification &notification);
    // An id the service has already replaces that thread.
    Qn::QnThread addThread(const Qn::QnThread &thread, Qn::MessageBoxType folder = Qn::Inbox);
    // Becomes the newest message of its thread (message.threadId()), moving the thread's update time
    // and, from anyone but the user, its unread count.
    Qn::QnMessage addMessage(const Qn::QnMessage &message);
    bool addFriendRequest(const Qn::QnUser &user);
    bool removeFriendRequest(const QString &userId);
    bool addEventInvitation(const Qn::QnEvent &event);

    // Requests received so far (at most the last MaxRecordedRequests), administration included.
    QList<Request> requests() const;
    int requestCount(const QString &pathPrefix) const;
    void clearRequests();
    static constexpr int MaxRecordedRequests = 10000;

    // One HTTP answer before it is written (used inside the simulator).
    struct Response
    {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        QByteArray location; // the Location header of a redirect
    };

signals:
    void requestReceived(const QByteArray &method, const QString &path);

private:
    friend class HttpFrontend;

    struct Fault
    {
        QString pathPrefix;
        FaultKind kind;
        int value;
        int remaining;
    };
    struct Incoming
    {
        QByteArray method;
        QString path;
        QStringList segments; // decoded, without the leading empty one
        QUrlQuery query;
        QByteArray authorization;
        QByteArray body;
    };

    void handleRequest(const QHttpServerRequest &request, QTcpSocket *socket);
    Response respond(const Incoming &in);
    Response respondToken(const Incoming &in);
    Response respondCodeGrant(const QUrlQuery &form);
    Response respondAuthorize(const Incoming &in);
    Response respondApi(const Incoming &in);
    Response respondAdmin(const Incoming &in);
    Response respondMedia(const Incoming &in);
    bool takeFault(const QString &path, Fault *fault);
    void send(QTcpSocket *socket, const Response &response);
    void sendTruncated(QTcpSocket *socket, const Response &response);
    void sendOversized(QTcpSocket *socket, qint64 size);

    Qn::QnPost outward(Qn::QnPost post) const;
    QByteArray mediaBytes(const QString &path, const MediaRecipe &recipe) const;
    QString newAccessToken();

    QScopedPointer<HttpFrontend> mServer;
    quint16 mPort = 0;
    QString mBaseAddress; // baseUrl() as text, put in front of picture paths
    quint32 mSeed;
    World mWorld;
    QString mRefreshToken;
    QString mAccessToken;
    QSet<QString> mExpiredTokens;
    int mTokenCounter = 0;
    int mDeniedLogins = 0;
    QString mPassword;
    // Authorization codes not yet exchanged: where they were sent and the PKCE challenge.
    struct PendingCode
    {
        QString redirectUri;
        QString challenge;
        QDeadlineTimer expiry;
    };
    QHash<QString, PendingCode> mCodes;
    int mCodeLifetime = DefaultCodeLifetime;
    QList<Fault> mFaults;
    QList<Request> mRequests;
    mutable QHash<QString, QByteArray> mMediaCache;
};

} // namespace QuillnetSim
