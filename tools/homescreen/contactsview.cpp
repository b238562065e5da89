#include "homescreen/contactsview.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDataStream>
#include <QDateTime>
#include <QIODevice>
#include <QRegularExpression>
#include <QtDebug>

#include <algorithm>

#include "homescreen/busvalues.h"
#include "homescreen/itemtext.h"
#include "platform/socialprovider/socialdatarequest.h"
#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialprovidererror.h"
#include "platform/support/logtext.h"

namespace HomeScreen {

namespace {

// Contact ids are printed unquoted and joined with "|" into an id filter, whose patterns the
// provider takes apart at "|", "(", ")" and "\b": an id holds none of these, no blank and no control
// character, and is never cut.
bool isContactId(const QString &id)
{
    if (id.isEmpty() || id.size() > Support::MaxLoggedLength)
        return false;
    for (const QChar ch : id) {
        if (ch.isSpace() || ch.category() == QChar::Other_Control || ch == QLatin1Char('|') || ch == QLatin1Char('(')
            || ch == QLatin1Char(')') || ch == QLatin1Char('\\'))
            return false;
    }
    return true;
}

// One record of the framework's form, filling the whole of bytes.
bool readRecord(const QByteArray &bytes, SocialGenericData *record)
{
    QDataStream in(bytes);
    in >> *record;
    return in.status() == QDataStream::Ok && in.atEnd();
}

// The properties a contact line shows first, in this order, with their keys there.
const QList<QPair<QString, QString>> &shownProperties()
{
    static const QList<QPair<QString, QString>> shown = {
            {SocialNetworkPerson::FirstName, QStringLiteral("first")},
            {SocialNetworkPerson::LastName, QStringLiteral("last")},
            {SocialNetworkPerson::Status, QStringLiteral("status")},
            {SocialNetworkPerson::PhoneNumber, QStringLiteral("phone")},
            {QStringLiteral("EmailAddresses"), QStringLiteral("email")},
            {QStringLiteral("Websites"), QStringLiteral("websites")},
            {QStringLiteral("Birthday"), QStringLiteral("birthday")},
            {QStringLiteral("ProfileLink"), QStringLiteral("profile")},
            {SocialNetworkPerson::AboutMe, QStringLiteral("about")},
            {SocialNetworkPerson::StatusChangeTime, QStringLiteral("status-time")},
            {SocialNetworkPerson::Relationship, QStringLiteral("relationship")},
            {SocialGenericData::ParentAccount, QStringLiteral("account")},
            {SocialServiceAccount::SocialServiceId, QStringLiteral("service")},
    };
    return shown;
}

QString shownContactValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::QDateTime)
        return quoted(value.toDateTime().toUTC().toString(Qt::ISODate));
    return shownValue(value);
}

// "contact <id> first=\"Ada\" ...": the known properties in a fixed order, then at most
// MaxShownEntries others with plain names in the record's order; a property without a value is left
// out.
QString contactLine(const SocialGenericData &person, const QString &id)
{
    QStringList fields = {QStringLiteral("contact"), id};
    for (const auto &[property, key] : shownProperties()) {
        const QVariant value = person.property(property);
        if (value.isValid())
            fields << key + QLatin1Char('=') + shownContactValue(value);
    }
    int others = 0;
    bool leftOut = false;
    for (const QString &name : person.propertyNames()) {
        if (name == SocialGenericData::Id
            || std::any_of(shownProperties().cbegin(), shownProperties().cend(),
                           [&name](const auto &shown) { return shown.first == name; }))
            continue;
        const QVariant value = person.property(name);
        if (!value.isValid())
            continue;
        if (others == MaxShownEntries || !isKeyName(name)) {
            leftOut = true;
            continue;
        }
        fields << name + QLatin1Char('=') + shownContactValue(value);
        ++others;
    }
    if (leftOut)
        fields << QStringLiteral("... (%1 properties)").arg(person.propertyCount());
    return fields.join(QLatin1Char(' '));
}

QVariantMap shownSummary(const SocialGenericData &person)
{
    const std::pair<QString, QString> kept[] = {
            {SocialNetworkPerson::FirstName, QStringLiteral("first")},
            {SocialNetworkPerson::LastName, QStringLiteral("last")},
            {SocialNetworkPerson::Status, QStringLiteral("status")},
            {SocialNetworkPerson::StatusChangeTime, QStringLiteral("statusTime")},
    };
    QVariantMap summary;
    for (const auto &[property, key] : kept) {
        const QVariant value = person.property(property);
        if (value.isValid())
            summary.insert(key, value);
    }
    return summary;
}

// The id of a person record, or the empty text when it is no person or its id is not usable.
QString personId(const SocialGenericData &record)
{
    const QVariant id = record.property(SocialGenericData::Id);
    if (record.className() != SocialNetworkPerson::ClassName || id.typeId() != QMetaType::QString
        || !isContactId(id.toString()))
        return QString();
    return id.toString();
}

} // namespace

ContactsView::ContactsView(QObject *parent)
    : QObject(parent)
    , mConnectionName(QStringLiteral("homescreen-contacts-%1").arg(quintptr(this), 0, 16))
    , mConnection(mConnectionName)
{}

ContactsView::~ContactsView()
{
    QDBusConnection::disconnectFromBus(mConnectionName);
}

bool ContactsView::start()
{
    if (mWatcher)
        return true;
    mConnection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName);
    if (!mConnection.isConnected()) {
        mError = QStringLiteral("no session bus: %1").arg(mConnection.lastError().message());
        return false;
    }
    const QString service = QLatin1String(ProviderService);
    const QString path = QLatin1String(ProviderPath);
    const QString interface = QLatin1String(ProviderInterface);
    // Subscribed to before anything is asked, so that no answer passes unseen; only the name's owner
    // is heard.
    mConnection.connect(service, path, interface, QStringLiteral("requestFinished"), this,
                        SLOT(onRequestFinished(int, QString, QByteArray, QByteArray)));
    mConnection.connect(service, path, interface, QStringLiteral("personsUpdate"), this,
                        SLOT(onPersonsUpdate(QVariantList, QStringList)));
    mConnection.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                        QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                        SLOT(onDisconnected()));
    mWatcher = new QDBusServiceWatcher(service, mConnection, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(mWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) { onOwnerChanged(newOwner); });
    // Watched first, then looked at: a provider that comes meanwhile is asked once, as its owner
    // shows.
    const QDBusReply<QString> owner = mConnection.interface()->serviceOwner(service);
    if (owner.isValid())
        onOwnerChanged(owner.value());
    mError.clear();
    return true;
}

bool ContactsView::requestAll()
{
    if (mOwner.isEmpty()) {
        qWarning("contacts: no social provider %s on the bus", ProviderService);
        return false;
    }
    sendRequest({});
    return true;
}

void ContactsView::onOwnerChanged(const QString &newOwner)
{
    if (newOwner == mOwner)
        return;
    // Requests to an earlier owner are answered by nobody.
    mPending.clear();
    mProgress.clear();
    mOwner = newOwner;
    if (!mOwner.isEmpty())
        sendRequest({});
}

void ContactsView::sendRequest(const QStringList &ids)
{
    const QString requestId
            = QStringLiteral("homescreen-%1-%2").arg(QCoreApplication::applicationPid()).arg(++mLastRequest);
    // Without a filter the provider answers with all persons; an id filter lists the ids as
    // alternatives, which the provider reads as plain text.
    SocialGetPersonsRequest persons;
    if (!ids.isEmpty())
        persons.setPropertyFilter({{SocialGenericData::Id, QRegularExpression(ids.join(QLatin1Char('|')))}});
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    persons.writeParametersToStream(out);

    mPending << requestId;
    if (mPending.size() > MaxPendingRequests)
        mProgress.remove(mPending.takeFirst());
    QDBusMessage call
            = QDBusMessage::createMethodCall(QLatin1String(ProviderService), QLatin1String(ProviderPath),
                                             QLatin1String(ProviderInterface), QStringLiteral("performRequest"));
    call << int(SocialDataRequest::PersonsType) << requestId << request;
    auto *watcher = new QDBusPendingCallWatcher(mConnection.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, requestId] {
        watcher->deleteLater();
        if (!watcher->isError())
            return;
        // No answer will come for it.
        mPending.removeOne(requestId);
        mProgress.remove(requestId);
        qWarning().noquote() << "contacts: the provider did not take request" << requestId << "-"
                             << quoted(watcher->error().message());
    });
}

void ContactsView::onRequestFinished(int requestType, const QString &requestId, const QByteArray &answer,
                                     const QByteArray &error)
{
    // Every caller's answers reach every listener: only ours count.
    if (!mPending.contains(requestId))
        return;
    // A large answer comes in parts, in order; the request is done with its last part.
    Progress progress = mProgress.take(requestId);
    mPending.removeOne(requestId);
    if (requestType != SocialDataRequest::PersonsType) {
        qWarning("contacts: the answer to %s is of type %d", qPrintable(requestId), requestType);
        return;
    }
    if (!error.isEmpty()) {
        SocialProviderError providerError;
        QDataStream in(error);
        in >> providerError;
        if (in.status() != QDataStream::Ok || !in.atEnd()) {
            qWarning("contacts: the error in the answer to %s does not read", qPrintable(requestId));
            return;
        }
        emit changeReported(QStringLiteral("contacts-error type=%1 description=%2")
                                    .arg(providerError.type())
                                    .arg(quoted(providerError.description())));
        return;
    }
    SocialGetPersonsRequest persons;
    QDataStream in(answer);
    int part = 0;
    bool last = false;
    if (!persons.readAnswerFromStream(in, &part, &last)) {
        qWarning("contacts: the answer to %s does not read", qPrintable(requestId));
        return;
    }
    if (part != progress.nextPart) {
        qWarning("contacts: part %d of the answer to %s came where part %d was due", part, qPrintable(requestId),
                 progress.nextPart);
        return;
    }
    const QList<SocialNetworkPerson> records = persons.persons();
    int shown = progress.shown;
    if (shown < MaxContactsPerAnswer && shown + records.size() > MaxContactsPerAnswer)
        qWarning("contacts: the answer to %s holds more than %d persons; the first %d are shown", qPrintable(requestId),
                 MaxContactsPerAnswer, MaxContactsPerAnswer);
    int unusable = 0;
    for (int i = 0; i < records.size() && shown < MaxContactsPerAnswer; ++i) {
        const QString id = personId(records.at(i));
        if (id.isEmpty()) {
            ++unusable;
            continue;
        }
        emit changeReported(contactLine(records.at(i), id));
        emit contactReceived(id, shownSummary(records.at(i)));
        ++shown;
    }
    if (unusable > 0)
        qWarning("contacts: %d persons of the answer to %s have no usable id", unusable, qPrintable(requestId));
    if (last) {
        emit changeReported(QStringLiteral("contacts %1").arg(shown));
    } else {
        mPending << requestId;
        mProgress.insert(requestId, {part + 1, shown});
    }
}

void ContactsView::onPersonsUpdate(const QVariantList &data, const QStringList &updatedProperties)
{
    Q_UNUSED(updatedProperties)
    emit changeReported(QStringLiteral("persons-update %1").arg(data.size()));
    QStringList ids;
    int unusable = 0;
    for (int i = 0; i < data.size() && i < MaxPersonsPerUpdate; ++i) {
        const QVariant &item = data.at(i);
        SocialGenericData record;
        const QString id = item.typeId() == QMetaType::QByteArray && readRecord(item.toByteArray(), &record)
                ? personId(record)
                : QString();
        if (id.isEmpty())
            ++unusable;
        else if (!ids.contains(id))
            ids << id;
    }
    if (unusable > 0)
        qWarning("contacts: %d announced records are not persons with a usable id", unusable);
    if (data.size() > MaxPersonsPerUpdate)
        qWarning("contacts: %d persons announced at once; the first %d are asked for", int(data.size()),
                 MaxPersonsPerUpdate);
    if (!ids.isEmpty() && !mOwner.isEmpty())
        sendRequest(ids);
}

void ContactsView::onDisconnected()
{
    emit busLost();
}

} // namespace HomeScreen
