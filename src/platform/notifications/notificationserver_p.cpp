#include "platform/notifications/notificationserver_p.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDebug>
#include <QVariantMap>

#include <utility>

#include "notificationsinterface.h"
#include "platform/notifications/mnotification.h"
#include "platform/notifications/mremoteaction.h"
#include "platform/support/logtext.h"
#include "platform/support/logging.h"

const QString NotificationServer::ServiceName = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationServer::ObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString NotificationServer::DefaultAction = QStringLiteral("default");
const QString NotificationServer::CountHint = QStringLiteral("x-tarvo-count");
const QString NotificationServer::EventTypeHint = QStringLiteral("x-tarvo-event-type");

namespace {
MNotification::Presentation &presentation()
{
    static MNotification::Presentation thePresentation;
    return thePresentation;
}
} // namespace

void NotificationServer::setPresentation(const MNotification::Presentation &value)
{
    presentation() = value;
}

namespace {

const QString BusService = QStringLiteral("org.freedesktop.DBus");
const QString BusPath = QStringLiteral("/org/freedesktop/DBus");

// The server is not there, or does not answer: the calls behind this one would fare no better.
bool isUnreachable(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::ServiceUnknown:
    case QDBusError::NoServer:
    case QDBusError::Disconnected:
        return true;
    default:
        return false;
    }
}

} // namespace

NotificationServer *NotificationServer::instance()
{
    static QPointer<NotificationServer> server;
    if (!server && QCoreApplication::instance())
        server = new NotificationServer(QCoreApplication::instance());
    return server;
}

NotificationServer::NotificationServer(QObject *parent)
    : QObject(parent)
    , mWatcher(new QDBusServiceWatcher(ServiceName, QDBusConnection::sessionBus(),
                                       QDBusServiceWatcher::WatchForOwnerChange, this))
{
    connect(mWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &NotificationServer::onOwnerChanged);
    mProxy = std::make_unique<OrgFreedesktopNotificationsInterface>(destination(), ObjectPath,
                                                                    QDBusConnection::sessionBus());
    mProxy->setTimeout(CallTimeoutMs);
    // Once the event loop runs: a process that ends before (a failed start) leaves no call behind,
    // whose answer the bus connection would handle while the process is being torn down.
    QMetaObject::invokeMethod(this, &NotificationServer::askTheBus, Qt::QueuedConnection);
}

NotificationServer::~NotificationServer() = default;

void NotificationServer::askTheBus()
{
    const auto ask = [this](const QString &method, const QString &argument, auto take) {
        QDBusMessage call = QDBusMessage::createMethodCall(BusService, BusPath, BusService, method);
        if (!argument.isEmpty())
            call << argument;
        auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, CallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, method, take](QDBusPendingCallWatcher *done) {
            done->deleteLater();
            const QDBusMessage reply = done->reply();
            const QVariant value = reply.arguments().value(0);
            if (reply.type() != QDBusMessage::ReplyMessage
                && reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
                qCWarning(lcNotifications) << "void NotificationServer::askTheBus()" << method
                                           << "failed:" << reply.errorName() << Support::logText(reply.errorMessage());
            const bool knew = knowsTheBus();
            take(reply.type() == QDBusMessage::ReplyMessage ? value : QVariant());
            if (knew || !knowsTheBus())
                return;
            qCDebug(lcNotifications) << "void NotificationServer::askTheBus()" << *mBusId << mOwner << *mActivatable;
            if (!mOwner.isEmpty())
                NotificationRegistry().rebind(current());
            const auto closes = std::exchange(mDeferredCloses, {});
            for (const auto &[issuer, id] : closes) {
                if (isCurrent(issuer))
                    mProxy->CloseNotification(id);
            }
            next();
        });
    };
    ask(QStringLiteral("GetId"), QString(), [this](const QVariant &id) {
        // Without it, ids are still told apart by the server's unique name.
        mBusId = id.typeId() == QMetaType::QString && NotificationIssuer::isBusId(id.toString()) ? id.toString()
                                                                                                 : QString();
    });
    ask(QStringLiteral("GetNameOwner"), ServiceName, [this](const QVariant &owner) {
        // Whatever the bus told last is the latest: its answers and signals come in order.
        setOwner(owner.typeId() == QMetaType::QString && NotificationIssuer::isUniqueName(owner.toString())
                         ? owner.toString()
                         : QString());
    });
    ask(QStringLiteral("ListActivatableNames"), QString(), [this](const QVariant &names) {
        mActivatable = names.typeId() == QMetaType::QStringList && names.toStringList().contains(ServiceName);
    });
}

void NotificationServer::onOwnerChanged(const QString &, const QString &, const QString &newOwner)
{
    setOwner(NotificationIssuer::isUniqueName(newOwner) ? newOwner : QString());
    next();
}

void NotificationServer::setOwner(const QString &owner)
{
    if (mOwnerKnown && owner == mOwner)
        return;
    qCDebug(lcNotifications) << Q_FUNC_INFO << mOwner << "->" << owner;
    listen(mOwner, false);
    mOwnerKnown = true;
    mOwner = owner;
    listen(mOwner, true);
    mProxy = std::make_unique<OrgFreedesktopNotificationsInterface>(destination(), ObjectPath,
                                                                    QDBusConnection::sessionBus());
    mProxy->setTimeout(CallTimeoutMs);
    // What the server before handed out is no longer shown: its groups are to be published anew.
    if (knowsTheBus() && !mOwner.isEmpty())
        NotificationRegistry().rebind(current());
}

void NotificationServer::listen(const QString &owner, bool on)
{
    if (owner.isEmpty())
        return;
    // The signals of that server only, with the protocol's argument types only.
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString closed = QStringLiteral("NotificationClosed");
    const QString invoked = QStringLiteral("ActionInvoked");
    if (on) {
        bus.connect(owner, ObjectPath, ServiceName, closed, this, SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
        bus.connect(owner, ObjectPath, ServiceName, invoked, this, SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    } else {
        bus.disconnect(owner, ObjectPath, ServiceName, closed, this,
                       SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
        bus.disconnect(owner, ObjectPath, ServiceName, invoked, this,
                       SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    }
}

bool NotificationServer::isCurrent(const NotificationIssuer &issuer) const
{
    return knowsTheBus() && !mOwner.isEmpty() && (issuer.isEmpty() || issuer == current());
}

bool NotificationServer::publish(MNotification *object)
{
    if (knowsTheBus() && mOwner.isEmpty() && !*mActivatable) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "No notification server answers: nothing owns" << ServiceName;
        return false;
    }
    mQueue << Publication {object, object->record()};
    next();
    return true;
}

bool NotificationServer::cancel(const MNotification *object, quint32 alreadyClosed)
{
    bool found = mQueue.removeIf([object](const Publication &p) { return p.object.data() == object; }) > 0;
    if (mSending && mSending->object.data() == object) {
        mSending->cancelled = true;
        mSending->alreadyClosed = alreadyClosed;
        found = true;
    }
    return found;
}

void NotificationServer::close(const NotificationIssuer &issuer, quint32 id)
{
    NotificationRegistry().forget(issuer, id);
    if (!knowsTheBus()) {
        mDeferredCloses << qMakePair(issuer, id);
        return;
    }
    if (!isCurrent(issuer)) {
        qCDebug(lcNotifications) << Q_FUNC_INFO << id << "was given by" << issuer.uniqueName
                                 << "- forgotten, not closed";
        return;
    }
    qCDebug(lcNotifications) << Q_FUNC_INFO << id;
    // The answer does not matter: the server may already have closed it.
    mProxy->CloseNotification(id);
}

void NotificationServer::next()
{
    if (!knowsTheBus() || mSending || mAskingCapabilities || mQueue.isEmpty())
        return;
    if (mOwner.isEmpty() && !*mActivatable) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "No notification server answers: nothing owns" << ServiceName;
        failQueue();
        return;
    }
    if (!hasCachedCapabilities()) {
        askCapabilities();
        return;
    }
    send(mQueue.takeFirst());
}

void NotificationServer::askCapabilities()
{
    mAskingCapabilities = true;
    auto *watcher = new QDBusPendingCallWatcher(mProxy->GetCapabilities(), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, to = destination()](QDBusPendingCallWatcher *done) { onCapabilities(done, to); });
}

void NotificationServer::onCapabilities(QDBusPendingCallWatcher *watcher, const QString &askedWhom)
{
    watcher->deleteLater();
    mAskingCapabilities = false;
    const QDBusPendingReply<QStringList> reply = *watcher;
    const QString sender = reply.reply().service();
    if (reply.isError()) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "No notification server answers:" << reply.error().name()
                                   << Support::logText(reply.error().message());
        // Unless another server has taken the name meanwhile, the calls waiting would fail too.
        if (!isUnreachable(reply.error()) || askedWhom == destination())
            failQueue();
    } else {
        // One the bus started for this call.
        if (mOwner.isEmpty() && NotificationIssuer::isUniqueName(sender))
            setOwner(sender);
        if (sender == mOwner) {
            mCapabilities = reply.value();
            mCapabilitiesOwner = sender;
            qCDebug(lcNotifications) << Q_FUNC_INFO << sender
                                     << Support::logText(mCapabilities->join(QLatin1Char(' ')));
        }
    }
    next();
}

void NotificationServer::send(Publication publication)
{
    NotificationRecord &record = publication.record;
    // The id an earlier publication of the object gave, when that was answered since.
    if (publication.object) {
        record.id = publication.object->mId;
        record.issuer = publication.object->mIssuer;
    }
    // An id of another server is another program's here.
    const quint32 replacesId = isCurrent(record.issuer) ? record.id : 0;

    const MNotification::Presentation &shownAs = presentation();
    QStringList actions;
    if (!record.action.isEmpty() && mCapabilities->contains(QStringLiteral("actions")))
        actions << DefaultAction << shownAs.defaultActionLabel;
    QVariantMap hints;
    // Lets a home screen tell the kinds apart, as the platform's own server would by event type.
    hints.insert(EventTypeHint, record.eventType);
    // What desktops file the notification under (their notification settings) and sort it by.
    if (!shownAs.desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), shownAs.desktopEntry);
    if (const QString category = shownAs.categories.value(record.eventType); !category.isEmpty())
        hints.insert(QStringLiteral("category"), category);
    if (record.kind == NotificationRecord::InGroup)
        hints.insert(QStringLiteral("transient"), true);
    if (record.count > 0)
        hints.insert(CountHint, record.count);
    // A group stays until it is closed; anything else goes when the server's default time is up.
    const int expireTimeout = record.kind == NotificationRecord::Group ? 0 : -1;
    // Texts are plain: a server that reads markup in the body must find none.
    const QString body
            = mCapabilities->contains(QStringLiteral("body-markup")) ? record.body.toHtmlEscaped() : record.body;

    auto *watcher
            = new QDBusPendingCallWatcher(mProxy->Notify(QCoreApplication::applicationName(), replacesId, shownAs.icon,
                                                         record.summary, body, actions, hints, expireTimeout),
                                          this);
    mSending = std::move(publication);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, to = mOwner](QDBusPendingCallWatcher *done) { onNotified(done, to); });
}

void NotificationServer::onNotified(QDBusPendingCallWatcher *watcher, const QString &sentTo)
{
    watcher->deleteLater();
    Publication publication = *std::exchange(mSending, std::nullopt);
    const QDBusPendingReply<uint> reply = *watcher;
    const NotificationRecord &record = publication.record;
    bool ok = false;
    bool unreachable = false;
    if (reply.isError() && isUnreachable(reply.error()) && sentTo != mOwner && !mOwner.isEmpty()
        && !publication.cancelled) {
        // Sent to a server that left the name just before; the one there now gets it.
        qCDebug(lcNotifications) << Q_FUNC_INFO << sentTo << "is gone: sent again to" << mOwner;
        mQueue.prepend(publication);
        next();
        return;
    }
    if (reply.isError()) {
        qCWarning(lcNotifications) << Q_FUNC_INFO
                                   << "The notification server did not take the notification:" << reply.error().name()
                                   << Support::logText(reply.error().message());
        unreachable = isUnreachable(reply.error());
    } else if (reply.reply().service() != mOwner) {
        // Shown by a server that has left the name since: nothing will show it.
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Answered by" << reply.reply().service() << "which no longer owns"
                                   << ServiceName;
    } else if (reply.value() == 0) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "The notification server answered the invalid id 0";
    } else if (publication.cancelled) {
        qCDebug(lcNotifications) << Q_FUNC_INFO << record.eventType << "withdrawn while it was sent:" << reply.value();
        if (reply.value() != publication.alreadyClosed)
            mProxy->CloseNotification(reply.value());
    } else {
        const uint id = reply.value();
        qCDebug(lcNotifications) << Q_FUNC_INFO << record.eventType << record.id << "->" << id;
        NotificationRecord stored = record;
        stored.id = id;
        stored.issuer = current();
        NotificationRegistry().store(stored, record.issuer, record.id);
        publication.record = stored;
        ok = true;
    }
    if (!publication.cancelled)
        finish(publication, ok);
    if (unreachable)
        failQueue();
    next();
}

void NotificationServer::finish(const Publication &publication, bool ok)
{
    if (publication.object)
        publication.object->onPublished(ok, publication.record);
}

void NotificationServer::failQueue()
{
    const QList<Publication> failed = std::exchange(mQueue, {});
    for (const Publication &publication : failed)
        finish(publication, false);
}

void NotificationServer::onNotificationClosed(uint id, uint reason, const QDBusMessage &message)
{
    if (mOwner.isEmpty() || message.service() != mOwner || !knowsTheBus())
        return;
    if (NotificationRegistry().forget(current(), id))
        qCDebug(lcNotifications) << Q_FUNC_INFO << id << reason;
}

void NotificationServer::onActionInvoked(uint id, const QString &actionKey, const QDBusMessage &message)
{
    // Every client of the server hears of every action, and anyone may send the signal: only the
    // server's own about an id it gave us counts.
    if (actionKey != DefaultAction || mOwner.isEmpty() || message.service() != mOwner || !knowsTheBus())
        return;
    const std::optional<NotificationRecord> record = NotificationRegistry().find(current(), id);
    if (!record || record->action.isEmpty())
        return;
    qCDebug(lcNotifications) << Q_FUNC_INFO << id << record->eventType;
    MRemoteAction(record->action).trigger();
}
