// A service of the home screen on the session bus: a well-known name with one object, on a
// connection of its own, reporting what happens to it as lines of text. Tests that play a peer in
// trouble hang it or act at an exact call through its hooks.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <utility>

namespace HomeScreen {

class BusService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_DISABLE_COPY(BusService)

public:
    ~BusService() override;

    // Connects to the session bus on a connection of its own and takes the service name and the
    // object. False, with errorString() set, when there is no bus or the name is taken.
    bool registerOnBus();
    QString errorString() const { return mError; }

    QString serviceName() const { return mServiceName; }
    QString objectPath() const { return mObjectPath; }

    // When set, the calls that can hang (the Event Feed's adds, every call of the notification
    // server) are taken and never answered, as a hung program leaves them; the service does not act.
    bool hung = false;
    // Called when a call from the bus arrives, before the service acts on it (answered false;
    // setting hung there takes this call unanswered), and again right after the answer to a call
    // that returns a value went out (answered true): a test acts on the caller at that precise step.
    std::function<void(const QDBusMessage &call, bool answered)> onCall;
    // When set and it returns a message made from the call (a reply or an error), that message is the
    // answer and the service does not act, as a faulty program would answer.
    std::function<QDBusMessage(const QDBusMessage &call)> answerInstead;

signals:
    // One line per change or call, without its line end: "added 3 title=\"...\"", "close 4 reason=3", ...
    void changeReported(const QString &line);
    // The bus connection ended; the service can do nothing more.
    void busLost();
    // Every call from the bus as it arrives, and the value it was answered with.
    void callReceived(const QDBusMessage &call);
    void callAnswered(const QDBusMessage &call, const QVariant &value);

protected:
    // The object's adaptors must exist before registerOnBus().
    BusService(const QString &serviceName, const QString &objectPath, QObject *parent);

    // First thing of every slot the bus calls: tells of the call, then takes it unanswered when hung
    // (and it can hang) or answers it with answerInstead's message. True when the slot must return.
    bool taken(bool canHang);
    // The value a slot returns; with onCall set, the answer goes out here first.
    template<typename T>
    T answered(const T &value)
    {
        if (!calledFromDBus())
            return value;
        emit callAnswered(message(), QVariant::fromValue(value));
        if (onCall) {
            setDelayedReply(true);
            send(message().createReply(QVariant::fromValue(value)));
            onCall(message(), true);
        }
        return value;
    }
    // The calls taken unanswered while hung, oldest first, which the caller now answers.
    QList<QDBusMessage> takeHeld() { return std::exchange(mHeld, {}); }
    bool send(const QDBusMessage &message) { return mConnection.send(message); }

private slots:
    void onDisconnected();

private:
    const QString mServiceName;
    const QString mObjectPath;
    const QString mConnectionName;
    QDBusConnection mConnection;
    bool mRegistered = false;
    QString mError;
    QList<QDBusMessage> mHeld;
};

} // namespace HomeScreen
