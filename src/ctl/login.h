// `quillnetctl login`: signs the user in to the service in the browser, with the OAuth 2.0
// authorization-code flow and PKCE (RFC 6749, RFC 7636, loopback redirect of RFC 8252), and writes
// the account file the daemon reads. Nothing is written unless the sign-in succeeds.
#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>

#include <functional>

class QNetworkRequest;
class QTcpSocket;
class QTextStream;

namespace Ctl {

class Login : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Login)

public:
    static constexpr int DefaultTimeout = 5 * 60 * 1000;
    // The largest answer of the service and request of the browser that are read.
    static constexpr qint64 MaxAnswerSize = 64 * 1024;
    static constexpr int MaxRequestHead = 8 * 1024;

    struct Options
    {
        QUrl serviceUrl;
        quint16 port = 0; // 0: a free one
        bool openBrowser = true;
        int timeout = DefaultTimeout; // ms
        QString accountFile;
    };

    // out takes the address to open and the result, err the reasons of a failure.
    Login(const Options &options, QTextStream *out, QTextStream *err, QObject *parent = nullptr);
    ~Login() override;

    // Listens for the redirect and prints "open <url>". False, with the reason printed, when the
    // port cannot be had; otherwise finished() follows.
    bool start();

signals:
    void finished(int exitCode);

private:
    void onConnection();
    void onRequest(QTcpSocket *socket, const QByteArray &head);
    void exchangeCode(const QString &code);
    void fetchAccountName(const QString &accessToken, const QString &refreshToken);
    void writeAccount(const QString &name, const QString &refreshToken);
    // Sends the request (with form as a POST body when not empty) and hands over the status and
    // body, or status 0 and the transport's error.
    void send(QNetworkRequest request, const QByteArray &form,
              const std::function<void(int status, const QByteArray &body, const QString &error)> &done);
    // Ends the sign-in: the message on out (success) or err, and a page for the waiting browser.
    void finish(int exitCode, const QString &message);

    Options mOptions;
    QTextStream *mOut;
    QTextStream *mErr;
    QTcpServer mServer;
    QNetworkAccessManager mNetwork;
    QTimer mTimeout;
    QString mRedirectUri;
    QString mState;
    QString mVerifier;
    // The browser that brought the code, answered once the account is written.
    QPointer<QTcpSocket> mBrowser;
    bool mAnswered = false;
    bool mDone = false;
};

// The login command: arguments as the program got them (program name first, then "login" and its
// options). Returns the exit code: 0 signed in, 1 not signed in, 2 wrong usage.
int runLogin(const QStringList &arguments);

} // namespace Ctl
