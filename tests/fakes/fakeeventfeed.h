// A home screen Event Feed service for tests: keeps items in memory and records the signature of
// every call it receives.
#pragma once

#include <QMap>
#include <QPair>
#include <QStringList>
#include <QVariantMap>

#include "fakes/fakebusservice.h"

class FakeEventFeed : public FakeBusService
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.home.EventFeed")

public:
    // When hung, addItem takes the call and never answers it; the item is not stored.
    explicit FakeEventFeed(QObject *parent = nullptr);

    QMap<qlonglong, QVariantMap> items;
    // "member signature" of each call, in arrival order.
    QStringList calls;
    // Arguments of the updateItem and removeItem calls, in arrival order.
    QList<QPair<qlonglong, QVariantMap>> updates;
    QList<qlonglong> removals;
    // When set, addItem answers -1 as the real service does on error.
    bool failAdds = false;

    // Answers the adds taken while hung, late, as a slow Event Feed would: each item is kept.
    void answerHeld();

public slots:
    qlonglong addItem(const QVariantMap &parameters);
    void removeItem(qlonglong id);
    void removeItemsBySourceName(const QString &sourceName);
    void updateItem(qlonglong id, const QVariantMap &parameters);

signals:
    void refreshRequested();

private:
    void record(const char *member)
    {
        arrived();
        calls << QLatin1String(member) + QLatin1Char(' ') + signature();
    }

    qlonglong mNextId = 1;
};

class FakeEventFeedThread : public FakeThread<FakeEventFeed>
{
public:
    QStringList calls() { return get(&FakeEventFeed::calls); }
    QMap<qlonglong, QVariantMap> items() { return get(&FakeEventFeed::items); }
    QList<QPair<qlonglong, QVariantMap>> updates() { return get(&FakeEventFeed::updates); }
    QList<qlonglong> removals() { return get(&FakeEventFeed::removals); }
    // Forgets the calls sent to it so far; the items stay.
    void clearCalls()
    {
        get(&FakeEventFeed::calls);
        run([](FakeEventFeed &feed) {
            feed.calls.clear();
            feed.updates.clear();
            feed.removals.clear();
        });
    }
};
