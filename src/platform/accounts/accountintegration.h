// The Quillnet account of this user session: validity, enabled state, settings switches, services
// and login. Backed by one INI file (see README, "The account file"); tests may subclass it and hand
// their object to QnVeldo::QnFactoryVeldo.
#pragma once

#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;

class AccountIntegration : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AccountIntegration)

public:
    // The default file: $XDG_CONFIG_HOME/quillnet/account.conf (XDG_CONFIG_HOME defaults to ~/.config).
    static QString defaultFilePath();

    explicit AccountIntegration(const QString& filePath = defaultFilePath(), QObject* parent = nullptr);
    ~AccountIntegration() override;

    QString filePath() const;

    // The file exists, has a name and has a credential (refresh or access token).
    virtual bool isValidAccount() const;
    virtual bool isAccountEnabled() const;
    virtual QString accountName() const;
    // Only keys present in the file (with a readable boolean) are answered.
    virtual QMap<QString, bool> settings(const QStringList& keys) const;
    // Starts watching the file; each watched key whose value changes is reported by settingsChanged.
    virtual void watchSettings(const QStringList& keys);
    virtual bool isServiceEnabled(const QString& name) const;

    // Asks for an access token. Always answered later by exactly one loginResponse.
    virtual void login(const QString& applicationId, const QString& scope, const QString& applicationSecret,
                       bool forceNew, bool interactive);
    // True when the last login was refused by the user.
    virtual bool wasLoginCanceled() const;
    // Told when the user canceled logins too often; the account stops asking until the next login.
    virtual void loginCanceledTooOften();

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
        bool exists = false;
        // False when the file exists but could not be read (too big, not a file, unreadable, bad
        // syntax): such a file is no account, and while watching it changes nothing.
        bool readable = false;
        QString name;
        bool enabled = false;
        QString serviceUrl;
        QString refreshToken;
        QString accessToken;
        QMap<QString, bool> services;
        QMap<QString, bool> settings;
    };
    Snapshot readFile() const;

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

    void rewatch();
    // Works out the answer to one login request and hands it to finishLogin().
    void requestAccessToken(const LoginRequest& request);
    void finishLogin(const QString& accessToken, bool loginOk);

    QString mFilePath;
    QFileSystemWatcher* mWatcher = nullptr;
    // Editors write in several steps (truncate, write, rename): the file is read once it is quiet.
    QTimer* mSettleTimer = nullptr;
    QStringList mWatchedKeys;
    Snapshot mLast;
    bool mLastLoginCanceled = false;
    bool mCanceledTooOften = false;
    // The token of the last successful login: a forced new login must not hand it out again.
    QString mHandedOutToken;
};
