// Unix signals delivered as a Qt signal on the event loop: the handler only writes the signal's
// number into a socket pair, whose other end a QSocketNotifier reads.
#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

namespace Support {

class UnixSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(UnixSignals)

public:
    // Handles the given signals from now on. One object at a time per process.
    explicit UnixSignals(const QList<int> &signalNumbers, QObject *parent = nullptr);
    // Restores the default handling of the signals.
    ~UnixSignals() override;

    bool isValid() const { return mNotifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void onReadable();

    QList<int> mSignals;
    QSocketNotifier *mNotifier = nullptr;
};

} // namespace Support
