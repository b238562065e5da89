#include "notifications/notificationhandler.h"

#include "notifications/appsocket.h"

#include <QDateTime>
#include <QDebug>
#include <QVariant>

#include <algorithm>
#include <functional>
#include <climits>
#include <memory>

#include "common/constants.h"
#include "database/daemondatabase.h"
#include "platform/notifications/mlocale.h"
#include "platform/notifications/mnotification.h"
#include "platform/notifications/mnotificationgroup.h"
#include "platform/notifications/mremoteaction.h"
#include "platform/quillnet/qndatafilter.h"
#include "platform/quillnet/quillnet.h"
#include "platform/support/logtext.h"
#include "platform/support/usertext.h"
#include "platform/support/logging.h"

namespace {

// A tap on a group opens the kind's view in the service's phone application.
const QString OpenViewService = QStringLiteral("com.tarvo.quillnet");
const QString OpenViewPath = QStringLiteral("/OpenView");
const QString OpenViewInterface = QStringLiteral("com.tarvo.quillnet");
const QString OpenViewMethod = QStringLiteral("openView");

// Object types of the service's notifications that are notified, compared exactly.
const QStringList NotifiedObjectTypes = {QStringLiteral("stream"), QStringLiteral("photo"), QStringLiteral("album"),
                                         QStringLiteral("friend"), QStringLiteral("event")};

// Key of an item that changes with every update: "<id>.<update time in ms since the epoch>".
QString itemKey(const QString &id, const QDateTime &updated)
{
    return QStringLiteral("%1.%2").arg(id, QString::number(updated.toMSecsSinceEpoch()));
}

// The catalogue text with its marker filled in; without a catalogue the id comes back without a
// marker, and stays as it is.
QString filled(const QString &text, const QString &value)
{
    return text.contains(QLatin1String("%1")) ? text.arg(value) : text;
}

QString filled(const QString &text, qint64 value)
{
    return filled(text, QString::number(value));
}

// Counts the service makes up may exceed what a plural form or the group's count holds.
int pluralCount(qint64 count)
{
    return int(std::clamp<qint64>(count, 0, INT_MAX));
}

uint groupCount(qint64 count)
{
    return uint(std::clamp<qint64>(count, 0, UINT_MAX));
}

} // namespace

struct NotificationHandler::InFlight
{
    QString eventType;
    QString typeKey;
    // Marked shown once the server took the news.
    QStringList newKeys;
    QHash<QString, QString> shownContent;
    bool logFailure = false;
    std::unique_ptr<MNotificationGroup> group;
    std::unique_ptr<MNotification> news;
    int awaited = 0;
};

NotificationHandler::NotificationHandler(QObject *parent)
    : QObject(parent)
    , m_socket(new AppSocket(this))
    , m_locale(new MLocale(this))
{
    // The installed desktop file and icon (quillnet-daemon.desktop, the hicolor theme's
    // quillnet-daemon), and the notification spec's categories, standard where one fits.
    MNotification::Presentation presentation;
    presentation.desktopEntry = QStringLiteral("quillnet-daemon");
    presentation.icon = QStringLiteral("quillnet-daemon");
    //% "Open"
    presentation.defaultActionLabel = qtTrId("qtn_qnk_notification_open");
    for (const Constants::NotificationKind &kind : Constants::NotificationKinds)
        presentation.categories.insert(kind.eventType, kind.category);
    MNotification::setPresentation(presentation);
    connect(m_socket, &AppSocket::kindShown, this, [this](const QString &eventType) { clear(eventType, true); });
    connect(m_socket, &AppSocket::idsRead, this, [this](const QStringList &ids) {
        // Long lists go out in several requests of the client's.
        if (m_quillnet)
            m_quillnet->markNotificationsRead(ids);
    });
    connect(m_socket, &AppSocket::viewChanged, this, &NotificationHandler::appViewChanged);
}

NotificationHandler::~NotificationHandler()
{
    releaseNotifications();
    // What is on its way still reaches the server and the registry.
    m_inFlight.clear();
}

bool NotificationHandler::init(Qn::Quillnet *quillnet, DaemonDatabase *database)
{
    if (!quillnet || !database)
        return false;
    m_quillnet = quillnet;
    m_db = database;

    connect(quillnet, &Qn::Quillnet::allNotificationsRetrieved, this,
            &NotificationHandler::onAllNotificationsRetrieved);
    connect(quillnet, &Qn::Quillnet::eventDetailsRetrieved, this, &NotificationHandler::onEventDetailsRetrieved);
    connect(quillnet, &Qn::Quillnet::threadsRetrieved, this, &NotificationHandler::onThreadsRetrieved);
    connect(quillnet, &Qn::Quillnet::profileUpdated, this, &NotificationHandler::onProfileRetrieved);
    connect(quillnet, &Qn::Quillnet::messagesUpdated, this, &NotificationHandler::onMessagesUpdated);
    connect(quillnet, &Qn::Quillnet::requestFailed, this, &NotificationHandler::onRequestFailed);
    connect(&m_safetyTimer, &QTimer::timeout, this, &NotificationHandler::onSafetyTimer);
    m_safetyTimer.setInterval(SafetyTimeoutMs);
    m_safetyTimer.setSingleShot(true);
    return true;
}

void NotificationHandler::setEnabled(const QString &type, bool enabled)
{
    if (Constants::findKind(&Constants::NotificationKind::typeKey, type))
        m_enabled.insert(type, enabled);
}

bool NotificationHandler::isEnabled(const QString &type) const
{
    // A kind never switched is on.
    return Constants::findKind(&Constants::NotificationKind::typeKey, type) && m_enabled.value(type, true);
}

// The cycle.

void NotificationHandler::startNotificationImport()
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << bool(m_cycle);
    if (!m_quillnet || m_cycle)
        return;
    if (std::none_of(std::begin(Constants::NotificationKinds), std::end(Constants::NotificationKinds),
                     [this](const Constants::NotificationKind &kind) { return isEnabled(kind.typeKey); })) {
        qCDebug(lcNotifications) << "All sub notification types disabled. skipping";
        emit notificationsImported();
        return;
    }
    if (m_quillnet->retrieveAllNotifications() != Qn::StatusOk) {
        qCWarning(lcNotifications) << "Failed to retrieve all notifications";
        return;
    }
    m_cycle = std::make_unique<NotificationCycle>();
    m_safetyTimer.start();
    emit importStarted();
}

void NotificationHandler::endCheck()
{
    if (!m_cycle)
        return;
    qCDebug(lcNotifications) << Q_FUNC_INFO << m_cycle->awaitingAll << m_cycle->threadsOpen
                             << m_cycle->awaitedEvents.size() << m_inFlight.size();
    if (m_cycle->done() && m_inFlight.empty()) {
        m_cycle.reset();
        m_safetyTimer.stop();
        emit notificationsImported();
        return;
    }
    m_safetyTimer.start();
}

void NotificationHandler::onAllNotificationsRetrieved(Qn::QnUsers friendRequests, Qn::QnEvents eventInvitations,
                                                      Qn::QnNotificationList notifications,
                                                      quint32 numberOfUnreadThreads)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << bool(m_cycle);
    qCDebug(lcNotifications) << Q_FUNC_INFO << friendRequests.count() << notifications.count() << numberOfUnreadThreads;
    // A late answer, after the safety timer ended its cycle.
    if (!m_cycle || !m_cycle->awaitingAll || !m_quillnet)
        return;
    recordUnrecordedShown();
    rereadNotifications();

    // An empty list leaves the kind's group as it is. The cycle counts as waiting for this answer
    // until every kind has taken its part, so that no publication answered meanwhile ends it.
    if (isEnabled(Constants::NotificationType) && !notifications.isEmpty())
        processNotifications(notifications);
    if (isEnabled(Constants::FriendRequestType) && !friendRequests.isEmpty())
        processFriendRequests(friendRequests);
    if (isEnabled(Constants::EventType) && !eventInvitations.isEmpty())
        requestEventDetails(eventInvitations);
    m_cycle->awaitingAll = false;

    if (isEnabled(Constants::MessageType)) {
        if (numberOfUnreadThreads == 0) {
            clear(Constants::MessagesEventType, false);
            endCheck();
            return;
        }
        startThreads();
        return;
    }
    endCheck();
}

void NotificationHandler::startThreads()
{
    // Not sent: nothing to wait for.
    const bool sent = m_quillnet->retrieveThreads(nullptr, Qn::Inbox, Qn::RetrieveFromNetwork) == Qn::StatusOk;
    m_cycle->threadsOpen = sent;
    m_cycle->awaitingThreads = sent;
    endCheck();
}

void NotificationHandler::onRequestFailed(Qn::RequestKind kind, QString subject)
{
    if (!m_cycle)
        return;
    NotificationCycle &cycle = *m_cycle;
    switch (kind) {
    case Qn::AllNotificationsRequest:
        if (!cycle.awaitingAll)
            return;
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Failed to retrieve all notifications";
        cycle.awaitingAll = false;
        if (isEnabled(Constants::MessageType)) {
            // The answer carried friend requests, invitations and notifications: they wait for the
            // next cycle. The message threads come from requests of their own; their unread count
            // is unknown, so the threads are asked for.
            startThreads();
            return;
        }
        // Nothing was imported: no signal, and the next trigger may start a cycle at once.
        m_cycle.reset();
        m_safetyTimer.stop();
        emit importFailed(QStringLiteral("the service did not answer"));
        return;
    case Qn::EventDetailsRequest:
        if (!cycle.awaitedEvents.remove(subject))
            return;
        // Not marked shown: asked again by the next cycle.
        qCDebug(lcNotifications) << Q_FUNC_INFO << "No details of event" << Support::logText(subject);
        cycle.eventDetailsFailed = true;
        if (!cycle.awaitedEvents.isEmpty())
            return;
        if (!cycle.events.isEmpty()) {
            processEventInvs(cycle.events);
            return;
        }
        // None arrived: the invitations' group stays as it is.
        endCheck();
        return;
    case Qn::ThreadsRequest:
        if (!cycle.awaitingThreads || subject != QString::number(Qn::Inbox))
            return;
        // The message group stays as it is.
        qCDebug(lcNotifications) << Q_FUNC_INFO << "No threads";
        cycle.awaitingThreads = false;
        cycle.threadsOpen = false;
        endCheck();
        return;
    case Qn::MessagesRequest:
        if (!cycle.awaitedMessages.remove(subject))
            return;
        // Without its latest message the thread is left to the next cycle: not notified, not marked.
        qCDebug(lcNotifications) << Q_FUNC_INFO << "No latest message of thread" << Support::logText(subject);
        cycle.threads.removeIf([&subject](const Qn::QnThread &thread) { return thread.id() == subject; });
        cycle.latestContent.remove(subject);
        processThreadsWhenComplete();
        return;
    case Qn::ProfileRequest:
        // The sender's name is left out.
        if (cycle.awaitedProfiles.remove(subject))
            processThreadsWhenComplete();
        return;
    default:
        return;
    }
}

void NotificationHandler::onSafetyTimer()
{
    qCDebug(lcNotifications) << Q_FUNC_INFO;
    const bool wasBusy = bool(m_cycle);
    m_cycle.reset();
    // What is still on its way belongs to a cycle that is over.
    if (m_quillnet)
        m_quillnet->abortRequests({Qn::AllNotificationsRequest, Qn::EventDetailsRequest, Qn::ThreadsRequest,
                                   Qn::MessagesRequest, Qn::ProfileRequest});
    if (wasBusy)
        emit importFailed(QStringLiteral("no progress for %1 s").arg(SafetyTimeoutMs / 1000));
}

// Publishing and clearing.

void NotificationHandler::releaseNotifications()
{
    qDeleteAll(m_notifications);
    m_notifications.clear();
    qDeleteAll(m_groups);
    m_groups.clear();
}

void NotificationHandler::rereadNotifications()
{
    releaseNotifications();
    m_notifications = MNotification::notifications();
    m_groups = MNotificationGroup::notificationGroups();
}

MNotificationGroup *NotificationHandler::findGroup(const QString &eventType) const
{
    for (MNotificationGroup *group : m_groups) {
        if (group->eventType() == eventType)
            return group;
    }
    return nullptr;
}

std::unique_ptr<MNotificationGroup> NotificationHandler::takeGroup(const QString &eventType)
{
    MNotificationGroup *group = findGroup(eventType);
    if (group)
        m_groups.removeOne(group);
    return std::unique_ptr<MNotificationGroup>(group);
}

bool NotificationHandler::isWithdrawn(const QString &eventType) const
{
    return m_cycle && m_cycle->isWithdrawn(eventType);
}

void NotificationHandler::clear(const QString &eventType, bool refresh)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << eventType << refresh;
    // A switch that goes off during a cycle holds for what the cycle has still to publish.
    if (m_cycle)
        m_cycle->withdrawn.insert(eventType);
    cancelFlights(eventType);
    if (refresh)
        rereadNotifications();
    const auto withdraw = [&eventType](auto &objects) {
        for (auto it = objects.begin(); it != objects.end();) {
            if (!eventType.isEmpty() && (*it)->eventType() != eventType) {
                ++it;
                continue;
            }
            (*it)->remove();
            delete *it;
            it = objects.erase(it);
        }
    };
    withdraw(m_notifications);
    withdraw(m_groups);
}

void NotificationHandler::publish(const Publication &publication)
{
    if (isWithdrawn(publication.eventType)) {
        qCDebug(lcNotifications) << Q_FUNC_INFO << publication.eventType
                                 << "withdrawn during this cycle - nothing published";
        return;
    }
    if (publication.followsView && clientView() == publication.typeKey) {
        qCDebug(lcNotifications) << Q_FUNC_INFO << "The phone application shows" << publication.typeKey
                                 << "- nothing published";
        // What the application showed need not be notified later.
        markShown(publication.newKeys, publication.typeKey);
        m_shownContent.insert(publication.shownContent);
        emit newsRecorded(publication.typeKey, publication.newKeys, false);
        return;
    }
    auto flight = std::make_unique<InFlight>();
    flight->eventType = publication.eventType;
    flight->typeKey = publication.typeKey;
    flight->newKeys = publication.newKeys;
    flight->shownContent = publication.shownContent;
    flight->logFailure = publication.logFailure;
    flight->group = takeGroup(publication.eventType);
    if (!flight->group)
        flight->group = std::make_unique<MNotificationGroup>(publication.eventType);
    MNotificationGroup *group = flight->group.get();
    group->setCount(groupCount(publication.count));
    if (publication.hasSummary)
        group->setSummary(publication.summary);
    // Plain text: the framework escapes it for a server that reads markup.
    group->setBody(publication.body);
    const MRemoteAction action(OpenViewService, OpenViewPath, OpenViewInterface, OpenViewMethod,
                               {QVariant(publication.typeKey), QVariant(publication.actionId)});
    group->setAction(action);
    if (!publication.newKeys.isEmpty()) {
        flight->news = std::make_unique<MNotification>(publication.eventType);
        flight->news->setBody(publication.notificationBody);
        flight->news->setGroup(*group);
    }
    send(std::move(flight));
}

void NotificationHandler::republishStaleGroup(const QString &eventType)
{
    MNotificationGroup *group = findGroup(eventType);
    if (!group || group->isPublished() || isWithdrawn(eventType))
        return;
    // The server that showed it was replaced; what the user has not seen yet comes back, as it was.
    qCDebug(lcNotifications) << Q_FUNC_INFO << eventType;
    auto flight = std::make_unique<InFlight>();
    flight->eventType = eventType;
    flight->group = takeGroup(eventType);
    send(std::move(flight));
}

void NotificationHandler::send(std::unique_ptr<InFlight> flight)
{
    InFlight *sent = flight.get();
    m_inFlight.push_back(std::move(flight));
    connect(sent->group.get(), &MNotification::published, this, [this, sent](bool ok) {
        if (!ok && sent->logFailure)
            qCDebug(lcNotifications) << "Failed to publish..";
        answered(sent);
    });
    if (sent->news) {
        // Marked shown only once a server shows the news: otherwise the next cycle tells it.
        connect(sent->news.get(), &MNotification::published, this, [this, sent](bool ok) {
            if (ok) {
                markShown(sent->newKeys, sent->typeKey);
                m_shownContent.insert(sent->shownContent);
                emit newsRecorded(sent->typeKey, sent->newKeys, true);
            }
            answered(sent);
        });
    }
    ++sent->awaited;
    if (!sent->group->publish()) {
        if (sent->logFailure)
            qCDebug(lcNotifications) << "Failed to publish..";
        --sent->awaited;
    }
    if (sent->news) {
        ++sent->awaited;
        if (!sent->news->publish())
            --sent->awaited;
    }
    // Nothing to wait for; the step that published checks the end of the cycle itself.
    if (sent->awaited == 0)
        m_inFlight.pop_back();
}

void NotificationHandler::answered(InFlight *flight)
{
    if (--flight->awaited > 0)
        return;
    const auto it = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                 [flight](const std::unique_ptr<InFlight> &f) { return f.get() == flight; });
    if (it == m_inFlight.end())
        return;
    // Released once the signal that got here has returned.
    (*it)->group.release()->deleteLater();
    if ((*it)->news)
        (*it)->news.release()->deleteLater();
    m_inFlight.erase(it);
    endCheck();
}

void NotificationHandler::cancelFlights(const QString &eventType)
{
    bool cancelled = false;
    for (auto it = m_inFlight.begin(); it != m_inFlight.end();) {
        InFlight &flight = **it;
        if (!eventType.isEmpty() && flight.eventType != eventType) {
            ++it;
            continue;
        }
        qCDebug(lcNotifications) << Q_FUNC_INFO << flight.eventType;
        for (MNotification *object : {static_cast<MNotification *>(flight.group.get()), flight.news.get()}) {
            if (!object)
                continue;
            object->disconnect(this);
            object->remove();
        }
        flight.group.release()->deleteLater();
        if (flight.news)
            flight.news.release()->deleteLater();
        it = m_inFlight.erase(it);
        cancelled = true;
    }
    // The cycle may have waited for nothing else; not completed from within a step of it.
    if (cancelled && m_cycle)
        QMetaObject::invokeMethod(this, &NotificationHandler::endCheck, Qt::QueuedConnection);
}

template<typename Item, typename KeyOf>
NotificationHandler::Sorted<Item> NotificationHandler::sortOut(const QList<Item> &items, const QString &type,
                                                               KeyOf keyOf)
{
    QStringList keys;
    for (const Item &item : items)
        keys << std::invoke(keyOf, item);
    const QStringList seen = m_db->checkSeenItems(keys, type);
    const QStringList shown = shownItems(keys, type);
    // Each kind keeps the lines it has always logged while its items are sorted.
    const bool messages = type == Constants::MessageType;
    const bool general = type == Constants::NotificationType;
    const bool requests = type == Constants::FriendRequestType;
    if (messages || general) {
        qCDebug(lcNotifications) << (messages ? "Seen messages:" : "Seen notifications:")
                                 << Support::logText(seen.join(QLatin1Char(' ')));
        qCDebug(lcNotifications) << (messages ? "Shown messages:" : "Shown notifications:")
                                 << Support::logText(shown.join(QLatin1Char(' ')));
    }
    Sorted<Item> sorted;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QString key = Support::logText(keys.at(i));
        if (seen.contains(keys.at(i))) {
            if (messages)
                qCDebug(lcNotifications) << "Message" << key << " is already seen, skipping...";
            else if (general)
                qCDebug(lcNotifications) << "notif already seen, skipping";
            else if (requests)
                qCDebug(lcNotifications) << key << "friend req already seen, skipping";
            else
                qCDebug(lcNotifications) << key << "event already seen, skipping" << key;
            continue;
        }
        sorted.unseen << items.at(i);
        if (shown.contains(keys.at(i))) {
            if (messages)
                qCDebug(lcNotifications) << "Message" << key << " is already shown, skipping...";
            continue;
        }
        if (general)
            qCDebug(lcNotifications) << "notif item not shown already, adding to new";
        else if (requests)
            qCDebug(lcNotifications) << "Friendreq item not shown, adding" << key;
        else if (!messages)
            qCDebug(lcNotifications) << "Event item not shown already, adding to new" << key;
        sorted.fresh << items.at(i);
    }
    return sorted;
}

QStringList NotificationHandler::shownItems(const QStringList &keys, const QString &type)
{
    QStringList shown = m_db->checkShownItems(keys, type);
    const auto unrecorded = m_unrecordedShown.constFind(type);
    if (unrecorded == m_unrecordedShown.constEnd())
        return shown;
    for (const QString &key : keys) {
        if (unrecorded->contains(key) && !shown.contains(key))
            shown << key;
    }
    return shown;
}

QStringList NotificationHandler::recordShown(const QStringList &keys, const QString &type)
{
    // Keys recorded before count as recorded.
    if (m_db->markShown(keys, type) == keys.size())
        return {};
    const QStringList recorded = m_db->checkShownItems(keys, type);
    QStringList missing;
    for (const QString &key : keys) {
        if (!recorded.contains(key))
            missing << key;
    }
    return missing;
}

void NotificationHandler::markShown(const QStringList &keys, const QString &type)
{
    const QStringList missing = recordShown(keys, type);
    if (missing.isEmpty())
        return;
    QSet<QString> &kept = m_unrecordedShown[type];
    for (const QString &key : missing) {
        if (kept.size() >= MaxUnrecordedShown) {
            qCWarning(lcNotifications) << Q_FUNC_INFO << "Could not record" << Support::logText(key)
                                       << "as shown, nor keep it";
            continue;
        }
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Could not record" << Support::logText(key)
                                   << "as shown; kept until it can be";
        kept.insert(key);
    }
    if (kept.isEmpty())
        m_unrecordedShown.remove(type);
}

void NotificationHandler::recordUnrecordedShown()
{
    for (auto it = m_unrecordedShown.begin(); it != m_unrecordedShown.end();) {
        const QStringList missing = recordShown(it->values(), it.key());
        *it = QSet<QString>(missing.cbegin(), missing.cend());
        it = it->isEmpty() ? m_unrecordedShown.erase(it) : std::next(it);
    }
}

void NotificationHandler::itemSeen(QString id, QString type)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << Support::logText(id) << Support::logText(type);
    // Message threads are never recorded as seen from outside.
    if (type == Constants::MessageType || !Constants::findKind(&Constants::NotificationKind::typeKey, type))
        return;
    if (!m_db)
        return;
    // An item that was notified is in the shown table already; it becomes seen all the same.
    const QStringList ids {id};
    if (m_db->checkShownItems(ids, type).isEmpty())
        m_db->markShown(id, type);
    if (m_db->checkSeenItems(ids, type).isEmpty())
        m_db->markSeen(id, type);
    emit itemMarkedSeen(id, type);
}

QString NotificationHandler::clientView() const
{
    return m_socket->view();
}

// Friend requests and event invitations.

void NotificationHandler::processFriendRequests(Qn::QnUsers users)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << users.count();
    Sorted<Qn::QnUser> sorted = sortOut(users, Constants::FriendRequestType, &Qn::QnUser::id);
    users = sorted.unseen;
    const Qn::QnUsers &newRequests = sorted.fresh;

    if (users.isEmpty()) {
        qCDebug(lcNotifications) << "No friend requests left after checks.";
        clear(Constants::FriendRequestEventType, false);
        return;
    }
    if (newRequests.isEmpty()) {
        qCDebug(lcNotifications) << "No new friend requests, quitting";
        republishStaleGroup(Constants::FriendRequestEventType);
        return;
    }

    Publication publication;
    publication.eventType = Constants::FriendRequestEventType;
    publication.typeKey = Constants::FriendRequestType;
    publication.count = users.size();
    publication.hasSummary = true;
    if (users.size() == 1) {
        //% "Friend request from %1"
        publication.body = filled(qtTrId("qtn_qnk_new_friend_request_banner"), Support::isolated(users.first().name()));
        publication.actionId = users.first().id();
    } else {
        publication.body = qtTrId("qtn_qnk_new_friend_request_banner", pluralCount(users.size()));
    }
    //% "%n new friend request(s)"
    publication.notificationBody = qtTrId("qtn_qnk_notification_new_friend_request", pluralCount(newRequests.size()));
    for (const Qn::QnUser &user : std::as_const(newRequests))
        publication.newKeys << user.id();
    publish(publication);
}

void NotificationHandler::requestEventDetails(const Qn::QnEvents &invitations)
{
    QStringList ids;
    for (const Qn::QnEvent &event : invitations)
        ids << event.id();
    ids.removeDuplicates();
    if (ids.size() > MaxEventDetails) {
        qCWarning(lcNotifications) << Q_FUNC_INFO << "Asking for the first" << MaxEventDetails << "of" << ids.size()
                                   << "event invitations";
        ids = ids.mid(0, MaxEventDetails);
    }
    for (const QString &id : std::as_const(ids)) {
        if (m_quillnet->retrieveEventDetails(id) == Qn::StatusOk)
            m_cycle->awaitedEvents.insert(id);
    }
    qCDebug(lcNotifications) << Q_FUNC_INFO << "waiting for" << m_cycle->awaitedEvents.size() << "of"
                             << invitations.size();
}

void NotificationHandler::onEventDetailsRetrieved(Qn::QnEvent event)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << bool(m_cycle) << Support::logText(event.id());
    // Details this cycle did not ask for, or asked for already.
    if (!m_cycle || !m_cycle->awaitedEvents.remove(event.id()))
        return;
    m_cycle->events.append(event);
    if (m_cycle->awaitedEvents.isEmpty())
        processEventInvs(m_cycle->events);
}

void NotificationHandler::processEventInvs(Qn::QnEvents events)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << events.count();
    Sorted<Qn::QnEvent> sorted = sortOut(events, Constants::EventType, &Qn::QnEvent::id);
    events = sorted.unseen;
    const Qn::QnEvents &newInvitations = sorted.fresh;
    QStringList owners;
    for (const Qn::QnEvent &event : std::as_const(events)) {
        const QString owner = Support::isolated(event.owner().name());
        if (!owner.isEmpty() && !owners.contains(owner))
            owners << owner;
    }

    if (events.isEmpty() && m_cycle->eventDetailsFailed) {
        // The invitations without details may be unseen still.
        qCDebug(lcNotifications) << "No event invitations left after checks, some without details: left as they are";
    } else if (events.isEmpty()) {
        qCDebug(lcNotifications) << "No event invitations left after checks.";
        clear(Constants::EventsEventType, false);
    } else if (newInvitations.isEmpty()) {
        qCDebug(lcNotifications) << "Nothing to add";
        republishStaleGroup(Constants::EventsEventType);
    } else {
        Publication publication;
        publication.eventType = Constants::EventsEventType;
        publication.typeKey = Constants::EventType;
        publication.followsView = false;
        publication.logFailure = true;
        publication.count = events.size();
        publication.hasSummary = true;
        publication.summary = owners.join(QStringLiteral(", "));
        //% "Event invitations: %1"
        publication.body = filled(qtTrId("qtn_qnk_new_event_banner"), qint64(events.size()));
        if (events.size() == 1)
            publication.actionId = events.first().id();
        //% "%n new event invitation(s)"
        publication.notificationBody = qtTrId("qtn_qnk_notification_event", pluralCount(newInvitations.size()));
        for (const Qn::QnEvent &event : std::as_const(newInvitations))
            publication.newKeys << event.id();
        publish(publication);
    }
    endCheck();
}

// General notifications.

void NotificationHandler::processNotifications(const Qn::QnNotificationList &notifications)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << notifications.count();
    Qn::QnNotificationList candidates;
    for (const Qn::QnNotification &notification : notifications) {
        if (notification.unread() && NotifiedObjectTypes.contains(notification.objectType()))
            candidates << notification;
    }

    const Sorted<Qn::QnNotification> sorted
            = sortOut(candidates, Constants::NotificationType, [](const Qn::QnNotification &notification) {
                  return itemKey(notification.id(), notification.updatedTime());
              });
    const qsizetype remaining = sorted.unseen.size();
    QStringList newKeys;
    for (const Qn::QnNotification &notification : sorted.fresh)
        newKeys << itemKey(notification.id(), notification.updatedTime());

    if (remaining == 0) {
        qCDebug(lcNotifications) << "No notif left after checks.";
        clear(Constants::NotificationsEventType, false);
        return;
    }
    if (newKeys.isEmpty()) {
        qCDebug(lcNotifications) << Q_FUNC_INFO << "Nothing to add";
        republishStaleGroup(Constants::NotificationsEventType);
        return;
    }

    Publication publication;
    publication.eventType = Constants::NotificationsEventType;
    publication.typeKey = Constants::NotificationType;
    publication.logFailure = true;
    publication.count = remaining;
    //% "%n new notification(s)"
    publication.body = qtTrId("qtn_qnk_notification_new_notification", pluralCount(remaining));
    publication.notificationBody = qtTrId("qtn_qnk_notification_new_notification", pluralCount(newKeys.size()));
    publication.newKeys = newKeys;
    publish(publication);
}

// Message threads.

void NotificationHandler::onThreadsRetrieved(Qn::MessageBoxType folder, Qn::QnThreads threads)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << bool(m_cycle) << int(folder);
    // Only the inbox this cycle asked for, once.
    if (!m_cycle || !m_cycle->awaitingThreads || folder != Qn::Inbox || !m_quillnet)
        return;
    qCDebug(lcNotifications) << Q_FUNC_INFO << threads.count();
    NotificationCycle &cycle = *m_cycle;
    cycle.awaitingThreads = false;

    for (const Qn::QnThread &thread : std::as_const(threads)) {
        if (thread.unread() <= 0 || thread.senders().isEmpty())
            continue;
        const Qn::QnUserRef sender = thread.senders().first();
        if (sender.name().isEmpty() && !cycle.awaitedProfiles.contains(sender.id())
            && m_quillnet->retrieveProfile(nullptr, sender.id(), Qn::RetrieveFromNetwork) == Qn::StatusOk) {
            m_profileNames.insert(sender.id(), QString());
            cycle.awaitedProfiles.insert(sender.id());
        }
        Qn::QnDataFilter filter;
        filter.setSubjectId(thread.id());
        filter.setLimit(1);
        if (m_quillnet->retrieveMessages(nullptr, filter, Qn::RetrieveFromNetwork) == Qn::StatusOk) {
            cycle.awaitedMessages.insert(thread.id());
            cycle.latestContent.insert(thread.id(), QString());
        }
        cycle.threads.append(thread);
    }
    processThreadsWhenComplete();
}

void NotificationHandler::onMessagesUpdated(QString threadId, Qn::QnMessages messages)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO;
    // Not requested in this cycle, or answered already.
    if (!m_cycle || !m_cycle->awaitedMessages.remove(threadId))
        return;
    qCDebug(lcNotifications) << Q_FUNC_INFO << Support::logText(threadId) << messages.count();
    if (!messages.isEmpty())
        m_cycle->latestContent.insert(threadId, messages.first().content());
    processThreadsWhenComplete();
}

void NotificationHandler::onProfileRetrieved(QString profileId)
{
    if (!m_cycle || !m_quillnet || !m_cycle->awaitedProfiles.remove(profileId))
        return;
    qCDebug(lcNotifications) << Q_FUNC_INFO << Support::logText(profileId);
    Qn::QnUser user;
    m_quillnet->retrieveProfile(&user, profileId, Qn::RetrieveFromCache);
    m_profileNames.insert(profileId, user.name());
    processThreadsWhenComplete();
}

void NotificationHandler::processThreadsWhenComplete()
{
    if (m_cycle && m_cycle->threadsComplete())
        processMessageThreads(m_cycle->threads);
}

void NotificationHandler::processMessageThreads(Qn::QnThreads threads)
{
    qCDebug(lcNotifications) << Q_FUNC_INFO << threads.count();
    m_cycle->threadsOpen = false;
    // A copy: publishing may end the cycle.
    const QHash<QString, QString> latestContent = m_cycle->latestContent;

    const Sorted<Qn::QnThread> sorted = sortOut(threads, Constants::MessageType, [](const Qn::QnThread &thread) {
        return itemKey(thread.id(), thread.updatedTime());
    });
    threads = sorted.unseen;

    Qn::QnThreads newThreads;
    qint64 unreadSum = 0;
    QStringList names;
    // A thread shown under its current key is no news, and tells no name.
    for (const Qn::QnThread &thread : sorted.fresh) {
        const QString latest = latestContent.value(thread.id());
        const auto remembered = m_shownContent.constFind(thread.id());
        // The same latest text under a new key is old news.
        const bool isNew = remembered == m_shownContent.constEnd() || remembered.value() != latest;
        if (isNew) {
            newThreads << thread;
            unreadSum += thread.unread();
        }
        if (!thread.senders().isEmpty()) {
            const Qn::QnUserRef sender = thread.senders().first();
            const QString name
                    = Support::isolated(sender.name().isEmpty() ? m_profileNames.value(sender.id()) : sender.name());
            // A name the profile did not tell leaves no gap in the summary.
            if (!name.isEmpty() && !names.contains(name))
                names << name;
        }
        // A new thread's text is remembered once it was shown.
        if (!isNew)
            m_shownContent.insert(thread.id(), latest);
    }

    if (newThreads.isEmpty()) {
        qCDebug(lcNotifications) << Q_FUNC_INFO << "Nothing to add.";
        republishStaleGroup(Constants::MessagesEventType);
        endCheck();
        return;
    }

    Publication publication;
    publication.eventType = Constants::MessagesEventType;
    publication.typeKey = Constants::MessageType;
    publication.count = unreadSum;
    publication.hasSummary = true;
    publication.summary = m_locale->joinStringList(names);
    if (threads.size() == 1 && unreadSum == 1) {
        publication.body = latestContent.value(threads.first().id());
    } else {
        //% "Unread messages: %1"
        publication.body = filled(qtTrId("qtn_qnk_new_message_banner"), unreadSum);
    }
    if (threads.size() == 1)
        publication.actionId = threads.first().id();
    //% "%n new message(s)"
    publication.notificationBody = qtTrId("qtn_qnk_notification_new_message", pluralCount(unreadSum));
    for (const Qn::QnThread &thread : std::as_const(newThreads)) {
        publication.newKeys << itemKey(thread.id(), thread.updatedTime());
        publication.shownContent.insert(thread.id(), latestContent.value(thread.id()));
    }
    publish(publication);
    endCheck();
}
