// A home screen Event Feed service for tests: keeps items in memory on its own bus connection, so
// that calls really cross the bus, and records the signature of every call it receives.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

class FakeEventFeed : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.home.EventFeed")
    Q_DISABLE_COPY(FakeEventFeed)

public:
    explicit FakeEventFeed(QObject *parent = nullptr);
    ~FakeEventFeed() override;

    // Connects privately to the session bus and takes the Event Feed's name and path.
    bool registerOnBus();

    QMap<qlonglong, QVariantMap> items;
    // "member signature" of each call, in arrival order.
    QStringList calls;
    // When set, addItem answers -1 as the real service does on error.
    bool failAdds = false;

public slots:
    qlonglong addItem(const QVariantMap &parameters);
    void removeItem(qlonglong id);
    void removeItemsBySourceName(const QString &sourceName);
    void updateItem(qlonglong id, const QVariantMap &parameters);

signals:
    void refreshRequested();

private:
    void record(const char *member);

    QDBusConnection mConnection;
    qlonglong mNextId = 1;
};
