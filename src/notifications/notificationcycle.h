// One notification import cycle: what it still waits for, by id, and what it has collected. The
// handler replaces it whole when the next cycle starts, so an answer that is not awaited here
// belongs to a cycle that is over and changes nothing.
#pragma once

#include <QHash>
#include <QSet>
#include <QString>

#include "platform/quillnet/qnevent.h"
#include "platform/quillnet/qnthread.h"

struct NotificationCycle
{
    // The all-notifications answer, or its failure.
    bool awaitingAll = true;
    // The message kind's part: started, its threads not processed yet.
    bool threadsOpen = false;
    // The inbox's thread list.
    bool awaitingThreads = false;
    // Event details, sender profiles and latest messages of threads, by the id they were asked for.
    QSet<QString> awaitedEvents;
    QSet<QString> awaitedProfiles;
    QSet<QString> awaitedMessages;
    // A detail failed: what is left of the invitations is not all there is.
    bool eventDetailsFailed = false;
    Qn::QnEvents events;
    Qn::QnThreads threads;
    // Thread id to the text of its latest message.
    QHash<QString, QString> latestContent;
    // Event types withdrawn during this cycle; an empty one stands for all. Nothing more of them
    // is published.
    QSet<QString> withdrawn;

    bool isWithdrawn(const QString &eventType) const
    {
        return withdrawn.contains(QString()) || withdrawn.contains(eventType);
    }
    // The threads can be processed: nothing of them is awaited any more.
    bool threadsComplete() const
    {
        return threadsOpen && !awaitingThreads && awaitedProfiles.isEmpty() && awaitedMessages.isEmpty();
    }
    // Nothing is awaited: every part of the cycle has been processed.
    bool done() const { return !awaitingAll && !threadsOpen && awaitedEvents.isEmpty(); }
};
