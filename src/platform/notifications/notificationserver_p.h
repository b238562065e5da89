// This process's one link to the session's notification server: publishes and closes
// notifications, knows the server's capabilities, and turns the server's signals about the
// notifications in the registry into their remote actions and into registry updates. Created on
// first use as a child of the application object, on its thread.
//
// Nothing here waits for the server: calls go out asynchronously, one at a time and in order, each
// to the unique name of the server that owns "org.freedesktop.Notifications" when it is sent, so
// that an id goes back only to the server that gave it. Every id is kept with its issuer; when
// another server takes the name, ids of the one before are neither replaced, closed nor listened
// to. Internal.
#pragma once

#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

#include "platform/notifications/mnotification.h"
#include "platform/notifications/notificationregistry_p.h"

class MNotification;
class OrgFreedesktopNotificationsInterface;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

class NotificationServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(NotificationServer)

public:
    // The longest wait for the server's answer to one call.
    static constexpr int CallTimeoutMs = 3000;
    static const QString ServiceName;
    static const QString ObjectPath;
    // The key of the one action sent: the one a click on the notification itself invokes.
    static const QString DefaultAction;
    // Hint carrying MNotification's count (uint32); absent when the count is 0.
    static const QString CountHint;
    static const QString EventTypeHint;

    // Null while there is no application object.
    static NotificationServer *instance();
    static void setPresentation(const MNotification::Presentation &presentation);

    ~NotificationServer() override;

    // Queues the creation or update of the object's notification, as it is now; its issuer and id
    // are read again when the call goes out, so that an update queued behind the first publishing
    // replaces what that created. The outcome reaches the object later (MNotification::published),
    // never before this returns. False, with nothing queued, when no server owns the name and the
    // bus cannot start one.
    bool publish(MNotification *object);
    // The object's publications do not happen: those still queued are dropped; one already sent is
    // closed when the server answers, and not recorded. alreadyClosed: an id closed for the object
    // just now, not to be closed twice. True when there was one.
    bool cancel(const MNotification *object, quint32 alreadyClosed);
    // Asks the server to close the notification when the current server gave its id, without
    // waiting, and forgets it either way.
    void close(const NotificationIssuer &issuer, quint32 id);
    // Whether ids of issuer are those of the server that owns the name now; a record without an
    // issuer belongs to that server. False while no server owns it or the owner is not known yet.
    bool isCurrent(const NotificationIssuer &issuer) const;
    bool hasCachedCapabilities() const { return mCapabilities.has_value() && mCapabilitiesOwner == mOwner; }
    // No call is queued or waits for its answer.
    bool isIdle() const { return mQueue.isEmpty() && !mSending && !mAskingCapabilities; }

private slots:
    // Found by name: the bus connection hands over the message, to tell who sent the signal (checked
    // again: a signal may be on its way while the name changes hands).
    void onNotificationClosed(uint id, uint reason, const QDBusMessage &message);
    void onActionInvoked(uint id, const QString &actionKey, const QDBusMessage &message);

private:
    struct Publication
    {
        QPointer<MNotification> object;
        // The object's, as it was when publish() was called.
        NotificationRecord record;
        bool cancelled = false;
        quint32 alreadyClosed = 0;
    };

    explicit NotificationServer(QObject *parent);

    // What the bus tells once: its id, the name's owner, whether it can start a server.
    void askTheBus();
    bool knowsTheBus() const { return mBusId.has_value() && mOwnerKnown && mActivatable.has_value(); }
    NotificationIssuer current() const { return {mBusId.value_or(QString()), mOwner}; }
    void onOwnerChanged(const QString &service, const QString &oldOwner, const QString &newOwner);
    void setOwner(const QString &owner);
    // Starts or stops listening to the signals of the server with that unique name.
    void listen(const QString &owner, bool on);
    // Sends the next call when nothing waits for an answer.
    void next();
    void askCapabilities();
    void onCapabilities(QDBusPendingCallWatcher *watcher, const QString &askedWhom);
    void send(Publication publication);
    void onNotified(QDBusPendingCallWatcher *watcher, const QString &sentTo);
    // Tells the object the outcome.
    void finish(const Publication &publication, bool ok);
    // No server answers: every queued publication fails.
    void failQueue();
    // Where calls go: the unique name of the owner, or the well-known name for the bus to start one.
    QString destination() const { return mOwner.isEmpty() ? ServiceName : mOwner; }

    QDBusServiceWatcher *mWatcher;
    // Calls to destination().
    std::unique_ptr<OrgFreedesktopNotificationsInterface> mProxy;
    std::optional<QString> mBusId;
    bool mOwnerKnown = false;
    // The unique name of the server that owns the name; empty for none.
    QString mOwner;
    std::optional<bool> mActivatable;
    std::optional<QStringList> mCapabilities;
    // The unique name of the server that told the capabilities.
    QString mCapabilitiesOwner;
    QList<Publication> mQueue;
    // The publication whose Notify waits for its answer.
    std::optional<Publication> mSending;
    bool mAskingCapabilities = false;
    // Closes asked for before the owner was known.
    QList<QPair<NotificationIssuer, quint32>> mDeferredCloses;
};
