#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSignalSpy>
#include <QTest>

#include "eventfeedinterface.h"
#include "fakes/fakeeventfeed.h"

namespace {

// The fake answers from this thread's event loop, so the reply is awaited while events run.
bool finish(const QDBusPendingCall& call)
{
    QDBusPendingCallWatcher watcher(call);
    if (watcher.isFinished())
        return true;
    QSignalSpy spy(&watcher, &QDBusPendingCallWatcher::finished);
    return spy.wait(10000);
}

} // namespace

class TestEventFeedInterface : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void callsCrossTheBusWithTheirSignatures();
    void addItemAnswersTheNewId();
    void updateMergesAndRemoveDeletes();
    void refreshRequestedIsRelayed();
    void missingServiceShowsInTheReply();

private:
    ComTarvoHomeEventFeedInterface* newProxy()
    {
        return new ComTarvoHomeEventFeedInterface(QStringLiteral("com.tarvo.home.EventFeed"), QStringLiteral("/eventfeed"),
                                                  QDBusConnection::sessionBus(), this);
    }

    FakeEventFeed* mFeed = nullptr;
};

void TestEventFeedInterface::initTestCase()
{
    // One fake for all cases: a proxy keeps the owner of the name it has seen.
    mFeed = new FakeEventFeed(this);
    QVERIFY(mFeed->registerOnBus());
}

void TestEventFeedInterface::init()
{
    mFeed->items.clear();
    mFeed->calls.clear();
    mFeed->failAdds = false;
}

void TestEventFeedInterface::cleanupTestCase()
{
    delete mFeed;
    mFeed = nullptr;
}

void TestEventFeedInterface::callsCrossTheBusWithTheirSignatures()
{
    QCOMPARE(QString::fromLatin1(ComTarvoHomeEventFeedInterface::staticInterfaceName()),
             QStringLiteral("com.tarvo.home.EventFeed"));
    ComTarvoHomeEventFeedInterface* proxy = newProxy();

    QDBusPendingReply<qlonglong> added = proxy->addItem({{QStringLiteral("title"), QStringLiteral("t")}});
    QVERIFY(finish(added));
    QVERIFY(added.isValid());
    QVERIFY(finish(proxy->updateItem(added.value(), {{QStringLiteral("footer"), QStringLiteral("f")}})));
    QVERIFY(finish(proxy->removeItemsBySourceName(QStringLiteral("quillnet"))));
    QVERIFY(finish(proxy->removeItem(added.value())));

    const QStringList expected = {
        QStringLiteral("addItem a{sv}"),
        QStringLiteral("updateItem xa{sv}"),
        QStringLiteral("removeItemsBySourceName s"),
        QStringLiteral("removeItem x"),
    };
    QCOMPARE(mFeed->calls, expected);
}

void TestEventFeedInterface::addItemAnswersTheNewId()
{
    ComTarvoHomeEventFeedInterface* proxy = newProxy();
    QDBusPendingReply<qlonglong> first = proxy->addItem({{QStringLiteral("title"), QStringLiteral("one")}});
    QDBusPendingReply<qlonglong> second = proxy->addItem({{QStringLiteral("title"), QStringLiteral("two")}});
    QVERIFY(finish(first));
    QVERIFY(finish(second));
    QVERIFY(first.value() > 0);
    QVERIFY(second.value() != first.value());
    QCOMPARE(mFeed->items.value(second.value()).value(QStringLiteral("title")).toString(), QStringLiteral("two"));

    mFeed->failAdds = true;
    QDBusPendingReply<qlonglong> failed = proxy->addItem({});
    QVERIFY(finish(failed));
    QCOMPARE(failed.value(), qlonglong(-1));
}

void TestEventFeedInterface::updateMergesAndRemoveDeletes()
{
    ComTarvoHomeEventFeedInterface* proxy = newProxy();
    const QVariantMap original = {
        {QStringLiteral("title"), QStringLiteral("t")},
        {QStringLiteral("sourceName"), QStringLiteral("quillnet")},
        {QStringLiteral("timestamp"), QStringLiteral("2026-01-01 10:00:00")},
    };
    QDBusPendingReply<qlonglong> a = proxy->addItem(original);
    QDBusPendingReply<qlonglong> b = proxy->addItem({{QStringLiteral("sourceName"), QStringLiteral("other")}});
    QVERIFY(finish(a));
    QVERIFY(finish(b));

    QVERIFY(finish(proxy->updateItem(a.value(), {{QStringLiteral("footer"), QStringLiteral("2 likes")}})));
    const QVariantMap merged = mFeed->items.value(a.value());
    QCOMPARE(merged.value(QStringLiteral("footer")).toString(), QStringLiteral("2 likes"));
    QCOMPARE(merged.value(QStringLiteral("title")).toString(), QStringLiteral("t"));

    QVERIFY(finish(proxy->removeItemsBySourceName(QStringLiteral("quillnet"))));
    QVERIFY(!mFeed->items.contains(a.value()));
    QVERIFY(mFeed->items.contains(b.value()));
    QVERIFY(finish(proxy->removeItem(b.value())));
    QVERIFY(mFeed->items.isEmpty());
}

void TestEventFeedInterface::refreshRequestedIsRelayed()
{
    ComTarvoHomeEventFeedInterface* proxy = newProxy();
    QSignalSpy spy(proxy, &ComTarvoHomeEventFeedInterface::refreshRequested);
    // A round trip makes sure the proxy's match rule is in place before the signal goes out.
    QVERIFY(finish(proxy->removeItem(0)));
    emit mFeed->refreshRequested();
    QVERIFY(spy.wait());
    QCOMPARE(spy.count(), 1);
}

void TestEventFeedInterface::missingServiceShowsInTheReply()
{
    auto* proxy = new ComTarvoHomeEventFeedInterface(QStringLiteral("com.tarvo.home.NoEventFeed"), QStringLiteral("/eventfeed"),
                                                     QDBusConnection::sessionBus(), this);
    QDBusPendingReply<qlonglong> reply = proxy->addItem({});
    QVERIFY(finish(reply));
    QVERIFY(reply.isError());
    QCOMPARE(reply.error().type(), QDBusError::ServiceUnknown);
}

QTEST_GUILESS_MAIN(TestEventFeedInterface)
#include "tst_eventfeedinterface.moc"
