// The home screen's Event Feed as the tests' peer: it records the signature of every call it receives
// and can refuse every add.
#pragma once

#include <QList>
#include <QMap>
#include <QPair>
#include <QStringList>
#include <QVariantMap>

#include "fakes/fakebusservice.h"
#include "homescreen/eventfeedservice.h"

class FakeEventFeed : public HomeScreen::EventFeedService
{
public:
    FakeEventFeed();

    // "member signature" of each call, in arrival order.
    QStringList calls;
    // Arguments of the updateItem and removeItem calls, in arrival order.
    QList<QPair<qlonglong, QVariantMap>> updates;
    QList<qlonglong> removals;
    // When set, addItem answers -1 as the service does when it refuses an item.
    bool failAdds = false;
};

class FakeEventFeedThread : public FakeThread<FakeEventFeed>
{
public:
    QStringList calls() { return get(&FakeEventFeed::calls); }
    QMap<qlonglong, QVariantMap> items() { return get<QMap<qlonglong, QVariantMap>>(&FakeEventFeed::items); }
    QList<QPair<qlonglong, QVariantMap>> updates() { return get(&FakeEventFeed::updates); }
    QList<qlonglong> removals() { return get(&FakeEventFeed::removals); }
    // Forgets the calls sent to it so far; the items stay.
    void clearCalls()
    {
        get<bool>([](FakeEventFeed &feed) {
            feed.calls.clear();
            feed.updates.clear();
            feed.removals.clear();
            return true;
        });
    }
};
