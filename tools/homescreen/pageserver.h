// The home screen as a web page on the loopback interface: the Event Feed, the notifications and the
// contacts as a phone would show them, buttons that act as its user would, and every change pushed
// to the open pages as server-sent events. Every address of the page starts with a random secret of
// this run: another user of the machine can reach the port, never the page.
// HTTP is read and written here, not by QHttpServer: Qt 6.4's reads any request body whole before a
// handler sees it and has no limit of connections, header size or idle time, which this page keeps.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrlQuery>
#include <QVariantMap>

#include <memory>

class QTcpServer;
class QTcpSocket;

namespace HomeScreen {

class EventFeedService;
class NotificationServer;
class PhoneActions;

// One request as the page server reads it.
struct PageRequest
{
    QByteArray method;
    QString path; // decoded
    QUrlQuery query;
    QByteArray host;
    QByteArray origin;
    QByteArray contentType;
    QByteArray body;
};

struct PageResponse
{
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    // The answer never ends: body is its first event, every change follows (GET live).
    bool stream = false;
};

class PageServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PageServer)

public:
    // What the page keeps and takes at most.
    static constexpr int MaxContacts = 10000;
    static constexpr int MaxActivity = 100;
    static constexpr qint64 MaxPictureSize = 8 * 1024 * 1024;
    // One person's browser: a few tabs, each with its live updates and up to six requests at once.
    static constexpr int MaxConnections = 32;
    static constexpr int MaxStreams = 16;
    // A request's line and headers, and its body (refused by its Content-Length, unread).
    static constexpr int MaxRequestHead = 8192;
    static constexpr int MaxRequestBody = 4096;
    // A request not complete this long after the connection opened or the previous answer went
    // out, or a connection idle this long between requests, is closed.
    static constexpr int IdleTimeoutMs = 10000;
    // A live-update stream whose reader has this much not taken yet is cut; the browser opens it
    // again and starts from the whole state. Several times that state with 10000 contacts of ordinary
    // length, so that a reader that is merely slow keeps up; a change of any size is written while
    // less than this waits.
    static constexpr qint64 MaxUnsentBytes = 8 * 1024 * 1024;
    // Changes that come together reach the pages as one message.
    static constexpr int PushDelayMs = 50;

    // notifications and actions may be null: their parts of the page stay empty and their buttons
    // answer 503.
    PageServer(EventFeedService *feed, NotificationServer *notifications, PhoneActions *actions,
               QObject *parent = nullptr);
    ~PageServer() override;

    // 127.0.0.1 on a free port. False, with errorString() set, when no port can be had.
    bool listen();
    quint16 port() const { return mPort; }
    // http://127.0.0.1:<port>/<secret>/
    QString address() const;
    QString errorString() const { return mError; }
    // 32 random hexadecimal digits, new with every server: the first part of every path it answers.
    QString secret() const { return mSecret; }

    // Lower limits, for tests that flood the page.
    void setIdleTimeout(int ms) { mIdleTimeoutMs = ms; }
    void setMaxUnsentBytes(qint64 bytes) { mMaxUnsentBytes = bytes; }

    // The answer to one request; the server writes it with the page's security headers. A path
    // without the secret is refused (404) and warned about.
    PageResponse respond(const PageRequest &request);

    // The page's sections as they are sent to it.
    QJsonArray feedJson() const;
    QJsonArray notificationsJson() const;
    QJsonArray contactsJson() const;
    QJsonArray activityJson() const;
    // What the page shows in a few lines of text: "feed 40", "groups 4", "notifications 0",
    // "contacts 40", then the newest items, every group and the first contacts.
    QString summary() const;
    // Whether path is a picture an Event Feed item holds (its icon or one of its images).
    bool isServedPicture(const QString &path) const;

    // What the home screen's parts report: a line for the activity list (and for the section it
    // concerns), and contacts as the contacts view reads them.
    void reportFeedChange(const QString &line);
    void reportNotificationChange(const QString &line);
    void reportActivity(const QString &line);
    void setContact(const QString &id, const QVariantMap &shown);

    // The security headers every answer carries.
    static const QList<QPair<QByteArray, QByteArray>> &securityHeaders();

private:
    enum Section { Feed = 1, Notifications = 2, Contacts = 4, Activity = 8, All = 15 };
    class Connection;

    PageResponse act(const QString &action, const QByteArray &body);
    PageResponse picture(const QString &path) const;
    bool isOwnHost(const QByteArray &host) const;
    bool isOwnOrigin(const QByteArray &origin) const;
    void markDirty(int sections);
    void push();
    QByteArray message(int sections) const;

    // The connections: each reads one request at a time and answers it before it reads the next.
    void accept();
    void serve(Connection *connection);
    void answer(Connection *connection, const PageResponse &response, bool close);
    void drop(Connection *connection);
    // The connection gets every change from now on.
    void openStream(Connection *connection);

    EventFeedService *const mFeed;
    NotificationServer *const mNotifications;
    PhoneActions *const mActions;
    const QString mSecret;
    std::unique_ptr<QTcpServer> mServer;
    quint16 mPort = 0;
    QString mError;
    int mIdleTimeoutMs = IdleTimeoutMs;
    qint64 mMaxUnsentBytes = MaxUnsentBytes;
    QList<Connection *> mConnections;
    // Oldest first.
    QList<Connection *> mStreams;
    bool mFullWarned = false;
    // Contact id to what the page shows of it.
    QMap<QString, QVariantMap> mContacts;
    bool mContactsFull = false;
    // Newest last.
    QStringList mActivity;
    int mDirty = 0;
    QTimer mPushTimer;
};

} // namespace HomeScreen
