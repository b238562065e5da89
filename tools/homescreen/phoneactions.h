// What a person on the phone does beyond the home screen's own services: opens a view of the
// Quillnet app (the app's local socket to the daemon), marks notifications read (the read file and
// the socket command), taps a feed item (the remote action the item carries) and asks the daemon to
// sync (its control interface). Every action reports one line of text.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <sys/types.h>

class QLocalSocket;

namespace HomeScreen {

class PhoneActions : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PhoneActions)

public:
    static constexpr char DefaultSocketPath[] = "/tmp/quillnetveldo.sock";
    // Views the app reports: the kinds whose notifications it shows, or "home" for none.
    static const QStringList Views;
    // Ids one markRead call takes, and their length.
    static constexpr int MaxReadIds = 100;
    static constexpr int MaxIdLength = 64;
    // How long a socket write may wait for the daemon, in ms.
    static constexpr int SocketTimeoutMs = 1000;

    // readFile empty: ~/.quillnet/markReadNtf.
    explicit PhoneActions(const QString &socketPath = QLatin1String(DefaultSocketPath),
                          const QString &readFile = QString(), QObject *parent = nullptr);
    ~PhoneActions() override;

    // Each returns the empty text when the action was carried out (or sent), otherwise why not, which
    // is warned about too.

    // The app shows view: its name goes over the socket, which stays connected while the app is
    // "open"; "home" closes the connection, as an app that goes to the background does.
    QString openView(const QString &view);
    // Writes ids to the read file and tells the daemon over the socket.
    QString markRead(const QStringList &ids);
    // Triggers the remote action in its text form (a feed item's "action").
    QString triggerAction(const QString &action);
    // Calls sync on the daemon's control interface, without waiting for it to finish.
    QString sync();

    QString readFile() const { return mReadFile; }
    // Whose socket the commands go to: the daemon runs as this user, so by default this process's
    // uid. A socket whose listener is anyone else gets nothing.
    void setDaemonUid(uid_t uid) { mDaemonUid = uid; }
    // The view the app reports now, "home" when it is not connected.
    QString currentView() const { return mView; }

signals:
    // "openView-sent ...", "mark-read 3", "sync-sent", "action-sent ...", "sync-error ...".
    void changeReported(const QString &line);

private:
    // Connected when needed; empty on success.
    QString write(const QByteArray &command);
    QString fail(const QString &why);

    const QString mSocketPath;
    const QString mReadFile;
    QLocalSocket *mSocket = nullptr;
    uid_t mDaemonUid;
    QString mView = QStringLiteral("home");
};

} // namespace HomeScreen
