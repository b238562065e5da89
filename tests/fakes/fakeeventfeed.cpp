#include "fakes/fakeeventfeed.h"

#include <QDBusArgument>
#include <QDBusMetaType>

FakeEventFeed::FakeEventFeed()
{
    connect(this, &BusService::callReceived, this, [this](const QDBusMessage &call) {
        calls << call.member() + QLatin1Char(' ') + call.signature();
        const QList<QVariant> arguments = call.arguments();
        if (call.member() == QLatin1String("updateItem"))
            updates << qMakePair(arguments.value(0).toLongLong(), qdbus_cast<QVariantMap>(arguments.value(1)));
        else if (call.member() == QLatin1String("removeItem"))
            removals << arguments.value(0).toLongLong();
    });
    answerInstead = [this](const QDBusMessage &call) {
        return failAdds && call.member() == QLatin1String("addItem") ? call.createReply(QVariant::fromValue(-1LL))
                                                                     : QDBusMessage();
    };
}
