#include "fakes/fakeeventfeed.h"

#include <QDBusMessage>

namespace {
const QString ServiceName = QStringLiteral("com.tarvo.home.EventFeed");
const QString ConnectionName = QStringLiteral("fake-event-feed");
} // namespace

FakeEventFeed::FakeEventFeed(QObject *parent)
    : QObject(parent)
    , mConnection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, ConnectionName))
{}

FakeEventFeed::~FakeEventFeed()
{
    mConnection.unregisterObject(QStringLiteral("/eventfeed"));
    mConnection.unregisterService(ServiceName);
    QDBusConnection::disconnectFromBus(ConnectionName);
}

bool FakeEventFeed::registerOnBus()
{
    return mConnection.isConnected() && mConnection.registerService(ServiceName)
            && mConnection.registerObject(QStringLiteral("/eventfeed"), this,
                                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
}

void FakeEventFeed::record(const char *member)
{
    const QString signature = calledFromDBus() ? message().signature() : QStringLiteral("(local)");
    calls << QStringLiteral("%1 %2").arg(QLatin1String(member), signature);
}

qlonglong FakeEventFeed::addItem(const QVariantMap &parameters)
{
    record("addItem");
    if (failAdds)
        return -1;
    const qlonglong id = mNextId++;
    items.insert(id, parameters);
    return id;
}

void FakeEventFeed::removeItem(qlonglong id)
{
    record("removeItem");
    items.remove(id);
}

void FakeEventFeed::removeItemsBySourceName(const QString &sourceName)
{
    record("removeItemsBySourceName");
    for (auto it = items.begin(); it != items.end();) {
        if (it.value().value(QStringLiteral("sourceName")).toString() == sourceName)
            it = items.erase(it);
        else
            ++it;
    }
}

void FakeEventFeed::updateItem(qlonglong id, const QVariantMap &parameters)
{
    record("updateItem");
    auto it = items.find(id);
    if (it == items.end())
        return;
    for (auto p = parameters.constBegin(); p != parameters.constEnd(); ++p)
        it.value().insert(p.key(), p.value());
}
