// The platform's wake-up heartbeat: the daemon asks to be woken once within a time window and gets a
// wakeUp(QTime) signal somewhere inside it.
#pragma once

#include <QObject>
#include <QTime>

class QTimer;

namespace Veldo {

class QmHeartbeat : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(QmHeartbeat)

public:
    enum CommunicationMode { NoSignalNeeded = 0, SignalNeeded = 1 };
    enum WaitMode { DoNotWaitHeartbeat = 0, WaitHeartbeat = 1 };
    // The standard slot of the platform's two-hour rhythm, in seconds.
    static constexpr unsigned short WAKEUP_SLOT_2_HOURS = 7200;

    explicit QmHeartbeat(QObject *parent = nullptr);
    ~QmHeartbeat() override;

    bool open(CommunicationMode mode);
    bool open(int mode) { return open(CommunicationMode(mode)); }
    void close();
    bool isOpen() const;

    // Arms one wake-up between minSeconds and maxSeconds from now; a later wait replaces it.
    // Answers the time the wake-up is due, or an invalid time when the heartbeat is not open or the
    // window is empty.
    QTime wait(unsigned short minSeconds, unsigned short maxSeconds, WaitMode mode = DoNotWaitHeartbeat);
    QTime wait(unsigned short minSeconds, unsigned short maxSeconds, int mode)
    {
        return wait(minSeconds, maxSeconds, WaitMode(mode));
    }

    // Milliseconds until the armed wake-up, or -1 when none is armed.
    int remainingMs() const;

signals:
    void wakeUp(QTime time);

private slots:
    void onTimeout();

private:
    QTimer *mTimer;
    bool mOpen = false;
    bool mSignalNeeded = false;
};

} // namespace Veldo
