#include "simulator.h"

#include <QAbstractHttpServer>
#include <QCryptographicHash>
#include <QDebug>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#include "common/constants.h"
#include "jsonwriter.h"
#include "mediarenderer.h"
#include "wirejson.h"
#include "worldgenerator.h"

namespace QuillnetSim {

// Hands every parsed request to the simulator, which answers on the socket itself: faults need
// answers that no well-behaved responder would write.
class HttpFrontend : public QAbstractHttpServer
{
public:
    explicit HttpFrontend(Simulator *simulator)
        : mSimulator(simulator)
    {}

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override
    {
        mSimulator->handleRequest(request, socket);
        return true;
    }
    void missingHandler(const QHttpServerRequest &, QTcpSocket *) override {}

private:
    Simulator *const mSimulator;
};

// Hands out connections with Nagle's algorithm off. A client acknowledges an answer late (delayed
// ACK), and whatever the simulator writes after the first segment of an answer would wait for that.
class LowDelayServer : public QTcpServer
{
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            qWarning() << "quillnet-sim: cannot take a connection:" << socket->errorString();
            delete socket;
            return;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        addPendingConnection(socket);
    }
};

namespace {

constexpr qint64 Chunk = 256 * 1024;
constexpr int DefaultLimit = 25;
constexpr int MaxLimit = 100;
constexpr int MaxIdsPerRequest = 100;
constexpr qint64 MaxAdminBody = 1024 * 1024;
constexpr qint64 MaxOversize = 1024LL * 1024 * 1024;
constexpr int MaxCachedPictures = 2000;
const QByteArray JsonType = "application/json";

QByteArray methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    default:
        return "OTHER";
    }
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

QByteArray errorCode(int status)
{
    switch (status) {
    case 400:
        return "invalid_request";
    case 401:
        return "invalid_token";
    case 404:
        return "not_found";
    case 429:
        return "rate_limited";
    case 503:
        return "unavailable";
    default:
        return status >= 500 ? "server_error" : "invalid_request";
    }
}

QByteArray header(int status, const QByteArray &contentType, qint64 length, const QByteArray &location = QByteArray())
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!location.isEmpty())
        text += "Location: " + location + "\r\n";
    // A 204 carries neither a body nor its length.
    if (status != 204) {
        if (!contentType.isEmpty())
            text += "Content-Type: " + contentType + "\r\n";
        text += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    text += "Connection: keep-alive\r\n\r\n";
    return text;
}

template<typename T>
QList<T> page(const QList<T> &list, int offset, int limit)
{
    if (offset >= list.size())
        return QList<T>();
    return list.mid(offset, limit);
}

// limit 1 to 100 (larger: 100; absent or below 1: 25), offset >= 0. False for text that is no number.
bool pageParameters(const QUrlQuery &query, int *limit, int *offset)
{
    *limit = DefaultLimit;
    *offset = 0;
    bool ok = true;
    if (query.hasQueryItem(QStringLiteral("limit"))) {
        const int value = query.queryItemValue(QStringLiteral("limit")).toInt(&ok);
        if (!ok)
            return false;
        *limit = value < 1 ? DefaultLimit : qMin(value, MaxLimit);
    }
    if (query.hasQueryItem(QStringLiteral("offset"))) {
        const int value = query.queryItemValue(QStringLiteral("offset")).toInt(&ok);
        if (!ok)
            return false;
        *offset = qMax(0, value);
    }
    return true;
}

QSet<QString> fieldSet(const QUrlQuery &query)
{
    QSet<QString> fields;
    const QStringList names
            = query.queryItemValue(QStringLiteral("fields"), QUrl::FullyDecoded).split(QLatin1Char(','));
    for (const QString &name : names) {
        if (!name.trimmed().isEmpty())
            fields.insert(name.trimmed());
    }
    return fields;
}

// Ids listed as "a,b,c"; empty entries are skipped and repeats dropped.
QStringList idList(const QUrlQuery &query)
{
    QStringList ids;
    const QStringList parts = query.queryItemValue(QStringLiteral("ids"), QUrl::FullyDecoded).split(QLatin1Char(','));
    for (const QString &part : parts) {
        const QString id = part.trimmed();
        if (!id.isEmpty())
            ids.append(id);
    }
    ids.removeDuplicates();
    return ids;
}

const QHash<QString, Simulator::FaultKind> &faultKinds()
{
    static const QHash<QString, Simulator::FaultKind> kinds = {
            {"http_status", Simulator::HttpStatus},         {"delay", Simulator::Delay},
            {"malformed_body", Simulator::MalformedBody},   {"truncated_body", Simulator::TruncatedBody},
            {"drop_connection", Simulator::DropConnection}, {"oversized_body", Simulator::OversizedBody},
    };
    return kinds;
}

using Response = Simulator::Response;

Response jsonResponse(const JsonWriter &out, int status = 200)
{
    return Response {status, JsonType, out.bytes(), QByteArray()};
}

// {"error": {"code": ..., "message": ...}}
Response apiError(int status, const QString &message)
{
    JsonWriter out;
    out.beginObject().key(QLatin1String("error")).beginObject();
    out.key(QLatin1String("code")).string(QString::fromLatin1(errorCode(status)));
    out.key(QLatin1String("message")).string(message);
    out.endObject().endObject();
    return jsonResponse(out, status);
}

// The token endpoint's own error form: {"error": ..., "error_description": ...}
Response oauthError(int status, const QString &error, const QString &description)
{
    JsonWriter out;
    out.beginObject().key(QLatin1String("error")).string(error);
    out.key(QLatin1String("error_description")).string(description).endObject();
    return jsonResponse(out, status);
}

Response noContent()
{
    return Response {204, QByteArray(), QByteArray(), QByteArray()};
}

// One record on its own, as administration calls answer.
template<typename T>
Response recordResponse(const T &record)
{
    JsonWriter out;
    WireJson::write(out, record);
    return jsonResponse(out);
}

// {"data": [...]}, each item written by write(out, item).
template<typename T, typename Write>
Response dataResponse(const QList<T> &items, Write write)
{
    JsonWriter out;
    out.beginObject().key(QLatin1String("data")).beginArray();
    for (const T &item : items)
        write(out, item);
    out.endArray().endObject();
    return jsonResponse(out);
}

template<typename T>
Response dataResponse(const QList<T> &items)
{
    return dataResponse(items, [](JsonWriter &out, const T &item) { WireJson::write(out, item); });
}

// {"user": user}
Response userResponse(const Qn::QnUser &user, const QSet<QString> &fields)
{
    JsonWriter out;
    out.beginObject().key(QLatin1String("user"));
    WireJson::write(out, user, fields);
    out.endObject();
    return jsonResponse(out);
}

// The oversized body is valid JSON of exactly the asked size: {"data": [   ...   ]}.
QByteArray oversizedChunk(qint64 position, qint64 total, qint64 length)
{
    static const QByteArray prefix = "{\"data\": [";
    static const QByteArray suffix = "]}";
    QByteArray chunk(int(length), ' ');
    for (qint64 i = 0; i < length; ++i) {
        const qint64 p = position + i;
        if (p < prefix.size())
            chunk[int(i)] = prefix.at(int(p));
        else if (p >= total - suffix.size())
            chunk[int(i)] = suffix.at(int(p - (total - suffix.size())));
    }
    return chunk;
}

// --- sign-in

constexpr qint64 MaxFormBody = 64 * 1024;
constexpr int MaxStateLength = 1024;
const QByteArray HtmlType = "text/html; charset=utf-8";

// An application/x-www-form-urlencoded body, where '+' stands for a blank.
QUrlQuery formFields(const QByteArray &body)
{
    return QUrlQuery(QString::fromUtf8(QByteArray(body).replace('+', "%20")));
}

QString formValue(const QUrlQuery &form, const char *name)
{
    return form.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

// A PKCE code verifier, or the S256 challenge made from one.
bool isPkceValue(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9._~-]{43,128}$"));
    return form.match(text).hasMatch();
}

QString s256(const QString &verifier)
{
    const QByteArray digest = QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// The parameters of an authorization request, from the query of the GET or the body of the POST.
struct AuthorizationRequest
{
    explicit AuthorizationRequest(const QUrlQuery &form)
        : fields(form)
        , redirectUri(formValue(form, "redirect_uri"))
        , state(formValue(form, "state"))
        , challenge(formValue(form, "code_challenge"))
    {
        const QUrl redirect(redirectUri, QUrl::StrictMode);
        const QString host = redirect.host();
        // Without a known application and a loopback redirect_uri nothing is sent anywhere.
        if (formValue(form, "client_id") != Constants::ApplicationId)
            fatal = QStringLiteral("This application is unknown.");
        else if (!redirect.isValid() || redirect.scheme() != QLatin1String("http") || redirect.hasFragment()
                 || (host != QLatin1String("127.0.0.1") && host != QLatin1String("localhost")
                     && host != QLatin1String("::1")))
            fatal = QStringLiteral("The redirect_uri must be an http address on the loopback interface.");
        else if (formValue(form, "response_type") != QLatin1String("code"))
            error = QStringLiteral("unsupported_response_type");
        else if (formValue(form, "code_challenge_method") != QLatin1String("S256") || !isPkceValue(challenge)
                 || state.size() > MaxStateLength)
            error = QStringLiteral("invalid_request");
    }

    // The redirect back to the application with these parameters (and the state, when it had one).
    Simulator::Response redirect(QList<QPair<QByteArray, QString>> parameters) const
    {
        if (!state.isEmpty())
            parameters.append({"state", state});
        QUrl url(redirectUri, QUrl::StrictMode);
        QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
        for (const auto &parameter : std::as_const(parameters))
            query += (query.isEmpty() ? "" : "&") + parameter.first + '=' + QUrl::toPercentEncoding(parameter.second);
        url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
        return Simulator::Response {302, HtmlType, "<!DOCTYPE html><p>Back to the application.</p>\n", url.toEncoded()};
    }

    QUrlQuery fields;
    QString redirectUri;
    QString state;
    QString challenge;
    QString fatal; // why the request cannot even be answered at its redirect_uri
    QString error; // the OAuth error it is answered with there
};

Simulator::Response signInPage(int status, const AuthorizationRequest &request, const QString &problem)
{
    static const char *const Hidden[] = {
            "response_type", "client_id", "redirect_uri", "state", "code_challenge", "code_challenge_method", "scope"};
    QString page = QStringLiteral(
            "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Sign in to Quillnet</title>"
            "<meta name=\"viewport\" content=\"width=device-width\"><style>body{font-family:sans-serif;"
            "max-width:24em;margin:3em auto;padding:0 1em}label,input{display:block;width:100%;margin:.3em 0}"
            "button{margin:.8em .5em 0 0}.problem{color:#a00}</style></head>\n<body><h1>Sign in to Quillnet</h1>\n");
    if (!request.fatal.isEmpty()) {
        page += QStringLiteral("<p class=\"problem\" role=\"alert\">%1</p>\n").arg(request.fatal.toHtmlEscaped());
    } else {
        page += QStringLiteral("<p>quillnet-daemon asks to read your news feed, notifications, messages and "
                               "friends.</p>\n");
        if (!problem.isEmpty())
            page += QStringLiteral("<p class=\"problem\" role=\"alert\">%1</p>\n").arg(problem.toHtmlEscaped());
        page += QStringLiteral("<form method=\"post\" action=\"/oauth/authorize\">\n");
        for (const char *name : Hidden) {
            page += QStringLiteral("<input type=\"hidden\" name=\"%1\" value=\"%2\">\n")
                            .arg(QLatin1String(name), formValue(request.fields, name).toHtmlEscaped());
        }
        page += QStringLiteral(
                "<label>User name <input id=\"username\" name=\"username\" autocomplete=\"username\" autofocus>"
                "</label>\n<label>Password <input id=\"password\" name=\"password\" type=\"password\" "
                "autocomplete=\"current-password\"></label>\n<button id=\"signin\" type=\"submit\">Sign in</button>"
                "<button id=\"deny\" type=\"submit\" name=\"deny\" value=\"1\">Deny</button>\n</form>\n");
    }
    page += QStringLiteral("</body></html>\n");
    return Simulator::Response {status, HtmlType, page.toUtf8(), QByteArray()};
}

} // namespace

Simulator::Simulator(const SimConfig &config, QObject *parent)
    : QObject(parent)
    , mSeed(config.seed)
    , mWorld(WorldGenerator(config).generate())
{
    // Tokens come from their own generator, so that they do not shift the generated world.
    QRandomGenerator tokens(config.seed ^ 0x51ed7a3bu);
    mRefreshToken = QStringLiteral("qnrt-%1%2")
                            .arg(tokens.generate(), 8, 16, QLatin1Char('0'))
                            .arg(tokens.generate(), 8, 16, QLatin1Char('0'));
    mPassword = QStringLiteral("qnpw-%1").arg(tokens.generate(), 8, 16, QLatin1Char('0'));
    mAccessToken = newAccessToken();
    mBaseAddress = baseUrl().toString();
}

Simulator::~Simulator() = default;

bool Simulator::listen(quint16 port)
{
    if (mServer)
        return false;
    auto *tcpServer = new LowDelayServer;
    if (!tcpServer->listen(QHostAddress::LocalHost, port)) {
        qWarning() << "quillnet-sim: cannot listen on 127.0.0.1 port" << port << ":" << tcpServer->errorString();
        delete tcpServer;
        return false;
    }
    mServer.reset(new HttpFrontend(this));
    mServer->bind(tcpServer); // takes it over
    mPort = tcpServer->serverPort();
    mBaseAddress = baseUrl().toString();
    return true;
}

quint16 Simulator::port() const
{
    return mPort;
}

QUrl Simulator::baseUrl() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(mPort);
    return url;
}

QString Simulator::refreshToken() const
{
    return mRefreshToken;
}

void Simulator::setRefreshToken(const QString &token)
{
    mRefreshToken = token;
}

QString Simulator::accessToken() const
{
    return mAccessToken;
}

QString Simulator::newAccessToken()
{
    return QStringLiteral("qnat-%1-%2").arg(mSeed, 8, 16, QLatin1Char('0')).arg(++mTokenCounter);
}

void Simulator::expireAccessToken()
{
    mExpiredTokens.insert(mAccessToken);
    mAccessToken = newAccessToken();
}

void Simulator::denyLogins(int count)
{
    mDeniedLogins += qMax(0, count);
}

QString Simulator::username() const
{
    return mWorld.me.email().isEmpty() ? mWorld.me.id() : mWorld.me.email();
}

QString Simulator::password() const
{
    return mPassword;
}

void Simulator::setAuthorizationCodeLifetime(int milliseconds)
{
    mCodeLifetime = qMax(0, milliseconds);
}

void Simulator::injectFault(const QString &pathPrefix, FaultKind kind, int value, int count)
{
    if (count < 1)
        return;
    mFaults.append(Fault {pathPrefix, kind, value, count});
}

void Simulator::clearFaults()
{
    mFaults.clear();
}

int Simulator::pendingFaults() const
{
    int count = 0;
    for (const Fault &fault : mFaults)
        count += fault.remaining;
    return count;
}

bool Simulator::takeFault(const QString &path, Fault *fault)
{
    for (int i = 0; i < mFaults.size(); ++i) {
        if (path.startsWith(mFaults.at(i).pathPrefix)) {
            *fault = mFaults.at(i);
            if (--mFaults[i].remaining < 1)
                mFaults.removeAt(i);
            return true;
        }
    }
    return false;
}

// --- the world as clients see it

Qn::QnPost Simulator::outward(Qn::QnPost post) const
{
    if (post.picture().startsWith(QLatin1Char('/')))
        post.setPicture(mBaseAddress + post.picture());
    return post;
}

Qn::QnUser Simulator::me() const
{
    return mWorld.me;
}

Qn::QnUsers Simulator::friends() const
{
    return mWorld.friends;
}

Qn::QnPosts Simulator::posts() const
{
    Qn::QnPosts posts;
    posts.reserve(mWorld.feed.size());
    for (const Qn::QnPost &post : mWorld.feed)
        posts.append(outward(post));
    return posts;
}

Qn::QnPosts Simulator::statusMessages(const QString &userId) const
{
    Qn::QnPosts posts;
    for (const Qn::QnPost &post : mWorld.statuses.value(userId))
        posts.append(outward(post));
    return posts;
}

Qn::QnThreads Simulator::threads(Qn::MessageBoxType folder) const
{
    return mWorld.threads.value(folder);
}

Qn::QnMessages Simulator::messages(const QString &threadId) const
{
    return mWorld.messages.value(threadId);
}

Qn::QnUsers Simulator::friendRequests() const
{
    return mWorld.friendRequests;
}

Qn::QnEvents Simulator::eventInvitations() const
{
    return mWorld.eventInvitations;
}

Qn::QnNotificationList Simulator::notifications() const
{
    return mWorld.notifications;
}

QString Simulator::excludedApplicationId()
{
    return WorldGenerator::ExcludedApplicationId;
}

QByteArray Simulator::mediaBytes(const QString &key, const MediaRecipe &recipe) const
{
    const auto it = mMediaCache.constFind(key);
    if (it != mMediaCache.constEnd())
        return it.value();
    const QByteArray bytes = MediaRenderer::render(recipe);
    if (mMediaCache.size() >= MaxCachedPictures)
        mMediaCache.clear();
    mMediaCache.insert(key, bytes);
    return bytes;
}

QByteArray Simulator::pictureData(const QUrl &url) const
{
    const QUrl base = baseUrl();
    if (url.scheme() != base.scheme() || url.host() != base.host() || url.port() != base.port())
        return QByteArray();
    const MediaRecipe recipe = mWorld.mediaRecipe(url.path());
    return recipe.isValid() ? mediaBytes(url.path(), recipe) : QByteArray();
}

QByteArray Simulator::profilePictureData(const QString &userId, Qn::PictureType type) const
{
    MediaRecipe recipe = mWorld.mediaRecipe(World::avatarPath(userId));
    if (!recipe.isValid())
        return QByteArray();
    static const int sizes[] = {50, 50, 100, 200};
    const int side = sizes[qBound(0, int(type), 3)];
    recipe.width = side;
    // Small pictures keep their height free, like the service's.
    recipe.height = type == Qn::SmallPicture ? side + int(recipe.seed % 30) : side;
    return mediaBytes(World::avatarPath(userId) + QStringLiteral("?type=%1").arg(int(type)), recipe);
}

// --- changes

Qn::QnPost Simulator::addPost(const Qn::QnPost &post, const QByteArray &pictureFormat)
{
    Qn::QnPost stored = post;
    if (!pictureFormat.isEmpty()) {
        const QString path = mWorld.addPicture(pictureFormat);
        if (path.isEmpty())
            return Qn::QnPost();
        stored.setPicture(path);
    }
    return mWorld.addPost(stored) ? outward(stored) : Qn::QnPost();
}

bool Simulator::removePost(const QString &id)
{
    return mWorld.removePost(id);
}

bool Simulator::likePost(const QString &id, int count)
{
    return mWorld.likePost(id, count);
}

bool Simulator::commentPost(const QString &id, int count)
{
    return mWorld.commentPost(id, count);
}

Qn::QnPost Simulator::addStatusMessage(const Qn::QnPost &post)
{
    Qn::QnPost stored = post;
    return mWorld.addStatusMessage(stored) ? outward(stored) : Qn::QnPost();
}

bool Simulator::addFriend(const Qn::QnUser &user)
{
    return mWorld.addFriend(user);
}

Qn::QnNotification Simulator::addNotification(const Qn::QnNotification &notification)
{
    Qn::QnNotification stored = notification;
    return mWorld.addNotification(stored) ? stored : Qn::QnNotification();
}

Qn::QnThread Simulator::addThread(const Qn::QnThread &thread, Qn::MessageBoxType folder)
{
    Qn::QnThread stored = thread;
    // Replacing keeps the thread's messages.
    Qn::QnMessages kept;
    if (!stored.id().isEmpty() && mWorld.thread(stored.id())) {
        kept = mWorld.messages.value(stored.id());
        for (auto it = mWorld.threads.begin(); it != mWorld.threads.end(); ++it) {
            Qn::QnThreads &list = it.value();
            for (int i = 0; i < list.size(); ++i) {
                if (list.at(i).id() == stored.id()) {
                    list.removeAt(i);
                    break;
                }
            }
        }
        mWorld.messages.remove(stored.id());
    }
    if (!mWorld.addThread(stored, folder))
        return Qn::QnThread();
    mWorld.messages.insert(stored.id(), kept);
    return stored;
}

Qn::QnMessage Simulator::addMessage(const Qn::QnMessage &message)
{
    Qn::QnMessage stored = message;
    return mWorld.addMessage(stored) ? stored : Qn::QnMessage();
}

bool Simulator::addFriendRequest(const Qn::QnUser &user)
{
    return mWorld.addFriendRequest(user);
}

bool Simulator::removeFriendRequest(const QString &userId)
{
    return mWorld.removeFriendRequest(userId);
}

bool Simulator::addEventInvitation(const Qn::QnEvent &event)
{
    return mWorld.addEventInvitation(event);
}

QList<Simulator::Request> Simulator::requests() const
{
    return mRequests;
}

int Simulator::requestCount(const QString &pathPrefix) const
{
    int count = 0;
    for (const Request &request : mRequests) {
        if (request.path.startsWith(pathPrefix))
            ++count;
    }
    return count;
}

void Simulator::clearRequests()
{
    mRequests.clear();
}

// --- HTTP

void Simulator::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    // The request object is reused for the socket's next request: take what is needed now.
    Incoming in;
    in.method = methodName(request.method());
    const QUrl url = request.url();
    in.path = url.path(QUrl::FullyDecoded);
    const QStringList encoded = url.path(QUrl::FullyEncoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : encoded)
        in.segments.append(QUrl::fromPercentEncoding(part.toUtf8()));
    in.query = request.query();
    const auto headers = request.headers();
    for (const auto &header : headers) {
        if (header.first.compare("Authorization", Qt::CaseInsensitive) == 0)
            in.authorization = header.second;
    }
    in.body = request.body();

    if (mRequests.size() >= MaxRecordedRequests)
        mRequests.removeFirst();
    mRequests.append(Request {in.method, in.path, in.query});

    const bool admin = !in.segments.isEmpty() && in.segments.first() == QLatin1String("admin");
    Fault fault {QString(), Delay, 0, 0};
    const bool faulty = !admin && takeFault(in.path, &fault);
    QPointer<QTcpSocket> guard(socket);
    emit requestReceived(in.method, in.path);
    if (!guard)
        return;

    if (faulty && fault.kind == DropConnection) {
        socket->disconnectFromHost();
        return;
    }
    if (faulty && fault.kind == OversizedBody) {
        sendOversized(socket, fault.value > 0 ? qMin<qint64>(fault.value, MaxOversize) : DefaultOversize);
        return;
    }

    Response response;
    if (faulty && fault.kind == HttpStatus) {
        const int status = fault.value >= 100 && fault.value <= 599 ? fault.value : 500;
        const QString message = QStringLiteral("Injected failure");
        response = in.path.startsWith(QLatin1String("/oauth/"))
                ? oauthError(status, QStringLiteral("server_error"), message)
                : apiError(status, message);
    } else {
        response = respond(in);
    }

    if (!faulty || fault.kind == HttpStatus) {
        send(socket, response);
    } else if (fault.kind == MalformedBody) {
        send(socket, Response {200, JsonType, "{\"data\": [ this is not JSON", QByteArray()});
    } else if (fault.kind == TruncatedBody) {
        sendTruncated(socket, response);
    } else if (fault.kind == Delay) {
        QTimer::singleShot(qMax(0, fault.value), this, [this, guard, response]() {
            if (guard && guard->state() == QAbstractSocket::ConnectedState)
                send(guard, response);
        });
    }
}

// Each answer goes out in one write: a body written after its header would leave the header alone
// in a segment the client need not acknowledge at once.
void Simulator::send(QTcpSocket *socket, const Response &response)
{
    const QByteArray body = response.status == 204 ? QByteArray() : response.body;
    socket->write(header(response.status, response.contentType, body.size(), response.location) + body);
}

void Simulator::sendTruncated(QTcpSocket *socket, const Response &response)
{
    const qint64 announced = qMax<qint64>(response.body.size(), 1);
    socket->write(header(response.status == 204 ? 200 : response.status, response.contentType, announced)
                  + response.body.left(response.body.size() / 2));
    socket->disconnectFromHost();
}

void Simulator::sendOversized(QTcpSocket *socket, qint64 size)
{
    size = qMax<qint64>(size, 16);
    // Written as the client takes it, so that a client that gives up early costs little; the header
    // goes out with the first piece.
    auto position = std::make_shared<qint64>(0);
    auto pending = std::make_shared<QByteArray>(header(200, JsonType, size));
    QPointer<QTcpSocket> guard(socket);
    auto pump = [guard, position, pending, size]() {
        while (guard && *position < size && guard->bytesToWrite() < 4 * Chunk) {
            const qint64 length = qMin(Chunk, size - *position);
            guard->write(*pending + oversizedChunk(*position, size, length));
            pending->clear();
            *position += length;
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, pump);
    pump();
}

Simulator::Response Simulator::respond(const Incoming &in)
{
    const QString first = in.segments.value(0);
    if (first == QLatin1String("oauth") && in.segments.value(1) == QLatin1String("token") && in.segments.size() == 2)
        return respondToken(in);
    if (first == QLatin1String("oauth") && in.segments.value(1) == QLatin1String("authorize")
        && in.segments.size() == 2)
        return respondAuthorize(in);
    if (first == QLatin1String("admin"))
        return respondAdmin(in);
    if (first == QLatin1String("media"))
        return respondMedia(in);
    return respondApi(in);
}

Simulator::Response Simulator::respondToken(const Incoming &in)
{
    if (in.method != "POST")
        return oauthError(400, "invalid_request", "The token endpoint takes POST");
    if (in.body.size() > MaxFormBody)
        return oauthError(400, "invalid_request", "The form is too large");
    const QUrlQuery form = formFields(in.body);
    auto field = [&form](const char *name) { return formValue(form, name); };
    const QString grant = field("grant_type");
    if (grant != QLatin1String("refresh_token") && grant != QLatin1String("authorization_code"))
        return oauthError(400, "unsupported_grant_type",
                          "Only the refresh_token and authorization_code grants are supported");
    if (grant == QLatin1String("refresh_token") && field("refresh_token").isEmpty())
        return oauthError(400, "invalid_request", "refresh_token is missing");
    // The code grant comes from a program on the user's machine, which may hold no secret (PKCE
    // stands in for it); a secret it sends must be right.
    const bool secretNeeded
            = grant == QLatin1String("refresh_token") || form.hasQueryItem(QStringLiteral("client_secret"));
    if (field("client_id") != Constants::ApplicationId
        || (secretNeeded && field("client_secret") != Constants::ApplicationSecret))
        return oauthError(401, "invalid_client", "Unknown application or wrong secret");
    if (mDeniedLogins > 0) {
        --mDeniedLogins;
        return oauthError(400, "access_denied", "The user canceled the login");
    }
    if (grant == QLatin1String("authorization_code"))
        return respondCodeGrant(form);
    if (field("refresh_token") != mRefreshToken)
        return oauthError(400, "invalid_grant", "The refresh token is unknown or revoked");
    mExpiredTokens.insert(mAccessToken);
    mAccessToken = newAccessToken();
    JsonWriter out;
    out.beginObject().key(QLatin1String("access_token")).string(mAccessToken);
    out.key(QLatin1String("token_type")).string(QStringLiteral("Bearer"));
    out.key(QLatin1String("expires_in")).number(3600).endObject();
    return jsonResponse(out);
}

Simulator::Response Simulator::respondCodeGrant(const QUrlQuery &form)
{
    const QString code = formValue(form, "code");
    const QString verifier = formValue(form, "code_verifier");
    if (code.isEmpty() || verifier.isEmpty() || !form.hasQueryItem(QStringLiteral("redirect_uri")))
        return oauthError(400, "invalid_request", "code, code_verifier and redirect_uri are needed");
    // A code is used once, whatever the outcome.
    const PendingCode pending = mCodes.take(code);
    if (pending.challenge.isEmpty() || pending.expiry.hasExpired())
        return oauthError(400, "invalid_grant", "The authorization code is unknown, used or expired");
    if (formValue(form, "redirect_uri") != pending.redirectUri)
        return oauthError(400, "invalid_grant", "redirect_uri differs from the authorization request's");
    if (!isPkceValue(verifier) || s256(verifier) != pending.challenge)
        return oauthError(400, "invalid_grant", "The code_verifier does not match the code_challenge");
    mExpiredTokens.insert(mAccessToken);
    mAccessToken = newAccessToken();
    JsonWriter out;
    out.beginObject().key(QLatin1String("access_token")).string(mAccessToken);
    out.key(QLatin1String("token_type")).string(QStringLiteral("Bearer"));
    out.key(QLatin1String("expires_in")).number(3600);
    out.key(QLatin1String("refresh_token")).string(mRefreshToken).endObject();
    return jsonResponse(out);
}

Simulator::Response Simulator::respondAuthorize(const Incoming &in)
{
    const bool post = in.method == "POST";
    if ((!post && in.method != "GET") || in.body.size() > MaxFormBody) {
        AuthorizationRequest refused {QUrlQuery()};
        refused.fatal = QStringLiteral("The sign-in page takes GET, and POST with a form of at most 64 KiB.");
        return signInPage(post ? 413 : 405, refused, QString());
    }
    const AuthorizationRequest request(post ? formFields(in.body) : in.query);
    if (!request.fatal.isEmpty())
        return signInPage(400, request, QString());
    if (!request.error.isEmpty())
        return request.redirect({{"error", request.error}});
    if (!post)
        return signInPage(200, request, QString());
    if (request.fields.hasQueryItem(QStringLiteral("deny")))
        return request.redirect({{"error", QStringLiteral("access_denied")}});
    if (formValue(request.fields, "username") != username() || formValue(request.fields, "password") != mPassword)
        return signInPage(401, request, QStringLiteral("Wrong user name or password."));

    for (auto it = mCodes.begin(); it != mCodes.end();)
        it = it->expiry.hasExpired() ? mCodes.erase(it) : std::next(it);
    if (mCodes.size() >= MaxPendingCodes)
        return request.redirect({{"error", QStringLiteral("temporarily_unavailable")}});
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    const QString code
            = QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    mCodes.insert(code, PendingCode {request.redirectUri, request.challenge, QDeadlineTimer(mCodeLifetime)});
    return request.redirect({{"code", code}});
}

Simulator::Response Simulator::respondMedia(const Incoming &in)
{
    if (in.method != "GET")
        return apiError(405, QStringLiteral("Pictures are only read"));
    const MediaRecipe recipe = mWorld.mediaRecipe(in.path);
    if (!recipe.isValid())
        return apiError(404, QStringLiteral("No such picture"));
    return Response {200, MediaRenderer::contentType(recipe.format), mediaBytes(in.path, recipe), QByteArray()};
}

Simulator::Response Simulator::respondApi(const Incoming &in)
{
    if (!in.authorization.startsWith("Bearer "))
        return apiError(401, QStringLiteral("No access token"));
    const QString token = QString::fromUtf8(in.authorization.mid(7).trimmed());
    if (token != mAccessToken) {
        return apiError(401,
                        mExpiredTokens.contains(token) ? QStringLiteral("The access token has expired")
                                                       : QStringLiteral("The access token is unknown"));
    }

    const QStringList &s = in.segments;
    const bool get = in.method == "GET";
    int limit = 0;
    int offset = 0;
    if (!pageParameters(in.query, &limit, &offset))
        return apiError(400, QStringLiteral("limit and offset must be numbers"));

    if (s == QStringList {"me"} && get)
        return userResponse(mWorld.me, QSet<QString>());

    if (s.size() >= 2 && s.at(0) == QLatin1String("users") && get) {
        const Qn::QnUser user = mWorld.user(s.at(1));
        if (!user.isValid())
            return apiError(404, QStringLiteral("No such user"));
        if (s.size() == 2)
            return userResponse(user, fieldSet(in.query));
        const QString what = s.at(2);
        if (s.size() == 3 && what == QLatin1String("feed")) {
            Qn::QnPosts posts;
            if (user.id() == mWorld.me.id()) {
                posts = mWorld.feed;
            } else {
                // Another user's feed: what that user wrote.
                posts = mWorld.statuses.value(user.id());
                for (const Qn::QnPost &post : mWorld.feed) {
                    if (post.from().id() == user.id())
                        posts.append(post);
                }
                std::stable_sort(posts.begin(), posts.end(),
                                 [](const Qn::QnPost &a, const Qn::QnPost &b) { return a.created() > b.created(); });
            }
            return dataResponse(page(posts, offset, limit), [this](JsonWriter &out, const Qn::QnPost &post) {
                WireJson::write(out, outward(post));
            });
        }
        if (s.size() == 3 && what == QLatin1String("friends")) {
            // Friends of other users are private.
            const Qn::QnUsers friends = user.id() == mWorld.me.id() ? mWorld.friends : Qn::QnUsers();
            const QSet<QString> fields = fieldSet(in.query);
            return dataResponse(page(friends, offset, limit), [&fields](JsonWriter &out, const Qn::QnUser &entry) {
                WireJson::write(out, entry, fields);
            });
        }
        if (s.size() == 3 && what == QLatin1String("picture")) {
            int type = Qn::SmallPicture;
            if (in.query.hasQueryItem(QStringLiteral("type"))) {
                bool ok = false;
                type = in.query.queryItemValue(QStringLiteral("type")).toInt(&ok);
                if (!ok || type < Qn::SquarePicture || type > Qn::LargePicture)
                    return apiError(400, QStringLiteral("type must be 0 to 3"));
            }
            const QByteArray bytes = profilePictureData(user.id(), Qn::PictureType(type));
            const MediaRecipe recipe = mWorld.mediaRecipe(World::avatarPath(user.id()));
            return Response {200, MediaRenderer::contentType(recipe.format), bytes, QByteArray()};
        }
    }

    if (s == QStringList {"statuses", "latest"} && get) {
        const QStringList ids = idList(in.query);
        if (ids.isEmpty() || ids.size() > MaxIdsPerRequest)
            return apiError(400, QStringLiteral("ids must list 1 to 100 users"));
        Qn::QnPosts posts;
        for (const QString &id : ids) {
            const Qn::QnPosts statuses = mWorld.statuses.value(id);
            if (!statuses.isEmpty())
                posts.append(statuses.first());
        }
        return dataResponse(posts,
                            [this](JsonWriter &out, const Qn::QnPost &post) { WireJson::write(out, outward(post)); });
    }

    if (s == QStringList {"notifications"} && get) {
        JsonWriter out;
        out.beginObject().key(QLatin1String("friend_requests")).beginArray();
        for (const Qn::QnUser &user : std::as_const(mWorld.friendRequests))
            WireJson::write(out, user);
        out.endArray().key(QLatin1String("event_invitations")).beginArray();
        for (const Qn::QnEvent &event : std::as_const(mWorld.eventInvitations))
            WireJson::write(out, event);
        out.endArray().key(QLatin1String("notifications")).beginArray();
        for (const Qn::QnNotification &notification : std::as_const(mWorld.notifications))
            WireJson::write(out, notification);
        out.endArray().key(QLatin1String("unread_threads")).number(mWorld.unreadThreadCount()).endObject();
        return jsonResponse(out);
    }

    if (s.size() == 2 && s.at(0) == QLatin1String("events") && get) {
        for (const Qn::QnEvent &event : std::as_const(mWorld.eventInvitations)) {
            if (event.id() == s.at(1)) {
                JsonWriter out;
                out.beginObject().key(QLatin1String("event"));
                WireJson::write(out, event);
                out.endObject();
                return jsonResponse(out);
            }
        }
        return apiError(404, QStringLiteral("No such event"));
    }

    if (s == QStringList {"notifications", "read"} && in.method == "POST") {
        const QJsonObject body = QJsonDocument::fromJson(in.body).object();
        const QJsonArray array = body.value("ids").toArray();
        QStringList ids;
        for (const QJsonValue &value : array) {
            if (!value.isString())
                return apiError(400, QStringLiteral("ids must be strings"));
            ids.append(value.toString());
            if (ids.size() > MaxIdsPerRequest)
                break;
        }
        if (ids.isEmpty() || ids.size() > MaxIdsPerRequest)
            return apiError(400, QStringLiteral("ids must list 1 to 100 notifications"));
        mWorld.markNotificationsRead(ids);
        return noContent();
    }

    if (s.value(0) == QLatin1String("threads") && get) {
        if (s.size() == 1) {
            int folder = Qn::Inbox;
            if (in.query.hasQueryItem(QStringLiteral("folder"))) {
                bool ok = false;
                folder = in.query.queryItemValue(QStringLiteral("folder")).toInt(&ok);
                if (!ok || folder < Qn::Inbox || folder > Qn::Updates)
                    return apiError(400, QStringLiteral("folder must be 0 to 2"));
            }
            return dataResponse(page(mWorld.threads.value(folder), offset, limit));
        }
        if (s.size() == 3 && s.at(2) == QLatin1String("messages")) {
            const auto it = mWorld.messages.constFind(s.at(1));
            if (it == mWorld.messages.constEnd())
                return apiError(404, QStringLiteral("No such thread"));
            return dataResponse(page(it.value(), offset, limit));
        }
    }

    return apiError(404, QStringLiteral("No such endpoint: %1 %2").arg(QString::fromLatin1(in.method), in.path));
}

Simulator::Response Simulator::respondAdmin(const Incoming &in)
{
    const QStringList &s = in.segments;
    const bool post = in.method == "POST";
    if (in.body.size() > MaxAdminBody)
        return apiError(413, QStringLiteral("Body too large"));
    QJsonObject body;
    if (!in.body.trimmed().isEmpty()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(in.body, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return apiError(400, QStringLiteral("The body must be a JSON object"));
        body = document.object();
    }
    const int count = body.value("count").toInt(1);
    auto conflict
            = [](const QString &what) { return apiError(409, what + QStringLiteral(" refused (duplicate or full)")); };

    if (s == QStringList {"admin", "posts"} && post) {
        const QByteArray format = body.value("picture_format").toString().toLatin1();
        const Qn::QnPost stored = addPost(WireJson::readPost(body), format);
        return stored.isValid() ? recordResponse(stored) : conflict(QStringLiteral("Post"));
    }
    if (s.size() == 3 && s.at(1) == QLatin1String("posts") && in.method == "DELETE")
        return removePost(s.at(2)) ? noContent() : apiError(404, QStringLiteral("No such post"));
    if (s.size() == 4 && s.at(1) == QLatin1String("posts") && post
        && (s.at(3) == QLatin1String("like") || s.at(3) == QLatin1String("comment"))) {
        const bool done = s.at(3) == QLatin1String("like") ? likePost(s.at(2), count) : commentPost(s.at(2), count);
        if (!done)
            return apiError(404, QStringLiteral("No such post"));
        return recordResponse(outward(mWorld.feed.at(mWorld.indexOfPost(s.at(2)))));
    }
    if (s == QStringList {"admin", "statuses"} && post) {
        const Qn::QnPost stored = addStatusMessage(WireJson::readPost(body));
        return stored.isValid() ? recordResponse(stored) : apiError(404, QStringLiteral("No such user"));
    }
    if (s == QStringList {"admin", "friends"} && post) {
        const Qn::QnUser user = WireJson::readUser(body);
        return addFriend(user) ? recordResponse(user) : conflict(QStringLiteral("Friend"));
    }
    if (s == QStringList {"admin", "notifications"} && post) {
        const Qn::QnNotification stored = addNotification(WireJson::readNotification(body));
        return stored.isValid() ? recordResponse(stored) : conflict(QStringLiteral("Notification"));
    }
    if (s == QStringList {"admin", "threads"} && post) {
        const int folder = body.value("folder").toInt(Qn::Inbox);
        const Qn::QnThread stored = addThread(WireJson::readThread(body), Qn::MessageBoxType(qBound(0, folder, 2)));
        return stored.isValid() ? recordResponse(stored) : conflict(QStringLiteral("Thread"));
    }
    if (s.size() == 4 && s.at(1) == QLatin1String("threads") && s.at(3) == QLatin1String("messages") && post) {
        Qn::QnMessage message = WireJson::readMessage(body);
        message.setThreadId(s.at(2));
        const Qn::QnMessage stored = addMessage(message);
        return stored.isValid() ? recordResponse(stored) : apiError(404, QStringLiteral("No such thread"));
    }
    if (s == QStringList {"admin", "friend-requests"} && post) {
        const Qn::QnUser user = WireJson::readUser(body);
        return addFriendRequest(user) ? recordResponse(user) : conflict(QStringLiteral("Friend request"));
    }
    if (s.size() == 3 && s.at(1) == QLatin1String("friend-requests") && in.method == "DELETE")
        return removeFriendRequest(s.at(2)) ? noContent() : apiError(404, QStringLiteral("No such friend request"));
    if (s == QStringList {"admin", "events"} && post) {
        const Qn::QnEvent event = WireJson::readEvent(body);
        return addEventInvitation(event) ? recordResponse(event) : conflict(QStringLiteral("Event"));
    }
    if (s == QStringList {"admin", "token", "expire"} && post) {
        expireAccessToken();
        return noContent();
    }
    if (s == QStringList {"admin", "token", "deny"} && post) {
        denyLogins(count);
        return noContent();
    }
    if (s == QStringList {"admin", "faults"} && post) {
        const auto kind = faultKinds().constFind(body.value("kind").toString());
        if (kind == faultKinds().constEnd() || !body.value("path").isString())
            return apiError(400, QStringLiteral("A fault needs a path and a known kind"));
        injectFault(body.value("path").toString(), kind.value(), body.value("value").toInt(0), count);
        return noContent();
    }
    if (s == QStringList {"admin", "faults"} && in.method == "DELETE") {
        clearFaults();
        return noContent();
    }
    if (s == QStringList {"admin", "requests"} && in.method == "GET") {
        return dataResponse(mRequests, [](JsonWriter &out, const Request &request) {
            out.beginObject().key(QLatin1String("method")).string(QString::fromLatin1(request.method));
            out.key(QLatin1String("path")).string(request.path);
            out.key(QLatin1String("query")).string(request.query.toString(QUrl::FullyDecoded)).endObject();
        });
    }
    return apiError(404,
                    QStringLiteral("No such administration call: %1 %2").arg(QString::fromLatin1(in.method), in.path));
}

} // namespace QuillnetSim
