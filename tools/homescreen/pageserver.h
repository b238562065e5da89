// The home screen as a web page on the loopback interface: the Event Feed, the notifications and the
// contacts as a phone would show them, buttons that act as its user would, and every change pushed
// to the open pages as server-sent events.
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
};

class PageServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PageServer)

public:
    // What the page keeps and takes at most.
    static constexpr int MaxContacts = 10000;
    static constexpr int MaxActivity = 100;
    static constexpr int MaxClients = 16;
    static constexpr int MaxRequestBody = 4096;
    static constexpr qint64 MaxPictureSize = 8 * 1024 * 1024;
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
    // http://127.0.0.1:<port>/
    QString address() const;
    QString errorString() const { return mError; }

    // The answer to one request; the server writes it with the page's security headers.
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
    class Frontend;

    PageResponse act(const QString &action, const QByteArray &body);
    PageResponse picture(const QString &path) const;
    bool isOwnHost(const QByteArray &host) const;
    bool isOwnOrigin(const QByteArray &origin) const;
    void markDirty(int sections);
    void push();
    QByteArray message(int sections) const;
    // GET /live: the socket gets every change from now on.
    void openStream(QTcpSocket *socket);

    EventFeedService *const mFeed;
    NotificationServer *const mNotifications;
    PhoneActions *const mActions;
    std::unique_ptr<Frontend> mServer;
    quint16 mPort = 0;
    QString mError;
    QList<QTcpSocket *> mClients;
    // Contact id to what the page shows of it.
    QMap<QString, QVariantMap> mContacts;
    bool mContactsFull = false;
    // Newest last.
    QStringList mActivity;
    int mDirty = 0;
    QTimer mPushTimer;
};

} // namespace HomeScreen
