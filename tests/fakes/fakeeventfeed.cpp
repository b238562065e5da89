#include "fakes/fakeeventfeed.h"

#include <QDBusMessage>
#include <QDebug>

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
    if (hung && calledFromDBus()) {
        setDelayedReply(true);
        mUnanswered << message();
        return 0;
    }
    if (failAdds)
        return -1;
    const qlonglong id = mNextId++;
    items.insert(id, parameters);
    return id;
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
    updates << qMakePair(id, parameters);
    auto it = items.find(id);
    if (it == items.end())
        return;
    for (auto p = parameters.constBegin(); p != parameters.constEnd(); ++p)
        it.value().insert(p.key(), p.value());
}

FakeEventFeedThread::~FakeEventFeedThread()
{
    stop();
}

bool FakeEventFeedThread::start()
{
    if (mFeed)
        return true;
    mThread.start();
    mFeed = new FakeEventFeed;
    mFeed->moveToThread(&mThread);
    bool registered = false;
    run([&registered](FakeEventFeed &feed) { registered = feed.registerOnBus(); });
    return registered;
}

void FakeEventFeedThread::stop()
{
    if (!mFeed)
        return;
    // Back to this thread, so that it is deleted where it lives.
    QThread *here = QThread::currentThread();
    run([here](FakeEventFeed &feed) { feed.moveToThread(here); });
    delete mFeed;
    mFeed = nullptr;
    mThread.quit();
    mThread.wait();
}

void FakeEventFeedThread::run(const std::function<void(FakeEventFeed &)> &work)
{
    FakeEventFeed *feed = mFeed;
    if (feed)
        QMetaObject::invokeMethod(
                feed, [feed, &work] { work(*feed); }, Qt::BlockingQueuedConnection);
}

void FakeEventFeedThread::settle()
{
    if (!mFeed)
        return;
    // One connection's messages arrive in order and the feed handles them in order.
    const QDBusMessage ping
            = QDBusMessage::createMethodCall(ServiceName, QStringLiteral("/eventfeed"),
                                             QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("ping"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(ping);
    if (reply.type() != QDBusMessage::ReplyMessage)
        qWarning() << "The fake Event Feed did not answer:" << reply.errorMessage();
}

QStringList FakeEventFeedThread::calls()
{
    settle();
    QStringList result;
    run([&result](FakeEventFeed &feed) { result = feed.calls; });
    return result;
}

QMap<qlonglong, QVariantMap> FakeEventFeedThread::items()
{
    settle();
    QMap<qlonglong, QVariantMap> result;
    run([&result](FakeEventFeed &feed) { result = feed.items; });
    return result;
}

QList<QPair<qlonglong, QVariantMap>> FakeEventFeedThread::updates()
{
    settle();
    QList<QPair<qlonglong, QVariantMap>> result;
    run([&result](FakeEventFeed &feed) { result = feed.updates; });
    return result;
}

QList<qlonglong> FakeEventFeedThread::removals()
{
    settle();
    QList<qlonglong> result;
    run([&result](FakeEventFeed &feed) { result = feed.removals; });
    return result;
}

void FakeEventFeedThread::clearCalls()
{
    run([](FakeEventFeed &feed) {
        feed.calls.clear();
        feed.updates.clear();
        feed.removals.clear();
    });
}
