// The home screen's services as the peers of the tests: each runs on a thread of its own, so that it
// answers while the test's thread waits in a blocking call, and records every call it receives.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QThread>
#include <QtDebug>

#include <functional>

// Runs a service on a thread of its own; the service is read and changed through run(), on its thread.
template<typename Fake>
class FakeThread
{
    Q_DISABLE_COPY(FakeThread)

public:
    FakeThread() = default;
    ~FakeThread() { stop(); }

    // Starts the thread and puts a new service, set up first, on the bus; false when it cannot take
    // the name.
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
    // Takes the service off the bus and ends the thread.
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

    // Runs work on the service's thread and returns when it is done.
    void run(const std::function<void(Fake &)> &work)
    {
        if (Fake *fake = mFake)
            QMetaObject::invokeMethod(
                    fake, [fake, &work] { work(*fake); }, Qt::BlockingQueuedConnection);
    }
    // What read gives, once the service has handled everything that this process sent it over its
    // session bus connection so far (the calls nobody waits for included): an introspection is
    // answered on the service's thread after them.
    template<typename T>
    T get(const std::function<T(Fake &)> &read)
    {
        T value {};
        if (!mFake)
            return value;
        const QDBusMessage reply = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
                mFake->serviceName(), mFake->objectPath(), QStringLiteral("org.freedesktop.DBus.Introspectable"),
                QStringLiteral("Introspect")));
        if (reply.type() != QDBusMessage::ReplyMessage)
            qWarning() << "The service" << mFake->serviceName() << "did not answer:" << reply.errorMessage();
        run([&value, &read](Fake &fake) { value = read(fake); });
        return value;
    }
    template<typename T>
    T get(T Fake::*member)
    {
        return get<T>([member](Fake &fake) { return fake.*member; });
    }

private:
    QThread mThread;
    Fake *mFake = nullptr;
};
