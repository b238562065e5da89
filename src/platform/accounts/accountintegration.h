// The Quillnet account of this user session: validity, enabled state, settings switches, services
// and login. Backed by one INI file (see README, "The account file"); tests may subclass it and hand
// their object to QnVeldo::QnFactoryVeldo.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

class QFileSystemWatcher;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class AccountIntegration : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AccountIntegration)

public:
    // The default file: $XDG_CONFIG_HOME/quillnet/account.conf (XDG_CONFIG_HOME defaults to ~/.config).
    static QString defaultFilePath();

    // What a sign-in puts into a new account file; the account is enabled.
    struct NewAccount
    {
        QString name;
        QUrl serviceUrl;
        QString refreshToken;
        QMap<QString, bool> services;
        QMap<QString, bool> settings;
    };
    // Writes the file in the form readFile() reads, atomically (a reader sees the old file or the
    // new one, never a part) and for the user alone (0600, missing folders 0700). False with the
    // reason in *error when a value cannot be stored or the file cannot be written; the file at
    // path is then as it was.
    static bool writeAccountFile(const QString &path, const NewAccount &account, QString *error);

    explicit AccountIntegration(const QString &filePath = defaultFilePath(), QObject *parent = nullptr);
    ~AccountIntegration() override;

    QString filePath() const;

    // The file exists, has a name and has a credential (refresh or access token). Like
    // isAccountEnabled(), it logs its reasons at debug level only: a daemon without a usable
    // account ends quietly.
    virtual bool isValidAccount() const;
    // The file says enabled=true.
    virtual bool isAccountEnabled() const;
    virtual QString accountName() const;
    // Only keys present in the file (with a readable boolean) are answered.
    virtual QMap<QString, bool> settings(const QStringList &keys) const;
    // Starts watching the file; each watched key whose value changes is reported by settingsChanged.
    // Editors and failing writers leave moments in which the file reads empty, garbled or
    // incomplete: only a file that reads cleanly (a name, a credential and an enabled key) changes
    // the state, only enabled=false disables the account and only the file's absence removes it.
    virtual void watchSettings(const QStringList &keys);
    virtual bool isServiceEnabled(const QString &name) const;
    // The service's base address (account/service_url); empty when missing or not an http(s) address.
    virtual QUrl serviceUrl() const;

    // Asks for an access token. Always answered later, after this call has returned, by exactly one
    // loginResponse per call. Where the token comes from:
    // - a stored access_token is handed out as it is, unless this object handed it out before and a
    //   forced login has since said that the service refused it;
    // - otherwise, or when forceNew is set, the refresh_token is exchanged at the service's token
    //   endpoint (<service_url>/oauth/token, OAuth 2.0 refresh token grant with the application id
    //   and secret); forceNew never answers with a token handed out before.
    // interactive says whether the user may be asked to confirm. This account has no dialog, so it
    // changes nothing here and is only logged; the service may still refuse for the user
    // (access_denied), which counts as a canceled login either way. The scope is not used.
    // A token that Qn::QuillnetConfiguration::isUsableAccessToken() refuses, stored or answered,
    // is never handed out: it fails the login with a warning.
    virtual void login(const QString &applicationId, const QString &scope, const QString &applicationSecret,
                       bool forceNew, bool interactive);
    // True when the last answered login was refused by the user (the token endpoint's access_denied).
    virtual bool wasLoginCanceled() const;
    // Why the last answered login failed, for a person; empty after a successful one.
    QString lastLoginError() const { return mLastLoginError; }
    // Told when the user canceled logins too often; the account stops asking until the next login.
    virtual void loginCanceledTooOften();

    // How long a token request may go without progress before it fails (default 30 s).
    void setTokenRequestTimeout(int milliseconds);
    // The process's network access manager for token requests. Not owned; without one (or once it
    // is deleted) the account makes its own.
    void setNetworkAccessManager(QNetworkAccessManager *manager);
    static constexpr int DefaultTokenRequestTimeout = 30000;
    // Token answers are a few hundred bytes; a longer one is not read and fails the login.
    static constexpr qint64 MaxTokenAnswerSize = 64 * 1024;

    struct TokenAnswer
    {
        QString accessToken;
        bool loginOk = false;
        bool canceled = false;
        // Why there is no token.
        QString error;
    };
    // What the token endpoint's answer (HTTP status and body) says: a usable access token, the
    // user's refusal (access_denied), or a failed login. url only names the endpoint in log lines.
    static TokenAnswer readTokenAnswer(int status, const QByteArray &body, const QString &url);

signals:
    void loginResponse(QString accessToken, bool loginOk);
    void accountDisabled();
    void accountRemoved();
    void serviceEnabled(QString name);
    void serviceDisabled(QString name);
    void settingsChanged(QString name, bool value);

protected:
    // What the file holds at one moment; a missing file reads as an empty snapshot.
    struct Snapshot
    {
        // Why the file is no usable account (unreadable, no name, no credential); empty when it is.
        QString invalidReason() const;

        bool exists = false;
        // False when the file exists but could not be read (too big, not a file, unreadable, bad
        // syntax): such a file is no account, and while watching it changes nothing.
        bool readable = false;
        QString name;
        bool enabled = false;
        // The file has an enabled key with a boolean value.
        bool enabledKnown = false;
        QString serviceUrl;
        QString refreshToken;
        QString accessToken;
        QMap<QString, bool> services;
        QMap<QString, bool> settings;
    };
    // Problems found in the file are warned about once per content of the file (every call reads
    // it again), and only at debug level when quiet.
    Snapshot readFile(bool quiet = false) const;

private slots:
    void onFileChanged();

private:
    struct LoginRequest
    {
        QString applicationId;
        QString scope;
        QString applicationSecret;
        bool forceNew = false;
        bool interactive = false;
    };

    QNetworkAccessManager *network();
    void rewatch();
    // Works out the answer to one login request and hands it to finishLogin().
    void requestAccessToken(const LoginRequest &request);
    void exchangeRefreshToken(const LoginRequest &request, const QUrl &serviceUrl, const QString &refreshToken);
    void onTokenReply(QNetworkReply *reply);
    void finishLogin(const QString &accessToken, bool loginOk, bool canceled = false, const QString &error = {});

    QString mFilePath;
    QFileSystemWatcher *mWatcher = nullptr;
    // Editors write in several steps (truncate, write, rename): the file is read once it is quiet.
    QTimer *mSettleTimer = nullptr;
    QStringList mWatchedKeys;
    Snapshot mLast;
    bool mLastLoginCanceled = false;
    QString mLastLoginError;
    bool mCanceledTooOften = false;
    // The token of the last successful login: a forced new login must not hand it out again.
    QString mHandedOutToken;
    // Tokens that forced logins reported refused (a few; older ones are forgotten).
    QStringList mRefusedTokens;
    QPointer<QNetworkAccessManager> mNetwork;
    // Token requests in flight: a manager that outlives this object must not answer them.
    QList<QNetworkReply *> mTokenReplies;
    int mTokenRequestTimeout = DefaultTokenRequestTimeout;
    // Identity (content hash, or size and time) of the file whose problems were last warned about.
    mutable QByteArray mReportedFile;
};
