#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSignalSpy>
#include <QTest>

#include "eventfeedinterface.h"
#include "fakes/fakeeventfeed.h"

namespace {

// The fake answers from this thread's event loop, so the reply is awaited while events run.
bool finish(const QDBusPendingCall &call)
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

private:
    ComTarvoHomeEventFeedInterface *newProxy()
    {
        return new ComTarvoHomeEventFeedInterface(QStringLiteral("com.tarvo.home.EventFeed"),
                                                  QStringLiteral("/eventfeed"), QDBusConnection::sessionBus(), this);
    }

    FakeEventFeed *mFeed = nullptr;
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
    ComTarvoHomeEventFeedInterface *proxy = newProxy();

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

QTEST_GUILESS_MAIN(TestEventFeedInterface)
#include "tst_eventfeedinterface.moc"
