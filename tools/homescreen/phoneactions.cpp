#include "homescreen/phoneactions.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSaveFile>
#include <QtDebug>

#include <sys/socket.h>
#include <unistd.h>

#include "homescreen/itemtext.h"
#include "platform/notifications/mremoteaction.h"

namespace HomeScreen {

namespace {

// The ids the service gives notifications: letters, digits, "_", "-", ".", ":".
bool isNotificationId(const QString &id)
{
    if (id.isEmpty() || id.size() > PhoneActions::MaxIdLength)
        return false;
    for (const QChar ch : id) {
        if (!(ch.isLetterOrNumber() && ch.unicode() < 128) && ch != QLatin1Char('_') && ch != QLatin1Char('-')
            && ch != QLatin1Char('.') && ch != QLatin1Char(':'))
            return false;
    }
    return true;
}

} // namespace

const QStringList PhoneActions::Views
        = {QStringLiteral("notif"), QStringLiteral("messages"), QStringLiteral("friendreq"), QStringLiteral("home")};

PhoneActions::PhoneActions(const QString &socketPath, const QString &readFile, QObject *parent)
    : QObject(parent)
    , mSocketPath(socketPath)
    , mReadFile(readFile.isEmpty() ? QDir::homePath() + QStringLiteral("/.quillnet/markReadNtf") : readFile)
    , mDaemonUid(geteuid())
{}

PhoneActions::~PhoneActions() = default;

QString PhoneActions::fail(const QString &why)
{
    qWarning().noquote() << why;
    return why;
}

QString PhoneActions::write(const QByteArray &command)
{
    if (!mSocket) {
        mSocket = new QLocalSocket(this);
        // A daemon that goes away takes the app's view with it; the next action connects again.
        connect(mSocket, &QLocalSocket::disconnected, this, [this] { mView = QStringLiteral("home"); });
    }
    if (mSocket->state() != QLocalSocket::ConnectedState) {
        mSocket->abort();
        mSocket->connectToServer(mSocketPath);
        if (!mSocket->waitForConnected(SocketTimeoutMs))
            return fail(QStringLiteral("no daemon listens on %1: %2").arg(mSocketPath, mSocket->errorString()));
        // Anyone may put a socket at a path in /tmp: the user's views and read commands go only to a
        // listener of the daemon's user.
        ucred peer {};
        socklen_t size = sizeof peer;
        const bool known = getsockopt(int(mSocket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
                && size == sizeof peer;
        if (!known || peer.uid != mDaemonUid) {
            mSocket->abort();
            if (!known)
                return fail(QStringLiteral("the socket %1 does not tell whose it is").arg(mSocketPath));
            return fail(QStringLiteral("the socket %1 belongs to uid %2, not to the daemon's user %3")
                                .arg(mSocketPath)
                                .arg(peer.uid)
                                .arg(mDaemonUid));
        }
    }
    // One write is one command: each goes out on its own before the next is written.
    mSocket->write(command);
    if (!mSocket->waitForBytesWritten(SocketTimeoutMs) && mSocket->bytesToWrite() > 0)
        return fail(QStringLiteral("the command %1 did not reach the daemon").arg(QString::fromLatin1(command)));
    return QString();
}

QString PhoneActions::openView(const QString &view)
{
    if (!Views.contains(view))
        return fail(QStringLiteral("openView: %1 is not one of %2").arg(quoted(view), Views.join(QLatin1Char(' '))));
    if (view == QLatin1String("home")) {
        if (mSocket)
            mSocket->disconnectFromServer();
        mView = view;
        emit changeReported(QStringLiteral("app-view \"home\""));
        return QString();
    }
    const QString why = write(view.toLatin1());
    if (!why.isEmpty())
        return why;
    mView = view;
    emit changeReported(QStringLiteral("app-view %1").arg(quoted(view)));
    return QString();
}

QString PhoneActions::markRead(const QStringList &ids)
{
    if (ids.isEmpty() || ids.size() > MaxReadIds)
        return fail(QStringLiteral("markRead: 1 to %1 ids, not %2").arg(MaxReadIds).arg(ids.size()));
    for (const QString &id : ids) {
        if (!isNotificationId(id))
            return fail(QStringLiteral("markRead: %1 is not a notification id").arg(quoted(id)));
    }
    if (!QDir().mkpath(QFileInfo(mReadFile).absolutePath()))
        return fail(QStringLiteral("markRead: cannot make the folder of %1").arg(mReadFile));
    QSaveFile file(mReadFile);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("markRead: cannot write %1: %2").arg(mReadFile, file.errorString()));
    QDataStream out(&file);
    out << ids;
    if (!file.commit())
        return fail(QStringLiteral("markRead: cannot write %1: %2").arg(mReadFile, file.errorString()));
    const QString why = write(QByteArrayLiteral("markReadNtf"));
    if (!why.isEmpty())
        return why;
    emit changeReported(QStringLiteral("mark-read %1").arg(ids.size()));
    return QString();
}

QString PhoneActions::triggerAction(const QString &action)
{
    MRemoteAction remote(action);
    if (remote.toString().isEmpty() || !remote.trigger())
        return fail(QStringLiteral("the action %1 is not a remote action").arg(quoted(action)));
    // Service, path, interface and method: the arguments are opaque bytes.
    emit changeReported(QStringLiteral("action-sent %1").arg(quoted(action.section(QLatin1Char(' '), 0, 3))));
    return QString();
}

QString PhoneActions::sync()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("com.tarvo.quillnetveldo"), QStringLiteral("/quillnetveldo"),
            QStringLiteral("com.tarvo.quillnetveldo"), QStringLiteral("sync"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("sync: no session bus"));
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        if (watcher->isError()) {
            qWarning().noquote() << "sync:" << quoted(watcher->error().message());
            emit changeReported(QStringLiteral("sync-error %1").arg(quoted(watcher->error().message())));
        }
    });
    emit changeReported(QStringLiteral("sync-sent"));
    return QString();
}

} // namespace HomeScreen
