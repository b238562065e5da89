// The home screen's Event Feed as the tests' peer: it records the signature of every call it receives
// and can refuse every add.
#pragma once

#include <QMap>
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
    // When set, addItem answers -1 as the service does when it refuses an item.
    bool failAdds = false;
};

class FakeEventFeedThread : public FakeThread<FakeEventFeed>
{
public:
    QStringList calls() { return get(&FakeEventFeed::calls); }
    QMap<qlonglong, QVariantMap> items() { return get<QMap<qlonglong, QVariantMap>>(&FakeEventFeed::items); }
    // Forgets the calls sent to it so far; the items stay.
    void clearCalls()
    {
        get<bool>([](FakeEventFeed &feed) {
            feed.calls.clear();
            return true;
        });
    }
};
