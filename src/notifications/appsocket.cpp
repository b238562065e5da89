#include "notifications/appsocket.h"

#include <QByteArray>
#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/constants.h"
#include "platform/support/logtext.h"
#include "platform/support/boundedreader.h"
#include "platform/support/logging.h"

namespace {

QString readFilePath()
{
    return QDir::homePath() + QDir::separator() + QLatin1String(AppSocket::ReadFileDir) + QDir::separator()
            + QLatin1String(AppSocket::ReadFileName);
}

} // namespace

AppSocket::AppSocket(QObject *parent)
    : QObject(parent)
    , m_server(new QLocalServer(this))
{
    listen();
    connect(m_server, &QLocalServer::newConnection, this, &AppSocket::socketNewConnection);
}

AppSocket::~AppSocket()
{
    unlisten();
}

bool AppSocket::isListening() const
{
    return m_server->isListening();
}

QString AppSocket::view() const
{
    if (m_client && m_client->isValid() && m_client->state() == QLocalSocket::ConnectedState)
        return m_clientView;
    return QString();
}

void AppSocket::listen()
{
    const QString path = QLatin1String(SocketPath);
    const QByteArray name = QFile::encodeName(path);
    struct stat entry;
    if (::lstat(name.constData(), &entry) == 0) {
        // Another user's entry, or anything but a socket, is not ours to remove.
        if (!S_ISSOCK(entry.st_mode) || entry.st_uid != ::geteuid()) {
            qCWarning(lcNotifications) << Q_FUNC_INFO << path
                                       << "is not a socket of this user: left alone, no socket served";
            return;
        }
        qCDebug(lcNotifications) << "Clearing up old socket";
        if (::unlink(name.constData()) != 0 && errno != ENOENT) {
            qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot remove the old socket" << path << ::strerror(errno);
            return;
        }
    } else if (errno != ENOENT) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot check" << path << ::strerror(errno)
                                   << "- no socket served";
        return;
    }
    // The socket is made under a name of this process's own and renamed into place: the server then
    // knows it by that name alone, so closing it never removes a socket another daemon put at the
    // path since; this handler removes the path itself, only while it still names its socket.
    const QByteArray own = name + '.' + QByteArray::number(qint64(::getpid()));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(own.size()) >= sizeof address.sun_path) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "The socket path is too long:" << path;
        return;
    }
    std::memcpy(address.sun_path, own.constData(), size_t(own.size()));
    ::unlink(own.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct stat made;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::chmod(own.constData(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0
        || ::rename(own.constData(), name.constData()) != 0 || ::lstat(name.constData(), &made) != 0) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Failed to listen on" << path << ::strerror(errno);
        ::unlink(own.constData());
        if (fd >= 0)
            ::close(fd);
        return;
    }
    if (!m_server->listen(fd)) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Failed to listen on" << path << m_server->errorString();
        ::unlink(name.constData());
        ::close(fd);
        return;
    }
    m_socketFile = {made.st_dev, made.st_ino};
}

void AppSocket::unlisten()
{
    struct stat entry;
    const QByteArray name = QFile::encodeName(QLatin1String(SocketPath));
    if (m_socketFile && ::lstat(name.constData(), &entry) == 0 && entry.st_dev == m_socketFile->first
        && entry.st_ino == m_socketFile->second)
        ::unlink(name.constData());
    m_socketFile.reset();
}

void AppSocket::socketNewConnection()
{
    qCDebug(lcNotifications) << Q_FUNC_INFO;
    if (m_client) {
        qCDebug(lcNotifications) << "killing the old client, byebye! :)";
        delete m_client;
        m_client = nullptr;
    }
    qCDebug(lcNotifications) << Q_FUNC_INFO << "Next pending connection";
    m_client = m_server->nextPendingConnection();
    qCDebug(lcNotifications) << Q_FUNC_INFO << "m_client:" << m_client;
    if (!m_client)
        return;
    // Whatever a client sends beyond this stays in the socket until it is read.
    m_client->setReadBufferSize(SocketReadBufferBytes);
    connect(m_client, &QLocalSocket::readyRead, this, &AppSocket::readSocket);
    connect(m_client, &QLocalSocket::disconnected, this, [this] { emit viewChanged(false, QString()); });
    emit viewChanged(true, m_clientView);
}

void AppSocket::readSocket()
{
    qCDebug(lcNotifications) << Q_FUNC_INFO;
    if (!m_client)
        return;
    const SocketCommand command = readCommand(*m_client);
    qCDebug(lcNotifications) << "Read from socket:" << Support::logText(command.text);
    if (command.markRead) {
        const QStringList ids = takeReadIds();
        qCDebug(lcNotifications) << Q_FUNC_INFO << ids.size();
        if (!ids.isEmpty())
            emit idsRead(ids);
        return;
    }
    if (!command.clearedEventType.isEmpty())
        emit kindShown(command.clearedEventType);
    m_clientView = command.view;
    emit viewChanged(true, m_clientView);
}

AppSocket::SocketCommand AppSocket::readCommand(QIODevice &device)
{
    SocketCommand command;
    const QByteArray line = device.readLine(MaxCommandBytes + 1);
    // Up to the first zero byte.
    command.text = QString::fromLatin1(line.constData());
    if (const Constants::NotificationKind *kind
        = Constants::findKind(&Constants::NotificationKind::socketCommand, command.text)) {
        command.clearedEventType = kind->eventType;
        command.view = kind->typeKey;
    } else if (command.text == QLatin1String("markReadNtf")) {
        command.markRead = true;
    } else {
        command.view = command.text;
    }
    return command;
}

// Every count and length is checked against the bytes that are there before anything is sized
// from it.
std::optional<QStringList> AppSocket::parseReadIds(const QByteArray &data, QString *problem)
{
    QDataStream in(data);
    Support::BoundedReader reader(in);
    QStringList ids;
    if (!reader.readStringList(&ids, MaxReadFileBytes / 4, MaxReadFileBytes / 2) || !reader.expectEnd()) {
        *problem = reader.problem();
        return std::nullopt;
    }
    return ids;
}

QStringList AppSocket::takeReadIds()
{
    const QString path = readFilePath();
    const QByteArray name = QFile::encodeName(path);
    const auto discard = [&](const QString &problem) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Ignoring" << path << problem;
        if (::unlink(name.constData()) != 0 && errno != ENOENT)
            qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot remove" << path << ::strerror(errno);
    };

    // Neither a link nor a pipe is followed or waited for.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            discard(QString::fromLocal8Bit(::strerror(errno)));
        return {};
    }
    struct stat info;
    QByteArray data;
    QString problem;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = QStringLiteral("not a regular file");
    } else if (info.st_size > MaxReadFileBytes) {
        problem = QStringLiteral("larger than %1 bytes").arg(MaxReadFileBytes);
    } else {
        // One byte more than the file holds tells whether it grew while it was read.
        data.resize(qsizetype(info.st_size) + 1);
        qsizetype size = 0;
        while (size < data.size()) {
            const ssize_t got = ::read(fd, data.data() + size, size_t(data.size() - size));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                if (got < 0)
                    problem = QString::fromLocal8Bit(::strerror(errno));
                break;
            }
            size += got;
        }
        data.truncate(size);
        if (problem.isEmpty() && size != qsizetype(info.st_size))
            problem = QStringLiteral("changed while it was read");
    }
    ::close(fd);
    if (!problem.isEmpty()) {
        discard(problem);
        return {};
    }

    const std::optional<QStringList> ids = parseReadIds(data, &problem);
    if (!ids) {
        discard(problem);
        return {};
    }
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Cannot remove" << path << ::strerror(errno);
    return *ids;
}
