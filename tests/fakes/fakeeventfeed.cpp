#include "fakes/fakeeventfeed.h"

FakeEventFeed::FakeEventFeed()
{
    connect(this, &BusService::callReceived, this,
            [this](const QDBusMessage &call) { calls << call.member() + QLatin1Char(' ') + call.signature(); });
    answerInstead = [this](const QDBusMessage &call) {
        return failAdds && call.member() == QLatin1String("addItem") ? call.createReply(QVariant::fromValue(-1LL))
                                                                     : QDBusMessage();
    };
}
