// What the fakes of the services on the other side of the bus share: a bus connection of their own,
// so that calls really cross the bus; calls taken and never answered, as a hung service leaves them;
// and a thread of their own, so that a fake answers while the test's thread waits in a blocking call.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QThread>

#include <functional>
#include <utility>

class FakeBusService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_DISABLE_COPY(FakeBusService)

public:
    ~FakeBusService() override;

    // Takes the service's name and path on the fake's own connection.
    bool registerOnBus();
    // Returns once the fake has handled everything that this process sent it over its session bus
    // connection so far (the calls nobody waits for included).
    void settle() const;

    // When set, the calls that can hang are taken and never answered.
    bool hung = false;
    // Called on the fake's thread when a call from the bus arrives, before the fake acts on it
    // (answered false; setting hung there takes the call unanswered), and again right after the
    // answer to a call that returns a value went out (answered true): a test acts on the caller at
    // that precise step, ending it for instance.
    std::function<void(const QDBusMessage &call, bool answered)> onCall;

public slots:
    // Not the service's: answered in turn after the calls that came before it, not recorded.
    void ping() {}

protected:
    FakeBusService(const QString &service, const QString &path, QObject *parent);
    // The D-Bus signature of the call being handled; "(local)" outside a call from the bus.
    QString signature() const;
    // Takes the call without answering it when hung.
    bool hangs();
    // The calls taken unanswered so far, which the caller now answers.
    QList<QDBusMessage> takeUnanswered() { return std::exchange(mUnanswered, {}); }
    void arrived()
    {
        if (onCall && calledFromDBus())
            onCall(message(), false);
    }
    // The value to return from a call's slot; with onCall set, the answer goes out here first.
    template<typename T>
    T answer(const T &value)
    {
        if (!onCall || !calledFromDBus())
            return value;
        setDelayedReply(true);
        mConnection.send(message().createReply(QVariant::fromValue(value)));
        onCall(message(), true);
        return value;
    }

    const QString mService;
    const QString mPath;
    QDBusConnection mConnection;

private:
    QList<QDBusMessage> mUnanswered;
};

// Runs a fake on a thread of its own; the fake is read and changed through run(), on its thread.
template<typename Fake>
class FakeThread
{
    Q_DISABLE_COPY(FakeThread)

public:
    FakeThread() = default;
    ~FakeThread() { stop(); }

    // Starts the thread and puts a new fake, set up first, on the bus; false when it cannot take the
    // name.
    bool start(const std::function<void(Fake &)> &setup = nullptr)
    {
        if (mFake)
            return true;
        mFake = new Fake;
        if (setup)
            setup(*mFake);
        mThread.start();
        mFake->moveToThread(&mThread);
        bool registered = false;
        run([&registered](Fake &fake) { registered = fake.registerOnBus(); });
        return registered;
    }
    // Takes the fake off the bus and ends the thread.
    void stop()
    {
        if (!mFake)
            return;
        // Back to this thread, so that it is deleted where it lives.
        QThread *here = QThread::currentThread();
        run([here](Fake &fake) { fake.moveToThread(here); });
        delete mFake;
        mFake = nullptr;
        mThread.quit();
        mThread.wait();
    }
    bool isRunning() const { return mFake != nullptr; }

    // Runs work on the fake's thread and returns when it is done.
    void run(const std::function<void(Fake &)> &work)
    {
        if (Fake *fake = mFake)
            QMetaObject::invokeMethod(
                    fake, [fake, &work] { work(*fake); }, Qt::BlockingQueuedConnection);
    }
    // A copy of what the fake holds, once it has handled everything sent to it so far.
    template<typename T>
    T get(T Fake::*member)
    {
        T value {};
        if (mFake)
            mFake->settle();
        run([&value, member](Fake &fake) { value = fake.*member; });
        return value;
    }

private:
    QThread mThread;
    Fake *mFake = nullptr;
};
