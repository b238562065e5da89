// Waiting for the answer of a service that answers from the test's own thread: the reply is
// awaited while events run.
#pragma once

#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QSignalSpy>

// True once the call is answered, with a reply or an error; false when no answer came.
inline bool answered(const QDBusPendingCall &call)
{
    QDBusPendingCallWatcher watcher(call);
    if (watcher.isFinished())
        return true;
    QSignalSpy spy(&watcher, &QDBusPendingCallWatcher::finished);
    return spy.wait(10000);
}

// True once the call is answered without an error.
inline bool finish(const QDBusPendingCall &call)
{
    return answered(call) && !call.isError();
}
