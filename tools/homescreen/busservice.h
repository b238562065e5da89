// A service of the home screen on the session bus: a well-known name with one object, on a
// connection of its own, reporting what happens to it as lines of text.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace HomeScreen {

class BusService : public QObject
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

signals:
    // One line per change or call, without its line end: "added 3 title=\"...\"", "close 4 reason=3", ...
    void changeReported(const QString &line);
    // The bus connection ended; the service can do nothing more.
    void busLost();

protected:
    // The object's adaptors must exist before registerOnBus().
    BusService(const QString &serviceName, const QString &objectPath, QObject *parent);

private slots:
    void onDisconnected();

private:
    const QString mServiceName;
    const QString mObjectPath;
    const QString mConnectionName;
    QDBusConnection mConnection;
    bool mRegistered = false;
    QString mError;
};

} // namespace HomeScreen
