#include "platform/system/qmheartbeat.h"
#include "platform/support/logging.h"

#include <QDebug>
#include <QRandomGenerator>
#include <QTimer>

namespace Veldo {

QmHeartbeat::QmHeartbeat(QObject *parent)
    : QObject(parent)
    , mTimer(new QTimer(this))
{
    mTimer->setSingleShot(true);
    // A coarse timer may fire up to 5% outside the window the caller asked for.
    mTimer->setTimerType(Qt::PreciseTimer);
    connect(mTimer, &QTimer::timeout, this, &QmHeartbeat::onTimeout);
}

QmHeartbeat::~QmHeartbeat() = default;

bool QmHeartbeat::open(CommunicationMode mode)
{
    mOpen = true;
    mSignalNeeded = (mode == SignalNeeded);
    return true;
}

void QmHeartbeat::close()
{
    mTimer->stop();
    mOpen = false;
}

bool QmHeartbeat::isOpen() const
{
    return mOpen;
}

QTime QmHeartbeat::wait(unsigned short minSeconds, unsigned short maxSeconds, WaitMode)
{
    if (!mOpen) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "heartbeat not open";
        return QTime();
    }
    if (maxSeconds < minSeconds) {
        qCWarning(lcDaemon) << Q_FUNC_INFO << "empty window" << minSeconds << maxSeconds;
        return QTime();
    }
    // Anywhere inside the window: many processes asking for the same slot do not wake together.
    const quint32 seconds = minSeconds + QRandomGenerator::global()->bounded(quint32(maxSeconds - minSeconds) + 1);
    mTimer->start(int(seconds * 1000));
    return QTime::currentTime().addSecs(int(seconds));
}

int QmHeartbeat::remainingMs() const
{
    return mTimer->isActive() ? mTimer->remainingTime() : -1;
}

void QmHeartbeat::onTimeout()
{
    if (mSignalNeeded)
        emit wakeUp(QTime::currentTime());
}

} // namespace Veldo
