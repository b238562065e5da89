#include "homescreen/pageserver.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QRandomGenerator>
#include <QtDebug>

#include <algorithm>

#include "homescreen/eventfeedservice.h"
#include "homescreen/itemtext.h"
#include "homescreen/notificationserver.h"
#include "homescreen/phoneactions.h"
#include "platform/support/picturetype.h"

namespace HomeScreen {

namespace {

const QByteArray JsonType = QByteArrayLiteral("application/json");

PageResponse jsonResponse(int status, const QJsonObject &object)
{
    return {status, JsonType, QJsonDocument(object).toJson(QJsonDocument::Compact)};
}

PageResponse failure(int status, const QString &why)
{
    return jsonResponse(status, {{QStringLiteral("error"), why}});
}

PageResponse resource(const QString &name, const QByteArray &type)
{
    QFile file(QStringLiteral(":/homescreen/page/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return failure(500, QStringLiteral("the page's %1 is missing").arg(name));
    return {200, type, file.readAll()};
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

QString pictureUrl(const QString &path)
{
    // Relative to the page, under its secret.
    return QStringLiteral("picture?path=") + QString::fromLatin1(QUrl::toPercentEncoding(path));
}

// Local pictures only: an absolute, clean path. Theme icon names and web addresses are shown as
// nothing.
bool isLocalPath(const QString &path)
{
    return path.startsWith(QLatin1Char('/')) && QDir::cleanPath(path) == path;
}

QByteArray randomSecret()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex();
}

QString textValue(const QVariantMap &item, const char *key)
{
    return item.value(QLatin1String(key)).toString();
}

} // namespace

// One client's connection: the bytes of the request being read, and the timer that closes it when a
// request takes too long or nothing comes.
class PageServer::Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, QObject *parent)
        : QObject(parent)
        , socket(socket)
    {
        socket->setParent(this);
        socket->setReadBufferSize(MaxRequestHead + MaxRequestBody);
        idle.setSingleShot(true);
    }

    QTcpSocket *const socket;
    QByteArray pending;
    QTimer idle;
    bool stream = false;
    bool dropped = false;
};

const QList<QPair<QByteArray, QByteArray>> &PageServer::securityHeaders()
{
    // Scripts, styles and pictures of the page's own only: markup in an item's body can neither run
    // nor fetch anything.
    static const QList<QPair<QByteArray, QByteArray>> headers = {
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
             "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-store"},
            // Another site's page may not even embed the pictures.
            {"Cross-Origin-Resource-Policy", "same-origin"},
    };
    return headers;
}

PageServer::PageServer(EventFeedService *feed, NotificationServer *notifications, PhoneActions *actions,
                       QObject *parent)
    : QObject(parent)
    , mFeed(feed)
    , mNotifications(notifications)
    , mActions(actions)
    , mSecret(QString::fromLatin1(randomSecret()))
{
    mPushTimer.setSingleShot(true);
    mPushTimer.setInterval(PushDelayMs);
    connect(&mPushTimer, &QTimer::timeout, this, &PageServer::push);
}

PageServer::~PageServer()
{
    // The sockets go with their connections, which nothing answers any more.
    qDeleteAll(mConnections);
}

bool PageServer::listen()
{
    auto server = std::make_unique<QTcpServer>();
    if (!server->listen(QHostAddress::LocalHost, 0)) {
        mError = QStringLiteral("the page cannot listen on 127.0.0.1: %1").arg(server->errorString());
        return false;
    }
    mServer = std::move(server);
    connect(mServer.get(), &QTcpServer::newConnection, this, &PageServer::accept);
    mPort = mServer->serverPort();
    return true;
}

QString PageServer::address() const
{
    return QStringLiteral("http://127.0.0.1:%1/%2/").arg(mPort).arg(mSecret);
}

void PageServer::accept()
{
    while (QTcpSocket *socket = mServer->nextPendingConnection()) {
        if (mConnections.size() >= MaxConnections) {
            if (!mFullWarned)
                qWarning("page: %d connections are open; more are refused", MaxConnections);
            mFullWarned = true;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new Connection(socket, this);
        mConnections << connection;
        connect(socket, &QTcpSocket::readyRead, connection, [this, connection] { serve(connection); });
        // The next request is read once the answer to this one has left.
        connect(socket, &QTcpSocket::bytesWritten, connection, [this, connection] { serve(connection); });
        connect(socket, &QTcpSocket::disconnected, connection, [this, connection] { drop(connection); });
        connect(&connection->idle, &QTimer::timeout, connection, [this, connection] {
            if (!connection->pending.isEmpty())
                qWarning("page: a request was not complete after %d ms; its connection is closed", mIdleTimeoutMs);
            drop(connection);
        });
        connection->idle.start(mIdleTimeoutMs);
        serve(connection);
    }
}

void PageServer::drop(Connection *connection)
{
    if (connection->dropped)
        return;
    connection->dropped = true;
    mConnections.removeOne(connection);
    mStreams.removeOne(connection);
    if (mConnections.size() < MaxConnections)
        mFullWarned = false;
    connection->idle.stop();
    // Whatever it has not taken yet is thrown away with it.
    connection->socket->abort();
    connection->deleteLater();
}

void PageServer::serve(Connection *connection)
{
    QTcpSocket *const socket = connection->socket;
    if (connection->stream) {
        // Nothing more is read from a stream: what the client sends now is thrown away.
        socket->skip(socket->bytesAvailable());
        return;
    }
    while (!connection->dropped && !connection->stream && socket->state() == QAbstractSocket::ConnectedState
           && socket->bytesToWrite() == 0) {
        QByteArray &pending = connection->pending;
        pending += socket->read(MaxRequestHead + 4 + MaxRequestBody - pending.size());
        const int headEnd = pending.indexOf("\r\n\r\n");
        if (headEnd < 0 || headEnd > MaxRequestHead) {
            if (headEnd >= 0 || pending.size() > MaxRequestHead)
                answer(connection, failure(431, QStringLiteral("at most %1 bytes of headers").arg(MaxRequestHead)),
                       true);
            return;
        }
        // Every line with its "\r\n"; the last element of the split is the empty rest.
        QList<QByteArray> lines = pending.left(headEnd + 2).split('\n');
        lines.removeLast();
        const QList<QByteArray> requestLine = lines.first().chopped(1).split(' ');
        PageRequest in;
        bool valid = lines.first().endsWith('\r') && requestLine.size() == 3 && requestLine.at(1).startsWith('/')
                && (requestLine.at(2) == "HTTP/1.1" || requestLine.at(2) == "HTTP/1.0");
        bool close = valid && requestLine.at(2) == "HTTP/1.0";
        qint64 length = 0;
        bool hasLength = false;
        for (int i = 1; valid && i < lines.size(); ++i) {
            const QByteArray &line = lines.at(i);
            const int colon = line.indexOf(':');
            if (colon <= 0 || !line.endsWith('\r') || line.at(0) == ' ' || line.at(0) == '\t') {
                valid = false;
                break;
            }
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "host") {
                in.host = value;
            } else if (name == "origin") {
                in.origin = value;
            } else if (name == "content-type") {
                in.contentType = value;
            } else if (name == "connection") {
                close = close || value.toLower() == "close";
            } else if (name == "transfer-encoding") {
                // Bodies come with their length only: a chunked one could not be refused unread.
                answer(connection, failure(411, QStringLiteral("a body needs a Content-Length")), true);
                return;
            } else if (name == "content-length") {
                bool number = !value.isEmpty() && value.size() <= 18;
                for (const char ch : value)
                    number = number && ch >= '0' && ch <= '9';
                valid = number && !hasLength;
                hasLength = true;
                length = value.toLongLong();
            }
        }
        if (!valid) {
            answer(connection, failure(400, QStringLiteral("not an HTTP/1.1 request")), true);
            return;
        }
        if (length > MaxRequestBody) {
            qWarning("page: a body of %lld bytes is refused unread", length);
            answer(connection, failure(413, QStringLiteral("at most %1 bytes").arg(MaxRequestBody)), true);
            return;
        }
        const int size = headEnd + 4 + int(length);
        if (pending.size() < size)
            return;
        in.body = pending.mid(headEnd + 4, int(length));
        const QUrl url = QUrl::fromEncoded(requestLine.at(1));
        in.method = requestLine.at(0) == "GET" || requestLine.at(0) == "POST" ? requestLine.at(0) : "OTHER";
        in.path = url.path(QUrl::FullyDecoded);
        in.query = QUrlQuery(url);
        pending.remove(0, size);
        const PageResponse response = respond(in);
        answer(connection, response, close && !response.stream);
        if (response.stream)
            openStream(connection);
    }
}

void PageServer::answer(Connection *connection, const PageResponse &response, bool close)
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.isEmpty())
        text += "Content-Type: " + response.contentType + "\r\n";
    if (!response.stream)
        text += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto &[name, value] : PageServer::securityHeaders())
        text += name + ": " + value + "\r\n";
    text += close ? "Connection: close\r\n\r\n" : "\r\n";
    connection->socket->write(text + response.body);
    // The idle time starts again: a client that does not take its answer is closed as one that says
    // nothing.
    connection->idle.start(mIdleTimeoutMs);
    if (close) {
        connection->pending.clear();
        connection->socket->disconnectFromHost();
    }
}

bool PageServer::isOwnHost(const QByteArray &host) const
{
    // Another name for the loopback address (DNS rebinding) gets nothing.
    const QByteArray port = ':' + QByteArray::number(mPort);
    return host == "127.0.0.1" + port || host == "localhost" + port;
}

bool PageServer::isOwnOrigin(const QByteArray &origin) const
{
    return isOwnHost(origin.startsWith("http://") ? origin.mid(7) : QByteArray());
}

PageResponse PageServer::respond(const PageRequest &request)
{
    if (!isOwnHost(request.host))
        return failure(421, QStringLiteral("this page answers to 127.0.0.1:%1 only").arg(mPort));
    const QString prefix = QLatin1Char('/') + mSecret;
    // Every character compared, so that the time of a refusal does not tell how much of a guess was
    // right.
    int differences = request.path.size() > prefix.size() && request.path.at(prefix.size()) == QLatin1Char('/') ? 0 : 1;
    for (int i = 0; i < prefix.size(); ++i)
        differences |= i < request.path.size() ? request.path.at(i).unicode() ^ prefix.at(i).unicode() : 1;
    if (differences != 0) {
        qWarning().noquote() << "page: refused" << request.method << quoted(request.path.left(80))
                             << "without the page's secret";
        return failure(404, QStringLiteral("nothing here"));
    }
    const QString path = request.path.mid(prefix.size());
    if (request.method == "GET") {
        if (path == QLatin1String("/live"))
            return {200, "text/event-stream", "data: " + message(All) + "\n\n", true};
        if (path == QLatin1String("/"))
            return resource(QStringLiteral("index.html"), "text/html; charset=utf-8");
        if (path == QLatin1String("/page.js"))
            return resource(QStringLiteral("page.js"), "text/javascript; charset=utf-8");
        if (path == QLatin1String("/page.css"))
            return resource(QStringLiteral("page.css"), "text/css; charset=utf-8");
        if (path == QLatin1String("/state"))
            return {200, JsonType, message(All)};
        // Browsers ask for it on their own; the page has none.
        if (path == QLatin1String("/favicon.ico"))
            return {204, QByteArray(), QByteArray()};
        if (path == QLatin1String("/summary"))
            return {200, "text/plain; charset=utf-8", summary().toUtf8()};
        if (path == QLatin1String("/picture"))
            return picture(request.query.queryItemValue(QStringLiteral("path"), QUrl::FullyDecoded));
    } else if (request.method == "POST" && path.startsWith(QLatin1String("/action/"))) {
        // Another site's page may post here too: only this page's own requests count.
        if (!request.origin.isEmpty() && !isOwnOrigin(request.origin))
            return failure(403, QStringLiteral("actions come from this page only"));
        if (!request.contentType.startsWith(JsonType))
            return failure(415, QStringLiteral("actions are JSON"));
        if (request.body.size() > MaxRequestBody)
            return failure(413, QStringLiteral("at most %1 bytes").arg(MaxRequestBody));
        return act(path.mid(8), request.body);
    }
    static const QStringList known = {QStringLiteral("/"),      QStringLiteral("/page.js"), QStringLiteral("/page.css"),
                                      QStringLiteral("/state"), QStringLiteral("/summary"), QStringLiteral("/picture"),
                                      QStringLiteral("/live")};
    if (known.contains(path) || path.startsWith(QLatin1String("/action/")))
        return failure(405, QStringLiteral("not with %1").arg(QString::fromLatin1(request.method)));
    return failure(404, QStringLiteral("nothing at %1").arg(quoted(path)));
}

PageResponse PageServer::act(const QString &action, const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body.isEmpty() ? QByteArray("{}") : body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return failure(400, QStringLiteral("the body is not a JSON object"));
    const QJsonObject args = document.object();
    const QJsonValue idValue = args.value(QStringLiteral("id"));
    // Ids are whole numbers the page got from here.
    const double number = idValue.toDouble(-1);
    const bool hasId = idValue.isDouble() && number >= 1 && number <= 9007199254740991.0 && number == qint64(number);
    QString why;
    if (action == QLatin1String("refresh")) {
        mFeed->requestRefresh();
    } else if (action == QLatin1String("tap") || action == QLatin1String("close")) {
        if (!mNotifications)
            return failure(503, QStringLiteral("the home screen runs without its notification area"));
        if (!hasId || number > std::numeric_limits<uint>::max())
            return failure(400, QStringLiteral("\"id\" must be a notification id"));
        const uint id = uint(number);
        if (!mNotifications->notifications().contains(id))
            return failure(404, QStringLiteral("no notification %1").arg(id));
        const bool done = action == QLatin1String("tap") ? mNotifications->tap(id) : mNotifications->dismiss(id);
        if (!done)
            why = QStringLiteral("notification %1 has no default action").arg(id);
    } else if (action == QLatin1String("item")) {
        if (!hasId)
            return failure(400, QStringLiteral("\"id\" must be an item id"));
        const auto item = mFeed->items().constFind(qlonglong(number));
        if (item == mFeed->items().constEnd())
            return failure(404, QStringLiteral("no item %1").arg(qlonglong(number)));
        const QString itemAction = textValue(item.value(), "action");
        if (itemAction.isEmpty())
            why = QStringLiteral("item %1 has no action").arg(qlonglong(number));
        else if (!mActions)
            return failure(503, QStringLiteral("the home screen runs without its phone actions"));
        else
            why = mActions->triggerAction(itemAction);
    } else if (action == QLatin1String("view") || action == QLatin1String("read") || action == QLatin1String("sync")) {
        if (!mActions)
            return failure(503, QStringLiteral("the home screen runs without its phone actions"));
        if (action == QLatin1String("view")) {
            why = mActions->openView(args.value(QStringLiteral("view")).toString());
        } else if (action == QLatin1String("read")) {
            const QJsonArray ids = args.value(QStringLiteral("ids")).toArray();
            QStringList texts;
            for (const QJsonValue &id : ids)
                texts << (id.isString() ? id.toString() : QString());
            why = mActions->markRead(texts);
        } else {
            why = mActions->sync();
        }
    } else {
        return failure(404, QStringLiteral("no action %1").arg(quoted(action)));
    }
    if (!why.isEmpty())
        return failure(409, why);
    return jsonResponse(200, {{QStringLiteral("ok"), true}});
}

bool PageServer::isServedPicture(const QString &path) const
{
    if (!isLocalPath(path))
        return false;
    for (const QVariantMap &item : mFeed->items()) {
        if (textValue(item, "icon") == path || item.value(QStringLiteral("imageList")).toStringList().contains(path))
            return true;
    }
    return false;
}

PageResponse PageServer::picture(const QString &path) const
{
    if (!isServedPicture(path))
        return failure(404, QStringLiteral("no item holds the picture %1").arg(quoted(path)));
    QFile file(path);
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > MaxPictureSize || !file.open(QIODevice::ReadOnly))
        return failure(404, QStringLiteral("the picture %1 cannot be read").arg(quoted(path)));
    const QByteArray bytes = file.read(MaxPictureSize + 1);
    // Told by content: anything else (HTML, SVG, a text file) is never served, whatever its name.
    const QByteArray type = Support::pictureType(bytes).name().toLatin1();
    if (type.isEmpty() || bytes.size() > MaxPictureSize)
        return failure(404, QStringLiteral("%1 is not a picture").arg(quoted(path)));
    return {200, type, bytes};
}

QJsonArray PageServer::feedJson() const
{
    // Newest first: the timestamps ("yyyy-MM-dd hh:mm:ss") sort as texts; the later added first among
    // equals.
    QList<qlonglong> ids = mFeed->items().keys();
    const auto &items = mFeed->items();
    std::stable_sort(ids.begin(), ids.end(), [&items](qlonglong a, qlonglong b) {
        const QString ta = textValue(items[a], "timestamp");
        const QString tb = textValue(items[b], "timestamp");
        return ta != tb ? ta > tb : a > b;
    });
    QJsonArray feed;
    for (const qlonglong id : std::as_const(ids)) {
        const QVariantMap &item = items[id];
        const QString icon = textValue(item, "icon");
        QJsonArray pictures;
        for (const QString &path : item.value(QStringLiteral("imageList")).toStringList()) {
            if (isLocalPath(path))
                pictures << pictureUrl(path);
        }
        feed << QJsonObject {
                {QStringLiteral("id"), id},
                {QStringLiteral("icon"), isLocalPath(icon) ? pictureUrl(icon) : QString()},
                {QStringLiteral("title"), textValue(item, "title")},
                {QStringLiteral("body"), textValue(item, "body")},
                {QStringLiteral("pictures"), pictures},
                {QStringLiteral("footer"), textValue(item, "footer")},
                {QStringLiteral("timestamp"), textValue(item, "timestamp")},
                {QStringLiteral("source"),
                 textValue(item, "sourceDisplayName").isEmpty() ? textValue(item, "sourceName")
                                                                : textValue(item, "sourceDisplayName")},
                {QStringLiteral("hasAction"), !textValue(item, "action").isEmpty()},
        };
    }
    return feed;
}

QJsonArray PageServer::notificationsJson() const
{
    QJsonArray list;
    if (!mNotifications)
        return list;
    const auto &all = mNotifications->notifications();
    // Newest first, as the notification area stacks them.
    for (auto it = all.constEnd(); it != all.constBegin();) {
        --it;
        const Notification &n = it.value();
        const bool tappable = n.actions.size() >= 2 && n.actions.indexOf(QStringLiteral("default")) % 2 == 0;
        list << QJsonObject {
                {QStringLiteral("id"), qint64(it.key())},
                {QStringLiteral("app"), n.appName},
                {QStringLiteral("summary"), n.summary},
                {QStringLiteral("body"), n.body},
                {QStringLiteral("count"), n.hints.value(QStringLiteral("x-tarvo-count")).toInt()},
                {QStringLiteral("kind"), n.hints.value(QStringLiteral("x-tarvo-event-type")).toString()},
                // A transient one goes when its time is up; a group stays until it is closed.
                {QStringLiteral("group"), !n.hints.value(QStringLiteral("transient")).toBool() && n.timeout == 0},
                {QStringLiteral("tappable"), tappable},
        };
    }
    return list;
}

QJsonArray PageServer::contactsJson() const
{
    QJsonArray list;
    for (auto it = mContacts.constBegin(); it != mContacts.constEnd(); ++it) {
        const QVariantMap &c = it.value();
        const QDateTime time = c.value(QStringLiteral("statusTime")).toDateTime();
        list << QJsonObject {
                {QStringLiteral("id"), it.key()},
                {QStringLiteral("name"),
                 QStringList {textValue(c, "first"), textValue(c, "last")}.join(QLatin1Char(' ')).trimmed()},
                {QStringLiteral("status"), textValue(c, "status")},
                {QStringLiteral("statusTime"), time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString()},
        };
    }
    return list;
}

QString PageServer::summary() const
{
    const QJsonArray feed = feedJson();
    QJsonArray groups;
    int transient = 0;
    for (const QJsonValue &n : notificationsJson()) {
        if (n[QStringLiteral("group")].toBool())
            groups << n;
        else
            ++transient;
    }
    QStringList lines
            = {QStringLiteral("feed %1").arg(feed.size()), QStringLiteral("groups %1").arg(groups.size()),
               QStringLiteral("notifications %1").arg(transient), QStringLiteral("contacts %1").arg(mContacts.size())};
    for (int i = 0; i < feed.size() && i < 3; ++i) {
        const QJsonObject item = feed.at(i).toObject();
        lines << QStringLiteral("item %1 title=%2 footer=%3")
                         .arg(item[QStringLiteral("timestamp")].toString(),
                              quoted(item[QStringLiteral("title")].toString()),
                              quoted(item[QStringLiteral("footer")].toString()));
    }
    for (const QJsonValue &group : std::as_const(groups)) {
        lines << QStringLiteral("group %1 count=%2")
                         .arg(quoted(group[QStringLiteral("summary")].toString()))
                         .arg(group[QStringLiteral("count")].toInt());
    }
    int shown = 0;
    for (auto it = mContacts.constBegin(); it != mContacts.constEnd() && shown < 3; ++it, ++shown) {
        lines << QStringLiteral("contact %1 %2 status=%3")
                         .arg(it.key(),
                              quoted(textValue(it.value(), "first") + QLatin1Char(' ') + textValue(it.value(), "last")),
                              quoted(textValue(it.value(), "status")));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QJsonArray PageServer::activityJson() const
{
    return QJsonArray::fromStringList(mActivity);
}

void PageServer::reportFeedChange(const QString &line)
{
    reportActivity(line);
    markDirty(Feed);
}

void PageServer::reportNotificationChange(const QString &line)
{
    reportActivity(line);
    markDirty(Notifications);
}

void PageServer::reportActivity(const QString &line)
{
    mActivity << line;
    while (mActivity.size() > MaxActivity)
        mActivity.removeFirst();
    markDirty(Activity);
}

void PageServer::setContact(const QString &id, const QVariantMap &shown)
{
    if (!mContacts.contains(id) && mContacts.size() >= MaxContacts) {
        if (!mContactsFull)
            qWarning("page: %d contacts shown; more are left out", MaxContacts);
        mContactsFull = true;
        return;
    }
    mContacts.insert(id, shown);
    markDirty(Contacts);
}

void PageServer::markDirty(int sections)
{
    // A page that opens later gets everything anyway.
    if (mStreams.isEmpty())
        return;
    mDirty |= sections;
    if (!mPushTimer.isActive())
        mPushTimer.start();
}

QByteArray PageServer::message(int sections) const
{
    QJsonObject object;
    if (sections & Feed)
        object.insert(QStringLiteral("feed"), feedJson());
    if (sections & Notifications)
        object.insert(QStringLiteral("notifications"), notificationsJson());
    if (sections & Contacts)
        object.insert(QStringLiteral("contacts"), contactsJson());
    if (sections & Activity) {
        object.insert(QStringLiteral("activity"), activityJson());
        object.insert(QStringLiteral("view"), mActions ? mActions->currentView() : QStringLiteral("home"));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void PageServer::push()
{
    const QByteArray event = "data: " + message(mDirty) + "\n\n";
    mDirty = 0;
    for (Connection *stream : QList<Connection *>(mStreams)) {
        // A reader that is this far behind does not read at all: its unsent bytes would grow with
        // every change.
        if (stream->socket->bytesToWrite() > mMaxUnsentBytes) {
            qWarning("page: a live-update stream has %lld bytes not taken; it is cut", stream->socket->bytesToWrite());
            drop(stream);
            continue;
        }
        stream->socket->write(event);
    }
}

void PageServer::openStream(Connection *connection)
{
    // Server-sent events: the answer never ends, each change is one "data:" event of JSON (which
    // holds no line end). A page of another site cannot read it: the answer allows no other origin.
    connection->stream = true;
    connection->idle.stop();
    mStreams << connection;
    if (mStreams.size() > MaxStreams) {
        qWarning("page: %d pages are open already; the oldest is closed", MaxStreams);
        drop(mStreams.first());
    }
}

} // namespace HomeScreen
