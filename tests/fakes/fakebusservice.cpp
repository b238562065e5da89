#include "fakes/fakebusservice.h"

#include <QDebug>
#include <QMetaClassInfo>

FakeBusService::FakeBusService(const QString &service, const QString &path, QObject *parent)
    : QObject(parent)
    , mService(service)
    , mPath(path)
    , mConnection(QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake ") + service))
{}

FakeBusService::~FakeBusService()
{
    mConnection.unregisterObject(mPath);
    mConnection.unregisterService(mService);
    QDBusConnection::disconnectFromBus(mConnection.name());
}

bool FakeBusService::registerOnBus()
{
    return mConnection.isConnected() && mConnection.registerService(mService)
            && mConnection.registerObject(mPath, this,
                                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
}

void FakeBusService::settle() const
{
    const QMetaObject *meta = metaObject();
    const QString interface = QLatin1String(meta->classInfo(meta->indexOfClassInfo("D-Bus Interface")).value());
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
            QDBusMessage::createMethodCall(mService, mPath, interface, QStringLiteral("ping")));
    if (reply.type() != QDBusMessage::ReplyMessage)
        qWarning() << "The fake" << mService << "did not answer:" << reply.errorMessage();
}

QString FakeBusService::signature() const
{
    return calledFromDBus() ? message().signature() : QStringLiteral("(local)");
}

bool FakeBusService::hangs()
{
    if (!hung || !calledFromDBus())
        return false;
    setDelayedReply(true);
    mUnanswered << message();
    return true;
}
