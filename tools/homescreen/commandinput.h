// Commands that a person or a script gives the home screen, one per line on a file descriptor
// (standard input): "tap <id>" and "close <id>" act on a notification as a user's finger would,
// "refresh" pulls the Event Feed down, "contacts" asks the social provider for its persons again. A
// terminal needs no signals and no bus tools for them.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace HomeScreen {

class ContactsView;
class EventFeedService;
class NotificationServer;

class CommandInput : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CommandInput)

public:
    // Longer lines are dropped, so that endless input takes bounded memory.
    static constexpr int MaxLineLength = 256;

    // notifications and contacts may be null: the home screen then runs without its notification area
    // or its contacts view.
    CommandInput(EventFeedService *feed, NotificationServer *notifications, ContactsView *contacts = nullptr,
                 QObject *parent = nullptr);
    ~CommandInput() override;

    // Reads commands from fd, which stays open and is never closed here, from now on until its end.
    // False when fd is not open for reading.
    bool listen(int fd);

    // Carries out one command line, without its line end. False, with a warning, when it is not a
    // command or cannot be carried out.
    bool execute(const QString &line);

private:
    void onReadable();
    void stop();

    EventFeedService *const mFeed;
    NotificationServer *const mNotifications;
    ContactsView *const mContacts;
    int mFd = -1;
    QSocketNotifier *mNotifier = nullptr;
    QByteArray mLine;
    // The current line grew too long: the rest of it is skipped.
    bool mSkipping = false;
};

} // namespace HomeScreen
