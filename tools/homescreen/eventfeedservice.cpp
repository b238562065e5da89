#include "homescreen/eventfeedservice.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusReply>

#include <limits>

#include "eventfeedadaptor.h"
#include "homescreen/itemtext.h"
#include "platform/support/logtext.h"

namespace HomeScreen {

namespace {

constexpr int MaxKeyLength = 64;

// The keys publishers fill and the one type each must have.
int expectedType(const QString &key)
{
    static const QLatin1String texts[] = {
            QLatin1String("icon"),
            QLatin1String("title"),
            QLatin1String("body"),
            QLatin1String("sourceName"),
            QLatin1String("sourceDisplayName"),
            QLatin1String("timestamp"),
            QLatin1String("footer"),
            QLatin1String("action"),
    };
    for (const QLatin1String &text : texts) {
        if (key == text)
            return QMetaType::QString;
    }
    if (key == QLatin1String("imageList"))
        return QMetaType::QStringList;
    return QMetaType::UnknownType;
}

// Other keys may hold these; nested containers and bus handles have no meaning for an item.
bool isPlainType(int type)
{
    switch (type) {
    case QMetaType::QString:
    case QMetaType::QStringList:
    case QMetaType::Bool:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

bool isKeyName(const QString &key)
{
    if (key.isEmpty() || key.size() > MaxKeyLength)
        return false;
    for (const QChar ch : key) {
        const char16_t c = ch.unicode();
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
                || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

QString busSignature(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    const char *signature = QDBusMetaType::typeToSignature(value.metaType());
    return signature ? QLatin1String(signature) : QLatin1String(value.typeName());
}

QString signatureOf(int type)
{
    return QLatin1String(QDBusMetaType::typeToSignature(QMetaType(type)));
}

qint64 sizeOf(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return value.toString().size();
    case QMetaType::QStringList: {
        qint64 size = 0;
        for (const QString &entry : value.toStringList())
            size += entry.size() + 1;
        return size;
    }
    default:
        return 8;
    }
}

} // namespace

EventFeedService::EventFeedService(const Limits &limits, QObject *parent)
    : QObject(parent)
    , mLimits(limits)
    , mConnectionName(QStringLiteral("homescreen-eventfeed-%1").arg(quintptr(this), 0, 16))
    , mConnection(mConnectionName)
{
    new EventFeedAdaptor(this);
}

EventFeedService::~EventFeedService()
{
    if (mRegistered) {
        mConnection.unregisterObject(QLatin1String(ObjectPath));
        mConnection.unregisterService(QLatin1String(ServiceName));
    }
    QDBusConnection::disconnectFromBus(mConnectionName);
}

bool EventFeedService::registerOnBus()
{
    if (mRegistered)
        return true;
    mConnection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName);
    if (!mConnection.isConnected()) {
        mError = QStringLiteral("no session bus: %1").arg(mConnection.lastError().message());
        return false;
    }
    const QString name = QLatin1String(ServiceName);
    QDBusConnectionInterface *bus = mConnection.interface();
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
            name, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        mError = QStringLiteral("could not ask for the name %1: %2").arg(name, reply.error().message());
        return false;
    }
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        const QDBusReply<uint> pid = bus->servicePid(name);
        mError = QStringLiteral("the name %1 is taken by %2 (process %3)")
                         .arg(name, bus->serviceOwner(name).value(),
                              pid.isValid() ? QString::number(pid.value()) : QStringLiteral("unknown"));
        return false;
    }
    if (!mConnection.registerObject(QLatin1String(ObjectPath), this, QDBusConnection::ExportAdaptors)) {
        mError = QStringLiteral("the object %1 is taken on this connection").arg(QLatin1String(ObjectPath));
        bus->unregisterService(name);
        return false;
    }
    // The bus tells of its end only locally, with a signal found by name.
    mConnection.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                        QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
                        SLOT(onDisconnected()));
    mRegistered = true;
    mError.clear();
    return true;
}

void EventFeedService::requestRefresh()
{
    emit changeReported(QStringLiteral("refresh-requested"));
    emit refreshRequested();
}

qlonglong EventFeedService::addItem(const QVariantMap &parameters)
{
    QString why = refusal(parameters);
    if (why.isEmpty() && mItems.size() >= mLimits.maxItems)
        why = QStringLiteral("the feed is full (%1 items)").arg(mItems.size());
    if (why.isEmpty() && mLastId == std::numeric_limits<qlonglong>::max())
        why = QStringLiteral("every id has been given out");
    if (!why.isEmpty()) {
        qWarning().noquote() << "addItem refused:" << why;
        return -1;
    }
    const qlonglong id = ++mLastId;
    mItems.insert(id, parameters);
    const QString fields = shownFields(parameters);
    emit changeReported(QStringLiteral("added %1").arg(id)
                        + (fields.isEmpty() ? QString() : QLatin1Char(' ') + fields));
    return id;
}

void EventFeedService::updateItem(qlonglong id, const QVariantMap &parameters)
{
    const auto it = mItems.find(id);
    if (it == mItems.end()) {
        qWarning().noquote() << "updateItem: no item" << id;
        return;
    }
    QString why = refusal(parameters);
    QVariantMap merged;
    if (why.isEmpty()) {
        merged = it.value();
        merged.insert(parameters);
        why = refusal(merged);
    }
    if (!why.isEmpty()) {
        qWarning().noquote() << "updateItem" << id << "refused:" << why;
        return;
    }
    it.value() = merged;
    const QString fields = shownFields(parameters);
    emit changeReported(QStringLiteral("updated %1").arg(id)
                        + (fields.isEmpty() ? QString() : QLatin1Char(' ') + fields));
}

void EventFeedService::removeItem(qlonglong id)
{
    if (!mItems.remove(id)) {
        qWarning().noquote() << "removeItem: no item" << id;
        return;
    }
    emit changeReported(QStringLiteral("removed %1").arg(id));
}

void EventFeedService::removeItemsBySourceName(const QString &sourceName)
{
    const QString key = QStringLiteral("sourceName");
    int count = 0;
    for (auto it = mItems.begin(); it != mItems.end();) {
        const auto source = it.value().constFind(key);
        if (source != it.value().constEnd() && source.value().toString() == sourceName) {
            it = mItems.erase(it);
            ++count;
        } else {
            ++it;
        }
    }
    // The count ends the line, so a name with blanks still reads back.
    emit changeReported(QStringLiteral("removed-source %1 %2").arg(escaped(Support::logText(sourceName))).arg(count));
}

void EventFeedService::onDisconnected()
{
    qWarning().noquote() << "the session bus is gone";
    emit busLost();
}

QString EventFeedService::refusal(const QVariantMap &item) const
{
    if (item.size() > mLimits.maxKeys)
        return QStringLiteral("%1 keys, at most %2").arg(item.size()).arg(mLimits.maxKeys);
    qint64 size = 0;
    for (auto it = item.constBegin(); it != item.constEnd(); ++it) {
        const QString &key = it.key();
        if (!isKeyName(key)) {
            return QStringLiteral("the key %1 is not 1 to %2 letters, digits, \"_\", \"-\" or \".\"")
                    .arg(quoted(key))
                    .arg(MaxKeyLength);
        }
        const int type = it.value().metaType().id();
        const int expected = expectedType(key);
        if (expected != QMetaType::UnknownType && type != expected) {
            return QStringLiteral("%1 is of D-Bus type %2, not %3")
                    .arg(key, quoted(busSignature(it.value())), quoted(signatureOf(expected)));
        }
        if (expected == QMetaType::UnknownType && !isPlainType(type)) {
            return QStringLiteral("%1 is of D-Bus type %2, which an item cannot hold")
                    .arg(key, quoted(busSignature(it.value())));
        }
        size += key.size() + sizeOf(it.value());
        if (size > mLimits.maxItemSize)
            return QStringLiteral("more than %1 characters").arg(mLimits.maxItemSize);
    }
    return QString();
}

} // namespace HomeScreen
