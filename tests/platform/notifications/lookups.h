// What the notification lookups of these tests compare: the two event types they publish, and a
// lookup's result reduced to its event types.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace {

const QString Messages = QStringLiteral("messages.service.quillnet");
const QString Requests = QStringLiteral("friendrequests.service.quillnet");

// What a lookup found, in order; the objects are deleted.
template<typename T>
QStringList eventTypesOf(const QList<T *> &objects)
{
    QStringList types;
    for (T *object : objects)
        types << object->eventType();
    qDeleteAll(objects);
    return types;
}

} // namespace
