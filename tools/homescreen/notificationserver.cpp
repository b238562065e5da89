#include "homescreen/notificationserver.h"

#include <QPointer>
#include <QTimerEvent>
#include <QtDebug>

#include <limits>

#include "homescreen/busvalues.h"
#include "homescreen/itemtext.h"
#include "notificationserveradaptor.h"

namespace HomeScreen {

namespace {

const QString DefaultAction = QStringLiteral("default");
const QString ImageSignature = QStringLiteral("(iiibiiay)");

// The hints the protocol defines and the one type each must have; UnknownType for the pictures,
// which must have ImageSignature; -1 for any other hint.
int expectedHintType(const QString &name)
{
    static const struct
    {
        const char *name;
        int type;
    } known[] = {
            {"action-icons", QMetaType::Bool},
            {"category", QMetaType::QString},
            {"desktop-entry", QMetaType::QString},
            {"icon_data", QMetaType::UnknownType},
            {"image-data", QMetaType::UnknownType},
            {"image-path", QMetaType::QString},
            {"image_data", QMetaType::UnknownType},
            {"image_path", QMetaType::QString},
            {"resident", QMetaType::Bool},
            {"sound-file", QMetaType::QString},
            {"sound-name", QMetaType::QString},
            {"suppress-sound", QMetaType::Bool},
            {"transient", QMetaType::Bool},
            {"urgency", QMetaType::UChar},
            {"x", QMetaType::Int},
            {"y", QMetaType::Int},
    };
    for (const auto &hint : known) {
        if (name == QLatin1String(hint.name))
            return hint.type;
    }
    return -1;
}

// "transient,urgency=\"2\"": a true truth value as its name alone, anything else as name=value. The
// names were checked to be plain (isKeyName).
QString shownHints(const QVariantMap &hints)
{
    QStringList shown;
    for (auto it = hints.constBegin(); it != hints.constEnd(); ++it) {
        if (it.value().metaType().id() == QMetaType::Bool && it.value().toBool())
            shown << it.key();
        else
            shown << it.key() + QLatin1Char('=') + shownValue(it.value());
    }
    return shown.join(QLatin1Char(','));
}

// The fields of a notify or update line.
QString shownNotification(const Notification &notification)
{
    QStringList fields = {
            QStringLiteral("app=") + quoted(notification.appName),
            QStringLiteral("summary=") + quoted(notification.summary),
            QStringLiteral("body=") + quoted(notification.body),
    };
    if (!notification.appIcon.isEmpty())
        fields << QStringLiteral("icon=") + quoted(notification.appIcon);
    if (!notification.actions.isEmpty())
        fields << QStringLiteral("actions=") + shownValue(notification.actions);
    if (!notification.hints.isEmpty())
        fields << QStringLiteral("hints=") + shownHints(notification.hints);
    fields << QStringLiteral("timeout=")
                    + (notification.timeout > 0 ? QString::number(notification.timeout) : QStringLiteral("never"));
    return fields.join(QLatin1Char(' '));
}

} // namespace

NotificationServer::NotificationServer(const NotificationLimits &limits, QObject *parent)
    : BusService(QLatin1String(ServiceName), QLatin1String(ObjectPath), parent)
    , mLimits(limits)
{
    new NotificationServerAdaptor(this);
}

NotificationServer::~NotificationServer() = default;

bool NotificationServer::tap(uint id)
{
    const auto it = mNotifications.constFind(id);
    if (it == mNotifications.constEnd()) {
        qWarning().noquote() << "tap: no notification" << id;
        return false;
    }
    bool offered = false;
    for (int i = 0; i + 1 < it->actions.size() && !offered; i += 2)
        offered = it->actions.at(i) == DefaultAction;
    if (!offered) {
        qWarning().noquote() << "tap: notification" << id << "offers no default action";
        return false;
    }
    const bool resident = it->hints.value(QStringLiteral("resident")).toBool();
    QPointer<NotificationServer> alive(this);
    emit changeReported(QStringLiteral("action %1 key=%2").arg(QString::number(id), quoted(DefaultAction)));
    emit ActionInvoked(id, DefaultAction);
    // Whoever heard the action may have closed the notification, or ended the server.
    if (alive && !resident && mNotifications.contains(id))
        close(id, Dismissed);
    return true;
}

bool NotificationServer::dismiss(uint id)
{
    if (!mNotifications.contains(id)) {
        qWarning().noquote() << "dismiss: no notification" << id;
        return false;
    }
    close(id, Dismissed);
    return true;
}

void NotificationServer::timerEvent(QTimerEvent *event)
{
    const auto it = mTimers.constFind(event->timerId());
    if (it == mTimers.constEnd()) {
        BusService::timerEvent(event);
        return;
    }
    close(it.value(), Expired);
}

QStringList NotificationServer::GetCapabilities()
{
    if (taken(true))
        return {};
    // Markup in bodies is shown as it came, never dropped: the lines are for a person reading them.
    return answered(QStringList {QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("body-markup"),
                                 QStringLiteral("persistence")});
}

QString NotificationServer::GetServerInformation(QString &vendor, QString &version, QString &specVersion)
{
    if (taken(true))
        return {};
    vendor = QStringLiteral("quillnet-daemon");
    version = QStringLiteral(HOMESCREEN_VERSION);
    specVersion = QLatin1String(SpecVersion);
    return QStringLiteral("homescreen");
}

uint NotificationServer::Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                                const QString &body, const QStringList &actions, const QVariantMap &hints,
                                int expireTimeout)
{
    if (taken(true))
        return 0;
    Notification notification;
    notification.appName = appName;
    notification.appIcon = appIcon;
    notification.summary = summary;
    notification.body = body;
    const QString why = accept(notification, actions, hints, expireTimeout);
    if (!why.isEmpty()) {
        refuse(QStringLiteral("Notify"), QDBusError::InvalidArgs, why);
        return 0;
    }
    // Only a notification that is still shown is replaced; for any other id the caller gets a new one.
    const auto replaced = mNotifications.find(replacesId);
    const bool update = replaced != mNotifications.end();
    if (!update && mNotifications.size() >= mLimits.maxNotifications) {
        refuse(QStringLiteral("Notify"), QDBusError::LimitsExceeded,
               QStringLiteral("%1 notifications are shown already").arg(mNotifications.size()));
        return 0;
    }
    if (!update && mLastId == std::numeric_limits<uint>::max()) {
        refuse(QStringLiteral("Notify"), QDBusError::LimitsExceeded, QStringLiteral("every id has been given out"));
        return 0;
    }

    const uint id = update ? replacesId : ++mLastId;
    if (update && replaced->timerId) {
        killTimer(replaced->timerId);
        mTimers.remove(replaced->timerId);
    }
    if (notification.timeout > 0) {
        notification.timerId = startTimer(notification.timeout);
        mTimers.insert(notification.timerId, id);
    }
    mNotifications.insert(id, notification);
    emit changeReported(QStringLiteral("%1 %2 %3")
                                .arg(update ? QStringLiteral("update") : QStringLiteral("notify"), QString::number(id),
                                     shownNotification(notification)));
    return answered(id);
}

void NotificationServer::CloseNotification(uint id)
{
    if (taken(true))
        return;
    // The protocol answers an error when the notification is gone already.
    if (!mNotifications.contains(id)) {
        refuse(QStringLiteral("CloseNotification"), QDBusError::InvalidArgs,
               QStringLiteral("no notification %1").arg(id));
        return;
    }
    close(id, ClosedByCall);
}

QString NotificationServer::accept(Notification &notification, const QStringList &actions, const QVariantMap &hints,
                                   int expireTimeout) const
{
    if (expireTimeout < -1)
        return QStringLiteral("expire_timeout %1 is below -1").arg(expireTimeout);
    if (actions.size() > 2 * mLimits.maxActions)
        return QStringLiteral("%1 action entries, at most %2").arg(actions.size()).arg(2 * mLimits.maxActions);
    if (actions.size() % 2 != 0)
        return QStringLiteral("%1 action entries, not pairs of key and label").arg(actions.size());
    for (int i = 0; i < actions.size(); i += 2) {
        if (actions.at(i).isEmpty())
            return QStringLiteral("the action labelled %1 has an empty key").arg(quoted(actions.at(i + 1)));
    }
    if (hints.size() > mLimits.maxHints)
        return QStringLiteral("%1 hints, at most %2").arg(hints.size()).arg(mLimits.maxHints);

    qint64 size = qint64(notification.appName.size()) + notification.appIcon.size() + notification.summary.size()
            + notification.body.size() + textSize(actions);
    for (auto it = hints.constBegin(); it != hints.constEnd(); ++it) {
        const QString &name = it.key();
        const QVariant &value = it.value();
        if (!isKeyName(name)) {
            return QStringLiteral("the hint %1 is not 1 to %2 letters, digits, \"_\", \"-\" or \".\"")
                    .arg(quoted(name), QString::number(MaxKeyLength));
        }
        const int type = value.metaType().id();
        const int expected = expectedHintType(name);
        if (expected == QMetaType::UnknownType) {
            if (busSignature(value) != ImageSignature) {
                return QStringLiteral("the hint %1 is of D-Bus type %2, not %3")
                        .arg(name, quoted(busSignature(value)), quoted(ImageSignature));
            }
            continue; // a picture: nothing here draws it
        }
        if (expected != -1 && type != expected) {
            return QStringLiteral("the hint %1 is of D-Bus type %2, not %3")
                    .arg(name, quoted(busSignature(value)), quoted(signatureOf(expected)));
        }
        if (name == QLatin1String("urgency") && value.toUInt() > 2)
            return QStringLiteral("the urgency %1 is not 0, 1 or 2").arg(value.toUInt());
        // Hints of other programs that no line could show are left out, as the protocol asks of
        // hints a server does not know.
        if (!isPlainType(type))
            continue;
        notification.hints.insert(name, value);
        size += name.size() + textSize(value);
    }
    if (size > mLimits.maxSize)
        return QStringLiteral("more than %1 characters").arg(mLimits.maxSize);
    notification.actions = actions;

    if (expireTimeout > 0)
        notification.timeout = expireTimeout;
    else if (expireTimeout == -1 && notification.hints.value(QStringLiteral("transient")).toBool())
        notification.timeout = mLimits.transientTimeout;
    // Otherwise it stays until it is tapped, dismissed or closed, as a phone's notification area
    // keeps what it shows ("persistence").
    return QString();
}

void NotificationServer::close(uint id, CloseReason reason)
{
    const auto it = mNotifications.find(id);
    if (it == mNotifications.end())
        return;
    if (it->timerId) {
        killTimer(it->timerId);
        mTimers.remove(it->timerId);
    }
    mNotifications.erase(it);
    emit changeReported(QStringLiteral("close %1 reason=%2").arg(id).arg(uint(reason)));
    emit NotificationClosed(id, reason);
}

void NotificationServer::refuse(const QString &call, QDBusError::ErrorType error, const QString &why)
{
    qWarning().noquote() << call << "refused:" << why;
    if (calledFromDBus())
        sendErrorReply(error, why);
}

} // namespace HomeScreen
