// A home screen Event Feed service for tests: keeps items in memory on its own bus connection, so
// that calls really cross the bus, and records the signature of every call it receives.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <functional>

class FakeEventFeed : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.home.EventFeed")
    Q_DISABLE_COPY(FakeEventFeed)

public:
    explicit FakeEventFeed(QObject *parent = nullptr);
    ~FakeEventFeed() override;

    // Connects privately to the session bus and takes the Event Feed's name and path.
    bool registerOnBus();

    QMap<qlonglong, QVariantMap> items;
    // "member signature" of each call, in arrival order.
    QStringList calls;
    // Arguments of the updateItem and removeItem calls, in arrival order.
    QList<QPair<qlonglong, QVariantMap>> updates;
    QList<qlonglong> removals;
    // When set, addItem answers -1 as the real service does on error.
    bool failAdds = false;
    // When set, addItem takes the call and never answers it, as a hung service does; the item is
    // not stored.
    bool hung = false;

public slots:
    qlonglong addItem(const QVariantMap &parameters);
    void removeItem(qlonglong id);
    void removeItemsBySourceName(const QString &sourceName);
    void updateItem(qlonglong id, const QVariantMap &parameters);
    // Not the Event Feed's: answered in turn after the calls that came before it, not recorded.
    void ping() {}

signals:
    void refreshRequested();

private:
    void record(const char *member);

    QDBusConnection mConnection;
    qlonglong mNextId = 1;
    QList<QDBusMessage> mUnanswered;
};

// Runs a FakeEventFeed on a thread of its own, so that it answers while the test's thread waits
// in a blocking call to it. The feed is read and changed through run(), on its own thread.
class FakeEventFeedThread
{
    Q_DISABLE_COPY(FakeEventFeedThread)

public:
    FakeEventFeedThread() = default;
    ~FakeEventFeedThread();

    // Starts the thread and puts a new feed on the bus; false when it cannot take the name.
    bool start();
    // Takes the feed off the bus and ends the thread.
    void stop();

    // Runs work on the feed's thread and returns when it is done.
    void run(const std::function<void(FakeEventFeed &)> &work);

    // What the feed holds and received, once it has handled everything that this process sent it
    // over its session bus connection so far (the calls nobody waits for included).
    QStringList calls();
    QMap<qlonglong, QVariantMap> items();
    QList<QPair<qlonglong, QVariantMap>> updates();
    QList<qlonglong> removals();
    // Forgets the calls recorded so far; the items stay.
    void clearCalls();

private:
    void settle();

    QThread mThread;
    FakeEventFeed *mFeed = nullptr;
};
