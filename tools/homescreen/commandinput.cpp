#include "homescreen/commandinput.h"

#include <QSocketNotifier>
#include <QStringList>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "homescreen/contactsview.h"
#include "homescreen/eventfeedservice.h"
#include "homescreen/itemtext.h"
#include "homescreen/notificationserver.h"

namespace HomeScreen {

namespace {

const char Usage[] = "commands: tap <id>, close <id>, refresh, contacts";

} // namespace

CommandInput::CommandInput(EventFeedService *feed, NotificationServer *notifications, ContactsView *contacts,
                           QObject *parent)
    : QObject(parent)
    , mFeed(feed)
    , mNotifications(notifications)
    , mContacts(contacts)
{}

CommandInput::~CommandInput() = default;

bool CommandInput::listen(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_WRONLY)
        return false;
    stop();
    mFd = fd;
    mNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, &CommandInput::onReadable);
    return true;
}

bool CommandInput::execute(const QString &line)
{
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return true;
    const QString &command = words.first();
    if (command == QLatin1String("refresh") && words.size() == 1) {
        mFeed->requestRefresh();
        return true;
    }
    if (command == QLatin1String("contacts") && words.size() == 1) {
        if (!mContacts) {
            qWarning("contacts finds no contacts view: the home screen runs without it");
            return false;
        }
        return mContacts->requestAll();
    }
    if (command == QLatin1String("tap") || command == QLatin1String("close")) {
        bool ok = false;
        const uint id = words.size() == 2 ? words.at(1).toUInt(&ok) : 0;
        if (!ok || id == 0) {
            qWarning().noquote() << command << "needs the id of one notification, as in" << command << "4";
            return false;
        }
        if (!mNotifications) {
            qWarning().noquote() << command << "finds no notifications: the home screen runs without them";
            return false;
        }
        return command == QLatin1String("tap") ? mNotifications->tap(id) : mNotifications->dismiss(id);
    }
    qWarning().noquote().nospace() << "unknown command " << quoted(line) << " (" << Usage << ')';
    return false;
}

void CommandInput::onReadable()
{
    char bytes[4096];
    const ssize_t count = ::read(mFd, bytes, sizeof bytes);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count < 0)
        qWarning("commands: cannot read: %s", strerror(errno));
    if (count <= 0) {
        // The end of the input: a last line without its line end still counts.
        if (!mSkipping && !mLine.isEmpty())
            execute(QString::fromUtf8(mLine).trimmed());
        stop();
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        const char byte = bytes[i];
        if (byte == '\n') {
            if (!mSkipping)
                execute(QString::fromUtf8(mLine).trimmed());
            mLine.clear();
            mSkipping = false;
        } else if (!mSkipping && mLine.size() >= MaxLineLength) {
            qWarning("commands: a line longer than %d bytes is skipped", MaxLineLength);
            mLine.clear();
            mSkipping = true;
        } else if (!mSkipping) {
            mLine += byte;
        }
    }
}

void CommandInput::stop()
{
    // Also called from the notifier's own signal: it goes once that is over.
    if (mNotifier) {
        mNotifier->setEnabled(false);
        mNotifier->deleteLater();
        mNotifier = nullptr;
    }
    mFd = -1;
    mLine.clear();
    mSkipping = false;
}

} // namespace HomeScreen
