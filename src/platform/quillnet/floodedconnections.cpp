#include "platform/quillnet/floodedconnections.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QHostAddress>
#include <QHostInfo>
#include <QUrl>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/support/logtext.h"
#include "platform/support/logging.h"

namespace Qn {

namespace {

// A connected TCP socket to one of peers at port with bytes waiting to be read.
bool isFlooded(int fd, const QList<QHostAddress> &peers, int port)
{
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
        return false;
    int type = 0;
    socklen_t typeSize = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeSize) != 0 || type != SOCK_STREAM)
        return false;
    sockaddr_storage peer;
    socklen_t peerSize = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) != 0)
        return false;
    int peerPort = -1;
    if (peer.ss_family == AF_INET)
        peerPort = ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
        peerPort = ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
    if (peerPort != port)
        return false;
    const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
    bool known = false;
    for (const QHostAddress &candidate : peers)
        known = known || candidate.isEqual(address, QHostAddress::TolerantConversion);
    int unread = 0;
    return known && ::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0;
}

} // namespace

int shutDownFloodedConnections(const QList<QHostAddress> &peers, int port)
{
    if (peers.isEmpty())
        return 0;
    int count = 0;
    const QStringList descriptors
            = QDir(QStringLiteral("/proc/self/fd"))
                      .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : descriptors) {
        bool isNumber = false;
        const int fd = name.toInt(&isNumber);
        if (!isNumber)
            continue;
        // The network thread may close the descriptor, and a new one take its number, at any
        // moment: the copy pins one socket, so that what is checked is what is shut down.
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            continue;
        if (isFlooded(copy, peers, port) && ::shutdown(copy, SHUT_RDWR) == 0)
            ++count;
        ::close(copy);
    }
    return count;
}

void closeFloodedConnections(const QUrl &url)
{
    const QString host = url.host();
    const int port = url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80);
    if (host.isEmpty())
        return;
    const auto shutDown = [host, port](const QList<QHostAddress> &peers) {
        const int count = shutDownFloodedConnections(peers, port);
        if (count > 0)
            qCWarning(lcClient) << "Qn::closeFloodedConnections"
                                << "ended" << count << "connection(s) to" << Support::logText(host) << port
                                << "still sending after their request was abandoned";
    };
    QHostAddress literal;
    if (literal.setAddress(host)) {
        shutDown({literal});
        return;
    }
    if (QCoreApplication *application = QCoreApplication::instance())
        QHostInfo::lookupHost(host, application, [shutDown](const QHostInfo &info) { shutDown(info.addresses()); });
}

} // namespace Qn
