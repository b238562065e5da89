// This process's one link to the session's notification server: publishes and closes
// notifications, knows the server's capabilities, and turns the server's signals about the
// notifications in the registry into their remote actions and into registry updates. Created on
// first use as a child of the application object, on its thread; it only ever waits for bus
// messages, never wakes the process by itself. Internal.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class OrgFreedesktopNotificationsInterface;
class QDBusServiceWatcher;
struct NotificationRecord;

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

    // Creates or, through replaces_id, updates the notification; on success record.id is the id
    // the server answered and the registry holds the record under it. False when no server
    // answers within CallTimeoutMs or the answer is not a valid id.
    bool publish(NotificationRecord &record);
    // Asks the server to close the notification, without waiting, and forgets it.
    void close(quint32 id);
    // The server's capabilities, asked once for each server that owns the name; nothing when no
    // server answers within CallTimeoutMs.
    std::optional<QStringList> capabilities();
    bool hasCachedCapabilities() const { return mCapabilities.has_value(); }

private:
    explicit NotificationServer(QObject *parent);

    void onNotificationClosed(uint id, uint reason);
    void onActionInvoked(uint id, const QString &actionKey);
    void onOwnerChanged(const QString &service, const QString &oldOwner, const QString &newOwner);

    OrgFreedesktopNotificationsInterface *mServer;
    QDBusServiceWatcher *mWatcher;
    std::optional<QStringList> mCapabilities;
    // The unique bus name of the server that told the capabilities.
    QString mCapabilitiesOwner;
};
