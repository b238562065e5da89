#include "ctl/login.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTextStream>
#include <QUrlQuery>

#include <cstdio>

#include "common/constants.h"
#include "platform/accounts/accountintegration.h"
#include "platform/quillnet/qnjson.h"
#include "platform/quillnet/quillnetconfiguration.h"
#include "platform/support/logtext.h"
#include "platform/support/webaddress.h"

#ifndef QUILLNET_SERVICE_URL
#define QUILLNET_SERVICE_URL "https://api.quillnet.com"
#endif

namespace Ctl {

namespace {

constexpr int RequestTimeout = 30000;
constexpr int MaxRefreshTokenLength = 16 * 1024;
const QString CallbackPath = QStringLiteral("/callback");

// Random bytes as base64url without padding: 32 bytes make a 43-character PKCE verifier.
QString randomText(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray formOf(const QList<QPair<QByteArray, QString>> &fields)
{
    QByteArray form;
    for (const auto &field : fields)
        form += (form.isEmpty() ? "" : "&") + field.first + '=' + QUrl::toPercentEncoding(field.second);
    return form;
}

// What can go into the account file and a request: printable ASCII without blanks.
bool isTokenText(const QString &text, int maxLength)
{
    if (text.isEmpty() || text.size() > maxLength)
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7f; });
}

QByteArray page(int status, const QString &title, const QString &text)
{
    const QByteArray body = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                                           "<title>%1</title></head><body><h1>%1</h1><p>%2</p></body></html>\n")
                                    .arg(title.toHtmlEscaped(), text.toHtmlEscaped())
                                    .toUtf8();
    const QByteArray reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Bad Request";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
            + "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void answer(QTcpSocket *socket, const QByteArray &response)
{
    socket->write(response);
    socket->flush();
    socket->disconnectFromHost();
}

QString duration(int ms)
{
    const int seconds = (ms + 999) / 1000;
    return seconds % 60 == 0 && seconds > 0 ? QStringLiteral("%1 min").arg(seconds / 60)
                                            : QStringLiteral("%1 s").arg(seconds);
}

} // namespace

Login::Login(const Options &options, QTextStream *out, QTextStream *err, QObject *parent)
    : QObject(parent)
    , mOptions(options)
    , mOut(out)
    , mErr(err)
{
    if (mOptions.accountFile.isEmpty())
        mOptions.accountFile = AccountIntegration::defaultFilePath();
    mTimeout.setSingleShot(true);
    connect(&mTimeout, &QTimer::timeout, this, [this]() {
        finish(1,
               QStringLiteral("nobody signed in within %1; the account file was not changed")
                       .arg(duration(mOptions.timeout)));
    });
    connect(&mServer, &QTcpServer::newConnection, this, &Login::onConnection);
}

Login::~Login() = default;

bool Login::start()
{
    if (!mServer.listen(QHostAddress::LocalHost, mOptions.port)) {
        *mErr << "quillnetctl login: cannot listen on 127.0.0.1 port " << mOptions.port << ": " << mServer.errorString()
              << " (--port picks another one)" << Qt::endl;
        return false;
    }
    mRedirectUri = QStringLiteral("http://127.0.0.1:%1%2").arg(mServer.serverPort()).arg(CallbackPath);
    mState = randomText(16);
    mVerifier = randomText(32);
    const QString challenge
            = QString::fromLatin1(QCryptographicHash::hash(mVerifier.toLatin1(), QCryptographicHash::Sha256)
                                          .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));

    QUrl url = Support::withPath(mOptions.serviceUrl, QStringLiteral("/oauth/authorize"));
    url.setQuery(QString::fromLatin1(formOf({{"response_type", QStringLiteral("code")},
                                             {"client_id", Constants::ApplicationId},
                                             {"redirect_uri", mRedirectUri},
                                             {"state", mState},
                                             {"code_challenge", challenge},
                                             {"code_challenge_method", QStringLiteral("S256")}})),
                 QUrl::StrictMode);
    const QString address = url.toString(QUrl::FullyEncoded);
    // Scripts and people copy the address from this line.
    *mOut << "open " << address << Qt::endl;
    if (mOptions.openBrowser && !QProcess::startDetached(QStringLiteral("xdg-open"), {address}))
        *mErr << "quillnetctl login: could not start xdg-open; open the address above in a browser" << Qt::endl;
    mTimeout.start(mOptions.timeout);
    return true;
}

void Login::onConnection()
{
    while (QTcpSocket *socket = mServer.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() {
            // One request per connection; only its head matters.
            QByteArray head = socket->property("head").toByteArray() + socket->read(MaxRequestHead);
            socket->setProperty("head", head);
            if (head.contains("\r\n\r\n")) {
                disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
                onRequest(socket, head);
            } else if (head.size() >= MaxRequestHead) {
                disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
                answer(socket, page(400, QStringLiteral("Bad request"), QStringLiteral("The request is too long.")));
            }
        });
    }
}

void Login::onRequest(QTcpSocket *socket, const QByteArray &head)
{
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QUrl target = QUrl::fromEncoded(requestLine.value(1), QUrl::StrictMode);
    if (requestLine.size() != 3 || requestLine.at(0) != "GET" || target.path() != CallbackPath) {
        // A browser also asks for its icon; that is no answer to the sign-in.
        answer(socket, page(404, QStringLiteral("Not found"), QStringLiteral("This is the sign-in of quillnetctl.")));
        return;
    }
    if (mAnswered || mDone) {
        answer(socket,
               page(400, QStringLiteral("Sign-in answered already"),
                    QStringLiteral("This sign-in has had its answer; start a new one with quillnetctl login.")));
        return;
    }
    mAnswered = true;
    mBrowser = socket;
    const QUrlQuery query(target);
    auto value = [&query](const char *name) { return query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded); };
    // The state proves that the answer belongs to the request this program made.
    if (value("state") != mState) {
        finish(1,
               QStringLiteral("the answer does not belong to this sign-in (wrong state); the account file was not "
                              "changed"));
        return;
    }
    const QString error = value("error");
    if (error == QLatin1String("access_denied")) {
        finish(1, QStringLiteral("the sign-in was denied; the account file was not changed"));
        return;
    }
    if (!error.isEmpty() || value("code").isEmpty()) {
        finish(1,
               QStringLiteral("the service refused the sign-in: %1 %2; the account file was not changed")
                       .arg(Support::logText(error.isEmpty() ? QStringLiteral("no code") : error),
                            Support::logText(value("error_description"))));
        return;
    }
    exchangeCode(value("code"));
}

void Login::exchangeCode(const QString &code)
{
    const QUrl url = Support::withPath(mOptions.serviceUrl, QStringLiteral("/oauth/token"));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    const QByteArray form = formOf({{"grant_type", QStringLiteral("authorization_code")},
                                    {"code", code},
                                    {"redirect_uri", mRedirectUri},
                                    {"client_id", Constants::ApplicationId},
                                    {"code_verifier", mVerifier}});
    send(request, form, [this, url](int status, const QByteArray &body, const QString &transportError) {
        const QJsonObject json = QJsonDocument::fromJson(body).object();
        const QString where = url.toString(QUrl::RemoveUserInfo);
        if (status == 0) {
            finish(1, QStringLiteral("the token request to %1 failed: %2").arg(where, transportError));
            return;
        }
        if (status != 200) {
            finish(1,
                   QStringLiteral("the service refused the code: HTTP %1 %2 %3")
                           .arg(status)
                           .arg(Support::logText(json.value(QStringLiteral("error")).toString()),
                                Support::logText(json.value(QStringLiteral("error_description")).toString())));
            return;
        }
        const QString accessToken = json.value(QStringLiteral("access_token")).toString();
        const QString refreshToken = json.value(QStringLiteral("refresh_token")).toString();
        if (!Qn::QuillnetConfiguration::isUsableAccessToken(accessToken)
            || !isTokenText(refreshToken, MaxRefreshTokenLength)) {
            finish(1, QStringLiteral("the answer of %1 holds no usable access and refresh token").arg(where));
            return;
        }
        fetchAccountName(accessToken, refreshToken);
    });
}

void Login::fetchAccountName(const QString &accessToken, const QString &refreshToken)
{
    // The account is named after the user's login, which only the service knows.
    QNetworkRequest request(Support::withPath(mOptions.serviceUrl, QStringLiteral("/me")));
    request.setRawHeader("Authorization", "Bearer " + accessToken.toLatin1());
    send(request, QByteArray(),
         [this, refreshToken](int status, const QByteArray &body, const QString &transportError) {
             QString problem = status == 0 ? transportError : QStringLiteral("HTTP %1").arg(status);
             const Qn::QnUser user = status == 200
                     ? Qn::QnJson::readUser(QJsonDocument::fromJson(body).object().value(QStringLiteral("user")),
                                            &problem)
                     : Qn::QnUser();
             if (!user.isValid()) {
                 finish(1,
                        QStringLiteral("the service did not tell who signed in (%1)").arg(Support::logText(problem)));
                 return;
             }
             writeAccount(user.email().isEmpty() ? user.id() : user.email(), refreshToken);
         });
}

void Login::writeAccount(const QString &name, const QString &refreshToken)
{
    AccountIntegration::NewAccount account;
    account.name = name;
    account.serviceUrl = mOptions.serviceUrl;
    account.refreshToken = refreshToken;
    account.services.insert(QStringLiteral("IM"), true);
    for (const QString &key : {Constants::NotificationsMainSetting, Constants::NewsFeedSetting})
        account.settings.insert(key, true);
    for (const Constants::NotificationKind &kind : Constants::NotificationKinds)
        account.settings.insert(kind.setting, true);
    QString error;
    if (!AccountIntegration::writeAccountFile(mOptions.accountFile, account, &error)) {
        finish(1, QStringLiteral("signed in, but the account was not saved: %1").arg(error));
        return;
    }
    finish(0,
           QStringLiteral("signed in to %1 as %2; the account is in %3")
                   .arg(mOptions.serviceUrl.toString(QUrl::RemoveUserInfo), Support::logText(name),
                        mOptions.accountFile));
}

void Login::send(QNetworkRequest request, const QByteArray &form,
                 const std::function<void(int, const QByteArray &, const QString &)> &done)
{
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("User-Agent", "quillnetctl");
    // Codes and tokens must not follow a redirect to another place.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(RequestTimeout);
    QNetworkReply *reply = form.isEmpty() ? mNetwork.get(request) : mNetwork.post(request, form);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > MaxAnswerSize || total > MaxAnswerSize) {
            reply->setProperty("tooLarge", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [reply, done]() {
        reply->deleteLater();
        if (reply->property("tooLarge").toBool()) {
            done(0, QByteArray(), QStringLiteral("the answer is larger than %1 bytes").arg(MaxAnswerSize));
            return;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool success = status >= 200 && status < 300;
        if (status == 0 || (success && reply->error() != QNetworkReply::NoError))
            done(0, QByteArray(), reply->errorString());
        else
            done(status, reply->read(MaxAnswerSize), QString());
    });
}

void Login::finish(int exitCode, const QString &message)
{
    if (mDone)
        return;
    mDone = true;
    mTimeout.stop();
    mServer.close();
    if (exitCode == 0)
        *mOut << "quillnetctl login: " << message << Qt::endl;
    else
        *mErr << "quillnetctl login: " << message << Qt::endl;
    if (mBrowser) {
        answer(mBrowser,
               exitCode == 0 ? page(200, QStringLiteral("Signed in to Quillnet"),
                                    QStringLiteral("quillnet-daemon can use the account now. You can "
                                                   "close this tab."))
                             : page(400, QStringLiteral("Sign-in failed"), message));
    }
    emit finished(exitCode);
}

int runLogin(const QStringList &arguments)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QStringLiteral("Signs in to Quillnet in the browser and writes the account file that quillnet-daemon reads "
                           "($XDG_CONFIG_HOME/quillnet/account.conf). Prints the address to open as \"open <url>\"."));
    parser.addHelpOption();
    parser.addOptions({
            {"service", QStringLiteral("Address of the Quillnet service (default %1).").arg(QUILLNET_SERVICE_URL),
             "url", QStringLiteral(QUILLNET_SERVICE_URL)},
            {"port", "Loopback port for the browser's answer (default: a free one).", "n", "0"},
            {"no-browser", "Only print the address; do not run xdg-open."},
            {"timeout", "Seconds to wait for the sign-in (default 300).", "s", "300"},
    });
    if (!parser.parse(arguments)) {
        err << "quillnetctl login: " << parser.errorText() << Qt::endl;
        return 2;
    }
    if (parser.isSet("help")) {
        // Qt names the program only; the command belongs to the usage line too.
        QString help = parser.helpText();
        out << help.replace(0, help.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: quillnetctl login [options]"));
        return 0;
    }
    Login::Options options;
    options.serviceUrl = QUrl(parser.value("service"), QUrl::StrictMode);
    bool portOk = false;
    const uint port = parser.value("port").toUInt(&portOk);
    bool timeoutOk = false;
    const int timeout = parser.value("timeout").toInt(&timeoutOk);
    if (!parser.positionalArguments().isEmpty()) {
        err << "quillnetctl login: unexpected argument " << parser.positionalArguments().constFirst() << Qt::endl;
        return 2;
    }
    if (!Support::isWebAddress(options.serviceUrl) || !portOk || port > 65535 || !timeoutOk || timeout < 1
        || timeout > 24 * 3600) {
        err << "quillnetctl login: --service takes an http(s) address, --port 0 to 65535, --timeout 1 to 86400"
            << Qt::endl;
        return 2;
    }
    options.port = quint16(port);
    options.timeout = timeout * 1000;
    options.openBrowser = !parser.isSet("no-browser");

    Login login(options, &out, &err);
    QEventLoop loop;
    QObject::connect(&login, &Login::finished, &loop, &QEventLoop::exit);
    if (!login.start())
        return 1;
    return loop.exec();
}

} // namespace Ctl
