#include "platform/accounts/accountintegration.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QSettings>
#include <QTimer>

#include "platform/quillnet/floodedconnections.h"
#include "platform/quillnet/quillnetconfiguration.h"
#include "platform/support/files.h"
#include "platform/support/logtext.h"
#include "platform/support/webaddress.h"
#include "platform/support/logging.h"

namespace {

// The file is a few hundred bytes; anything far bigger is not an account file and is not read.
constexpr qint64 MaxFileSize = 256 * 1024;
// Tokens are the longest values; 16 KiB leaves room for large signed refresh tokens. Access
// tokens have the client library's tighter bound on top.
constexpr int MaxValueLength = 16 * 1024;
constexpr int SettleDelayMs = 100;
constexpr int MaxRefusedTokens = 8;

const QString AccountGroup = QStringLiteral("account");
const QString ServicesGroup = QStringLiteral("services");
const QString SettingsGroup = QStringLiteral("settings");

// A string value of the current group; empty when missing or unusable. Unquoted commas make
// QSettings return a list, and control characters must never reach a request header.
QString readString(const QSettings &ini, const QString &key, QStringList *problems)
{
    const QVariant value = ini.value(key);
    if (!value.isValid())
        return QString();
    if (value.userType() != QMetaType::QString) {
        problems->append(QStringLiteral("ignoring \"%1\": not a single value").arg(key));
        return QString();
    }
    const QString text = value.toString().trimmed();
    if (text.size() > MaxValueLength) {
        problems->append(QStringLiteral("ignoring \"%1\": value too long").arg(key));
        return QString();
    }
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            problems->append(QStringLiteral("ignoring \"%1\": control character in value").arg(key));
            return QString();
        }
    }
    return text;
}

// A boolean of the current group: true/false/1/0 in any case. Anything else counts as missing.
bool readBool(const QSettings &ini, const QString &key, QStringList *problems, bool *value)
{
    const QVariant raw = ini.value(key);
    if (!raw.isValid())
        return false;
    if (raw.userType() == QMetaType::QString) {
        const QString text = raw.toString().trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("1")) {
            *value = true;
            return true;
        }
        if (text == QLatin1String("false") || text == QLatin1String("0")) {
            *value = false;
            return true;
        }
    }
    problems->append(QStringLiteral("ignoring \"%1\": not a boolean (%2)")
                             .arg(key, Support::logText(raw.toStringList().join(QLatin1Char(',')))));
    return false;
}

// QSettings keeps parsed files per path and parses one again only when its size or modification
// time differ, and it reports a syntax error only when it parses. A file that failed is remembered
// with that size and time, so that every later read of the unchanged file fails the same way.
struct ParseFailure
{
    qint64 size = -1;
    QDateTime modified;
};

// The daemon has one thread: no lock.
QHash<QString, ParseFailure> parseFailures;

bool knownParseFailure(const QFileInfo &info)
{
    const auto it = parseFailures.constFind(info.absoluteFilePath());
    return it != parseFailures.constEnd() && it->size == info.size() && it->modified == info.lastModified();
}

void recordParseResult(const QFileInfo &info, bool failed)
{
    if (failed)
        parseFailures.insert(info.absoluteFilePath(), {info.size(), info.lastModified()});
    else
        parseFailures.remove(info.absoluteFilePath());
}

QMap<QString, bool> readBoolGroup(QSettings &ini, const QString &group, QStringList *problems)
{
    QMap<QString, bool> result;
    ini.beginGroup(group);
    const QStringList keys = ini.childKeys();
    for (const QString &key : keys) {
        bool value = false;
        if (readBool(ini, key, problems, &value))
            result.insert(key, value);
    }
    ini.endGroup();
    return result;
}

// What tells one content of the file from another: a hash of the bytes, or size and time where
// the file cannot be read.
QByteArray fileIdentity(const QFileInfo &info)
{
    QFile file(info.absoluteFilePath());
    if (info.isFile() && info.size() <= MaxFileSize && file.open(QIODevice::ReadOnly))
        return QCryptographicHash::hash(file.read(MaxFileSize + 1), QCryptographicHash::Sha1);
    return QByteArray::number(info.size()) + '@' + QByteArray::number(info.lastModified().toMSecsSinceEpoch());
}

// A value as QSettings reads it back: quoted, so that commas and semicolons stay text, with
// backslash and quote escaped and a leading '@' (QSettings' mark of a typed value) doubled. Empty
// when the reader would refuse the value.
QByteArray iniValue(const QString &value)
{
    if (value.size() > MaxValueLength || value.trimmed() != value)
        return QByteArray();
    for (const QChar c : value) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QByteArray();
    }
    QString text = value.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + value : value;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return '"' + text.toUtf8() + '"';
}

QByteArray iniGroup(const QString &group, const QMap<QString, bool> &values)
{
    QByteArray text = '[' + group.toUtf8() + "]\n";
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        text += it.key().toUtf8() + '=' + (it.value() ? "true" : "false") + '\n';
    return text;
}

} // namespace

bool AccountIntegration::writeAccountFile(const QString &path, const NewAccount &account, QString *error)
{
    const QByteArray name = iniValue(account.name);
    const QByteArray service = iniValue(account.serviceUrl.toString(QUrl::FullyEncoded));
    const QByteArray token = iniValue(account.refreshToken);
    if (account.name.isEmpty() || name.isEmpty() || !Support::isWebAddress(account.serviceUrl) || service.isEmpty()
        || account.refreshToken.isEmpty() || token.isEmpty()) {
        *error = QStringLiteral("the account name, service address or refresh token cannot be stored");
        return false;
    }
    static const QRegularExpression keyForm(QStringLiteral("^[A-Za-z0-9_-]+$"));
    for (const QString &key : account.services.keys() + account.settings.keys()) {
        if (!keyForm.match(key).hasMatch()) {
            *error = QStringLiteral("the key %1 cannot be stored").arg(Support::logText(key));
            return false;
        }
    }
    const QByteArray text = '[' + AccountGroup.toUtf8() + "]\nname=" + name + "\nenabled=true\nservice_url=" + service
            + "\nrefresh_token=" + token + '\n' + iniGroup(ServicesGroup, account.services)
            + iniGroup(SettingsGroup, account.settings);

    if (!Support::makeUserOnlyPath(QFileInfo(path).absolutePath())) {
        *error = QStringLiteral("cannot create the folder %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile file(path);
    // The new file is made private before the credential goes into it; an old file's mode is not kept.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(text) != text.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QString AccountIntegration::defaultFilePath()
{
    // Relative values are to be ignored, as other desktop software does.
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || !QDir::isAbsolutePath(configHome))
        configHome = QDir::homePath() + QLatin1String("/.config");
    return QDir::cleanPath(configHome + QLatin1String("/quillnet/account.conf"));
}

AccountIntegration::AccountIntegration(const QString &filePath, QObject *parent)
    : QObject(parent)
    , mFilePath(filePath)
{}

AccountIntegration::~AccountIntegration()
{
    // A shared manager lives on: its replies must not reach this object, nor be left behind.
    const QList<QNetworkReply *> replies = mTokenReplies;
    mTokenReplies.clear();
    for (QNetworkReply *reply : replies) {
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
        Qn::closeFloodedConnections(reply->url());
    }
}

void AccountIntegration::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    mNetwork = manager;
}

QNetworkAccessManager *AccountIntegration::network()
{
    if (!mNetwork)
        mNetwork = new QNetworkAccessManager(this);
    return mNetwork;
}

QString AccountIntegration::filePath() const
{
    return mFilePath;
}

QString AccountIntegration::Snapshot::invalidReason() const
{
    if (!exists)
        return QStringLiteral("no account file");
    if (!readable)
        return QStringLiteral("the file cannot be read");
    if (name.isEmpty())
        return QStringLiteral("no account name");
    if (refreshToken.isEmpty() && accessToken.isEmpty())
        return QStringLiteral("no credential");
    return QString();
}

AccountIntegration::Snapshot AccountIntegration::readFile(bool quiet) const
{
    Snapshot snapshot;
    const QFileInfo info(mFilePath);
    if (!info.exists())
        return snapshot;
    snapshot.exists = true;

    QStringList problems;
    // Checked before QSettings sees the file: it reads all of it, and a pipe would block.
    if (!info.isFile()) {
        problems.append(QStringLiteral("not a regular file"));
    } else if (info.size() > MaxFileSize) {
        problems.append(QStringLiteral("is too big: %1 bytes").arg(info.size()));
    } else if (!info.isReadable()) {
        problems.append(QStringLiteral("not readable"));
    } else if (knownParseFailure(info)) {
        // QSettings parses again only when size or time changed (see ParseFailure), so a save that
        // keeps the size within one tick of the file system's clock would go unseen; the watcher's
        // settle delay keeps our reads apart from the writes.
        problems.append(QStringLiteral("cannot be read: format error"));
    } else {
        QSettings ini(mFilePath, QSettings::IniFormat);
        const QSettings::Status status = ini.status();
        recordParseResult(info, status == QSettings::FormatError);
        if (status != QSettings::NoError) {
            problems.append(status == QSettings::FormatError ? QStringLiteral("cannot be read: format error")
                                                             : QStringLiteral("cannot be read: access error"));
        } else {
            snapshot.readable = true;
            ini.beginGroup(AccountGroup);
            snapshot.name = readString(ini, QStringLiteral("name"), &problems);
            snapshot.enabledKnown = readBool(ini, QStringLiteral("enabled"), &problems, &snapshot.enabled);
            snapshot.serviceUrl = readString(ini, QStringLiteral("service_url"), &problems);
            snapshot.refreshToken = readString(ini, QStringLiteral("refresh_token"), &problems);
            snapshot.accessToken = readString(ini, QStringLiteral("access_token"), &problems);
            ini.endGroup();
            if (!snapshot.serviceUrl.isEmpty() && !Support::isWebAddress(QUrl(snapshot.serviceUrl, QUrl::StrictMode))) {
                problems.append(QStringLiteral("ignoring \"service_url\" %1: not an http or https address")
                                        .arg(Support::logText(snapshot.serviceUrl)));
                snapshot.serviceUrl.clear();
            }
            snapshot.services = readBoolGroup(ini, ServicesGroup, &problems);
            snapshot.settings = readBoolGroup(ini, SettingsGroup, &problems);
        }
    }

    if (problems.isEmpty())
        return snapshot;
    // Every question to the account reads the file again; one warning per content is enough.
    const QByteArray identity = fileIdentity(info);
    const bool warn = !quiet && identity != mReportedFile;
    if (warn)
        mReportedFile = identity;
    for (const QString &problem : std::as_const(problems)) {
        if (warn)
            qCWarning(lcDaemon).noquote() << "Account file" << mFilePath << ":" << problem;
        else
            qCDebug(lcDaemon).noquote() << "Account file" << mFilePath << ":" << problem;
    }
    return snapshot;
}

bool AccountIntegration::isValidAccount() const
{
    const QString reason = readFile(true).invalidReason();
    if (!reason.isEmpty())
        qCDebug(lcDaemon) << Q_FUNC_INFO << mFilePath << "is no valid account:" << reason;
    return reason.isEmpty();
}

bool AccountIntegration::isAccountEnabled() const
{
    const Snapshot snapshot = readFile(true);
    if (!snapshot.enabled)
        qCDebug(lcDaemon) << Q_FUNC_INFO << mFilePath
                          << (snapshot.enabledKnown ? "says enabled=false" : "has no enabled=true");
    return snapshot.enabled;
}

QString AccountIntegration::accountName() const
{
    return readFile().name;
}

QMap<QString, bool> AccountIntegration::settings(const QStringList &keys) const
{
    const Snapshot snapshot = readFile();
    QMap<QString, bool> result;
    for (const QString &key : keys) {
        const auto it = snapshot.settings.constFind(key);
        if (it != snapshot.settings.constEnd())
            result.insert(key, it.value());
    }
    return result;
}

bool AccountIntegration::isServiceEnabled(const QString &name) const
{
    return readFile().services.value(name, false);
}

void AccountIntegration::watchSettings(const QStringList &keys)
{
    mWatchedKeys = keys;
    mLast = readFile();

    if (!mWatcher) {
        mWatcher = new QFileSystemWatcher(this);
        mSettleTimer = new QTimer(this);
        mSettleTimer->setSingleShot(true);
        mSettleTimer->setInterval(SettleDelayMs);
        // Every event restarts the delay, so one save is read once, after its last step.
        connect(mWatcher, &QFileSystemWatcher::fileChanged, mSettleTimer, qOverload<>(&QTimer::start));
        connect(mWatcher, &QFileSystemWatcher::directoryChanged, mSettleTimer, qOverload<>(&QTimer::start));
        connect(mSettleTimer, &QTimer::timeout, this, &AccountIntegration::onFileChanged);
    }
    rewatch();
}

void AccountIntegration::rewatch()
{
    // Watching never creates anything: a folder that does not exist is simply not watched.
    const QString dirPath = QFileInfo(mFilePath).absolutePath();
    if (QFileInfo(dirPath).isDir()) {
        if (!mWatcher->directories().contains(dirPath))
            mWatcher->addPath(dirPath);
    } else {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "folder" << dirPath << "does not exist, not watched";
    }

    // A file replaced by rename is a new file: the watch is set again so that it follows the file
    // now at the path, not the one that was there before.
    if (mWatcher->files().contains(mFilePath))
        mWatcher->removePath(mFilePath);
    if (QFileInfo::exists(mFilePath))
        mWatcher->addPath(mFilePath);
}

void AccountIntegration::onFileChanged()
{
    rewatch();
    const Snapshot now = readFile();

    if (!now.exists) {
        if (mLast.exists) {
            mLast.exists = false;
            qCDebug(lcDaemon) << Q_FUNC_INFO << "account file removed" << mFilePath;
            emit accountRemoved();
        }
        return;
    }
    // Caught in the middle of a write (truncated, half written, a full disk): the next event brings
    // the finished file. Until then nothing changes, least of all the enabled state.
    const QString incomplete = !now.invalidReason().isEmpty() ? now.invalidReason()
            : !now.enabledKnown                               ? QStringLiteral("no enabled key")
                                                              : QString();
    if (!incomplete.isEmpty()) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "keeping the previous account state:" << incomplete;
        return;
    }

    // A receiver may delete this object from a slot: nothing is touched after that.
    QPointer<AccountIntegration> self(this);

    const Snapshot before = mLast;
    mLast = now;
    // A setting that left the file keeps its last value: the receivers still hold it, and a key
    // that comes back unchanged is then no change.
    for (auto it = before.settings.constBegin(); it != before.settings.constEnd(); ++it) {
        if (!mLast.settings.contains(it.key()))
            mLast.settings.insert(it.key(), it.value());
    }

    const QStringList watchedKeys = mWatchedKeys;
    for (const QString &key : watchedKeys) {
        const auto it = now.settings.constFind(key);
        if (it == now.settings.constEnd())
            continue;
        const auto old = before.settings.constFind(key);
        if (old != before.settings.constEnd() && old.value() == it.value())
            continue;
        emit settingsChanged(key, it.value());
        if (!self)
            return;
    }

    QSet<QString> serviceNames;
    for (auto it = before.services.constBegin(); it != before.services.constEnd(); ++it)
        serviceNames.insert(it.key());
    for (auto it = now.services.constBegin(); it != now.services.constEnd(); ++it)
        serviceNames.insert(it.key());
    QStringList sortedNames(serviceNames.cbegin(), serviceNames.cend());
    sortedNames.sort();
    for (const QString &name : std::as_const(sortedNames)) {
        const bool wasOn = before.services.value(name, false);
        const bool isOn = now.services.value(name, false);
        if (wasOn == isOn)
            continue;
        if (isOn)
            emit serviceEnabled(name);
        else
            emit serviceDisabled(name);
        if (!self)
            return;
    }

    if (before.exists && before.enabled && !now.enabled) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "account disabled" << mFilePath;
        emit accountDisabled();
    }
}

void AccountIntegration::login(const QString &applicationId, const QString &scope, const QString &applicationSecret,
                               bool forceNew, bool interactive)
{
    qCDebug(lcDaemon) << Q_FUNC_INFO << "forceNew:" << forceNew << "interactive:" << interactive;
    mCanceledTooOften = false;

    const LoginRequest request {applicationId, scope, applicationSecret, forceNew, interactive};
    // Never answered from inside this call: the caller records that a login is in progress only
    // after login() returns.
    QTimer::singleShot(0, this, [this, request]() { requestAccessToken(request); });
}

QUrl AccountIntegration::serviceUrl() const
{
    // readFile() keeps only web addresses.
    const QString text = readFile().serviceUrl;
    return text.isEmpty() ? QUrl() : QUrl(text, QUrl::StrictMode);
}

void AccountIntegration::setTokenRequestTimeout(int milliseconds)
{
    mTokenRequestTimeout = milliseconds > 0 ? milliseconds : DefaultTokenRequestTimeout;
}

void AccountIntegration::requestAccessToken(const LoginRequest &request)
{
    // A forced login means the token handed out last was refused; handing it out again would loop.
    if (request.forceNew && !mHandedOutToken.isEmpty() && !mRefusedTokens.contains(mHandedOutToken)) {
        mRefusedTokens.append(mHandedOutToken);
        if (mRefusedTokens.size() > MaxRefusedTokens)
            mRefusedTokens.removeFirst();
    }

    const Snapshot snapshot = readFile();
    // A stored token that cannot go into a request header is never handed out.
    const bool storedForm = Qn::QuillnetConfiguration::isUsableAccessToken(snapshot.accessToken);
    const bool storedUsable = storedForm && !mRefusedTokens.contains(snapshot.accessToken);
    if (storedUsable && !request.forceNew) {
        finishLogin(snapshot.accessToken, true);
        return;
    }
    if (!snapshot.refreshToken.isEmpty()) {
        if (!snapshot.accessToken.isEmpty() && !storedForm)
            qCDebug(lcDaemon) << Q_FUNC_INFO << "the stored access token is not usable; asking for a new one";
        const QUrl url = snapshot.serviceUrl.isEmpty() ? QUrl() : QUrl(snapshot.serviceUrl, QUrl::StrictMode);
        if (url.isEmpty()) {
            qCWarning(lcDaemon) << Q_FUNC_INFO << mFilePath << "has a refresh token but no usable service_url";
            finishLogin(QString(), false, false, QStringLiteral("the account file has no usable service_url"));
            return;
        }
        exchangeRefreshToken(request, url, snapshot.refreshToken);
        return;
    }
    // Without a refresh token a forced login can only offer an access token written since.
    if (storedUsable) {
        finishLogin(snapshot.accessToken, true);
        return;
    }
    const QString why = snapshot.accessToken.isEmpty() ? QStringLiteral("no refresh token, no access token")
            : !storedForm
            ? QStringLiteral("no refresh token; the stored access token of %1 characters is not usable in "
                             "a request header: printable ASCII without blanks, at most %2 characters")
                      .arg(snapshot.accessToken.size())
                      .arg(Qn::QuillnetConfiguration::MaxAccessTokenLength)
            : QStringLiteral("no refresh token; the stored access token was refused");
    qCWarning(lcDaemon).noquote() << Q_FUNC_INFO << "no usable credential in" << mFilePath << "(" + why + ")";
    finishLogin(QString(), false, false, QStringLiteral("no usable credential in the account file: ") + why);
}

void AccountIntegration::exchangeRefreshToken(const LoginRequest &request, const QUrl &serviceUrl,
                                              const QString &refreshToken)
{
    const QUrl url = Support::withPath(serviceUrl, QStringLiteral("/oauth/token"));

    QNetworkRequest networkRequest(url);
    networkRequest.setHeader(QNetworkRequest::ContentTypeHeader,
                             QByteArrayLiteral("application/x-www-form-urlencoded"));
    networkRequest.setRawHeader("Accept", "application/json");
    networkRequest.setRawHeader("User-Agent", "quillnet-daemon");
    // The credential must not follow a redirect to another place.
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    networkRequest.setTransferTimeout(mTokenRequestTimeout);

    auto field = [](const char *name, const QString &value) {
        return QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
    };
    const QByteArray form = field("grant_type", QStringLiteral("refresh_token")) + '&'
            + field("refresh_token", refreshToken) + '&' + field("client_id", request.applicationId) + '&'
            + field("client_secret", request.applicationSecret);

    qCDebug(lcDaemon) << Q_FUNC_INFO << "asking" << Support::logText(url.toString(QUrl::RemoveUserInfo))
                      << "for an access token";
    QNetworkReply *reply = network()->post(networkRequest, form);
    mTokenReplies.append(reply);
    connect(reply, &QObject::destroyed, this, [this, reply]() { mTokenReplies.removeOne(reply); });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > MaxTokenAnswerSize || total > MaxTokenAnswerSize) {
            reply->setProperty("tooLarge", true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply]() { onTokenReply(reply); });
}

void AccountIntegration::onTokenReply(QNetworkReply *reply)
{
    mTokenReplies.removeOne(reply);
    reply->deleteLater();
    const QString url = Support::logText(reply->url().toString(QUrl::RemoveUserInfo));
    // An abandoned request (too big, out of time) may have left its connection in a read that
    // never ends; see floodedconnections.h.
    if (reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError)
        Qn::closeFloodedConnections(reply->url());
    if (reply->property("tooLarge").toBool()) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "the answer of" << url << "is larger than" << MaxTokenAnswerSize
                            << "bytes";
        finishLogin(QString(), false, false, QStringLiteral("the token endpoint's answer is too large"));
        return;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool success = status >= 200 && status < 300;
    // No status, or a success status with a transport error (cut off, timed out): no usable answer.
    if (status == 0 || (success && reply->error() != QNetworkReply::NoError)) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "token request to" << url << "failed:" << reply->errorString();
        finishLogin(QString(), false, false, QStringLiteral("the token request failed: ") + reply->errorString());
        return;
    }

    const TokenAnswer answer = readTokenAnswer(status, reply->read(MaxTokenAnswerSize), url);
    finishLogin(answer.accessToken, answer.loginOk, answer.canceled, answer.error);
}

AccountIntegration::TokenAnswer AccountIntegration::readTokenAnswer(int status, const QByteArray &body,
                                                                    const QString &url)
{
    const QJsonObject answer = QJsonDocument::fromJson(body.left(MaxTokenAnswerSize)).object();
    if (status >= 200 && status < 300) {
        const QJsonValue token = answer.value(QStringLiteral("access_token"));
        const QString text = token.toString();
        if (!token.isString() || !Qn::QuillnetConfiguration::isUsableAccessToken(text)) {
            qCWarning(lcDaemon) << Q_FUNC_INFO << "the answer of" << url << "holds no usable access token";
            if (token.isString())
                qCDebug(lcDaemon) << Q_FUNC_INFO << "a text of" << text.size() << "characters; at most"
                                  << Qn::QuillnetConfiguration::MaxAccessTokenLength
                                  << "printable ASCII without blanks fit";
            return {QString(), false, false,
                    QStringLiteral("the token endpoint's answer holds no usable access token")};
        }
        qCDebug(lcDaemon) << Q_FUNC_INFO << "got an access token";
        return {text, true, false, QString()};
    }

    // The OAuth 2.0 error form: {"error": "...", "error_description": "..."}.
    const QString error = Support::logText(answer.value(QStringLiteral("error")).toString());
    const QString description = Support::logText(answer.value(QStringLiteral("error_description")).toString());
    if (error == QLatin1String("access_denied")) {
        qCDebug(lcDaemon) << Q_FUNC_INFO << "the login was canceled:" << description;
        return {QString(), false, true, QStringLiteral("the sign-in was refused (access_denied)")};
    }
    qCWarning(lcDaemon) << Q_FUNC_INFO << "the token endpoint refused the login: HTTP" << status
                        << (error.isEmpty() ? QStringLiteral("(no error code)") : error) << description;
    return {QString(), false, false,
            QStringLiteral("the token endpoint refused the login: HTTP %1 %2 %3")
                    .arg(QString::number(status), error.isEmpty() ? QStringLiteral("(no error code)") : error,
                         description)
                    .trimmed()};
}

void AccountIntegration::finishLogin(const QString &accessToken, bool loginOk, bool canceled, const QString &error)
{
    if (loginOk)
        mHandedOutToken = accessToken;
    mLastLoginCanceled = canceled;
    mLastLoginError = loginOk ? QString() : error;
    emit loginResponse(accessToken, loginOk);
}

bool AccountIntegration::wasLoginCanceled() const
{
    return mLastLoginCanceled;
}

void AccountIntegration::loginCanceledTooOften()
{
    qCWarning(lcDaemon) << Q_FUNC_INFO << "logins were canceled too often; no further login is asked for";
    mCanceledTooOften = true;
}
