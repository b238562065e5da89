#include "homescreen/eventfeedservice.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QtDebug>

#include <limits>

#include "eventfeedadaptor.h"
#include "homescreen/busvalues.h"
#include "homescreen/itemtext.h"
#include "platform/support/logtext.h"

namespace HomeScreen {

namespace {

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

} // namespace

EventFeedService::EventFeedService(const Limits &limits, QObject *parent)
    : BusService(QLatin1String(ServiceName), QLatin1String(ObjectPath), parent)
    , mLimits(limits)
{
    new EventFeedAdaptor(this);
}

EventFeedService::~EventFeedService() = default;

void EventFeedService::requestRefresh()
{
    emit changeReported(QStringLiteral("refresh-requested"));
    emit refreshRequested();
}

void EventFeedService::answerHeld()
{
    for (const QDBusMessage &call : takeHeld())
        send(call.createReply(QVariant::fromValue(addItem(qdbus_cast<QVariantMap>(call.arguments().value(0))))));
}

qlonglong EventFeedService::addItem(const QVariantMap &parameters)
{
    if (taken(true))
        return 0;
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
    return answered(id);
}

void EventFeedService::updateItem(qlonglong id, const QVariantMap &parameters)
{
    if (taken(false))
        return;
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
    if (taken(false))
        return;
    if (!mItems.remove(id)) {
        qWarning().noquote() << "removeItem: no item" << id;
        return;
    }
    emit changeReported(QStringLiteral("removed %1").arg(id));
}

void EventFeedService::removeItemsBySourceName(const QString &sourceName)
{
    if (taken(false))
        return;
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
    emit changeReported(
            QStringLiteral("removed-source %1 %2").arg(escaped(Support::logText(sourceName)), QString::number(count)));
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
                    .arg(quoted(key), QString::number(MaxKeyLength));
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
        size += key.size() + textSize(it.value());
        if (size > mLimits.maxItemSize)
            return QStringLiteral("more than %1 characters").arg(mLimits.maxItemSize);
    }
    return QString();
}

} // namespace HomeScreen
