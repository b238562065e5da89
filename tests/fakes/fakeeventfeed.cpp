#include "fakes/fakeeventfeed.h"

#include <QDBusArgument>
#include <QDBusMetaType>

FakeEventFeed::FakeEventFeed(QObject *parent)
    : FakeBusService(QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"), parent)
{}

qlonglong FakeEventFeed::addItem(const QVariantMap &parameters)
{
    record("addItem");
    if (hangs())
        return 0;
    if (failAdds)
        return -1;
    const qlonglong id = mNextId++;
    items.insert(id, parameters);
    return answer(id);
}

void FakeEventFeed::removeItem(qlonglong id)
{
    record("removeItem");
    removals << id;
    items.remove(id);
}

void FakeEventFeed::removeItemsBySourceName(const QString &sourceName)
{
    record("removeItemsBySourceName");
    items.removeIf([&sourceName](const auto &item) {
        return item.value().value(QStringLiteral("sourceName")).toString() == sourceName;
    });
}

void FakeEventFeed::updateItem(qlonglong id, const QVariantMap &parameters)
{
    record("updateItem");
    updates << qMakePair(id, parameters);
    const auto it = items.find(id);
    for (auto p = parameters.constBegin(); it != items.end() && p != parameters.constEnd(); ++p)
        it->insert(p.key(), p.value());
}

void FakeEventFeed::answerHeld()
{
    for (const QDBusMessage &call : takeUnanswered()) {
        const qlonglong id = mNextId++;
        items.insert(id, qdbus_cast<QVariantMap>(call.arguments().value(0)));
        mConnection.send(call.createReply(QVariant::fromValue(id)));
    }
}
