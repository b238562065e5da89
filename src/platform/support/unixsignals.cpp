#include "platform/support/unixsignals.h"
#include "platform/support/logging.h"

#include <QSocketNotifier>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Support {

namespace {

// [0] is written by the handler, [1] read on the event loop.
int sFds[2] = {-1, -1};

void onSignal(int signalNumber)
{
    // Only async-signal-safe calls here. A full socket drops the byte: the same signal is
    // already waiting to be read.
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(sFds[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignals::UnixSignals(const QList<int> &signalNumbers, QObject *parent)
    : QObject(parent)
{
    if (sFds[0] != -1) {
        qCWarning(lcDaemon, "UnixSignals: another object handles signals already");
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sFds) != 0) {
        qCWarning(lcDaemon, "UnixSignals: no socket pair: %s", strerror(errno));
        sFds[0] = sFds[1] = -1;
        return;
    }
    mNotifier = new QSocketNotifier(sFds[1], QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, &UnixSignals::onReadable);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : signalNumbers) {
        if (::sigaction(number, &action, nullptr) == 0)
            mSignals << number;
        else
            qCWarning(lcDaemon, "UnixSignals: cannot handle signal %d: %s", number, strerror(errno));
    }
}

UnixSignals::~UnixSignals()
{
    for (const int number : std::as_const(mSignals))
        ::signal(number, SIG_DFL);
    if (mNotifier) {
        delete mNotifier;
        ::close(sFds[0]);
        ::close(sFds[1]);
        sFds[0] = sFds[1] = -1;
    }
}

void UnixSignals::onReadable()
{
    unsigned char bytes[64];
    const ssize_t count = ::read(sFds[1], bytes, sizeof bytes);
    for (ssize_t i = 0; i < count; ++i)
        emit received(bytes[i]);
}

} // namespace Support
