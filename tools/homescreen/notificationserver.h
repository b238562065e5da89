// The home screen's notification area as a Desktop Notifications server (version 1.2) on the session
// bus: keeps what programs such as quillnet-daemon notify, in memory and within limits, lets a person
// tap or dismiss it, and reports every change as one line of text.
#pragma once

#include <QDBusError>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "homescreen/busservice.h"

class NotificationServerAdaptor;

namespace HomeScreen {

// What the server keeps at most; a call that would go beyond is refused.
struct NotificationLimits
{
    int maxNotifications = 256;
    // Pairs of key and label.
    int maxActions = 16;
    int maxHints = 32;
    // Characters of a notification's texts together: application name, icon, summary, body, action
    // keys and labels, the names of the hints kept and their texts.
    int maxSize = 64 * 1024;
    // How long a transient notification lives that leaves the timeout to the server (-1), in ms.
    int transientTimeout = 5000;
};

// One notification as the server keeps it.
struct Notification
{
    QString appName;
    QString appIcon;
    QString summary;
    QString body;
    // Key, label, key, label, ...
    QStringList actions;
    // The hints of plain types; pictures are not kept.
    QVariantMap hints;
    // Milliseconds until it expires; 0 for never.
    int timeout = 0;
    // The running expiry timer, or 0.
    int timerId = 0;
};

class NotificationServer : public BusService
{
    Q_OBJECT
    Q_DISABLE_COPY(NotificationServer)

public:
    static constexpr char ServiceName[] = "org.freedesktop.Notifications";
    static constexpr char ObjectPath[] = "/org/freedesktop/Notifications";
    static constexpr char SpecVersion[] = "1.2";

    // Why a notification was closed, as NotificationClosed tells.
    enum CloseReason : uint { Expired = 1, Dismissed = 2, ClosedByCall = 3 };

    explicit NotificationServer(const NotificationLimits &limits = NotificationLimits(), QObject *parent = nullptr);
    ~NotificationServer() override;

    const QMap<uint, Notification> &notifications() const { return mNotifications; }

    // A person tapped the notification: when it offers the action "default", ActionInvoked(id,
    // "default"), then it is closed as dismissed unless it asked to stay ("resident"). False, with a
    // warning, when there is no such notification or it offers no default action.
    bool tap(uint id);
    // A person dismissed the notification: closed with reason Dismissed. False, with a warning, when
    // there is no such notification.
    bool dismiss(uint id);
    // Closes the notification, when it is open, for the reason given: NotificationClosed.
    void close(uint id, CloseReason reason);

signals:
    // Relayed to the bus by the adaptor.
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString &actionKey);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // The calls arriving from the bus, made by the generated adaptor and nothing else.
    friend class ::NotificationServerAdaptor;
    QStringList GetCapabilities();
    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion);
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout);
    void CloseNotification(uint id);

    // Fills notification from the call's values; empty when it may be kept, otherwise why not.
    QString accept(Notification &notification, const QStringList &actions, const QVariantMap &hints,
                   int expireTimeout) const;
    // A warning, and the same words as an error reply to the caller on the bus.
    void refuse(const QString &call, QDBusError::ErrorType error, const QString &why);

    const NotificationLimits mLimits;
    QMap<uint, Notification> mNotifications;
    // Expiry timer id to notification id.
    QHash<int, uint> mTimers;
    uint mLastId = 0;
};

} // namespace HomeScreen
