// The social provider runner: owns the provider's name and object on the session bus, turns each
// request of the contacts framework into a request object for its handler, answers when the request
// finishes, and relays the handler's updates.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialprovidertimeline.h"

class SocialDataRequest;
class SocialProviderInterface;

class SdpImpl : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.socialprovider.runner")
    Q_DISABLE_COPY(SdpImpl)

public:
    static const QString ServiceNamePrefix;
    static const QString ProviderWord;

    // Registers the name and the object; when the bus refuses either, the process ends with
    // status 1. The handler may be null.
    explicit SdpImpl(SocialProviderInterface *handler = nullptr, QObject *parent = nullptr);
    ~SdpImpl() override;

    // Deletes the handler installed before; takes the new one (which may be null) as a child.
    void setHandler(SocialProviderInterface *handler);

signals:
    void personsUpdate(QList<QVariant> data, QStringList updatedProperties);
    void activityUpdate(QList<QVariant> data, QStringList updatedProperties, int timeline);
    void dataUpdate(QList<QVariant> data, QStringList updatedProperties);
    void requestFinished(int requestType, QString requestId, QByteArray request, QByteArray error);

    // Called by name by RunnerAdaptor.
public slots:
    void performRequest(int requestType, const QString &requestId, const QByteArray &request);
    QVariantMap metaData();

private slots:
    void requestFinished(SocialDataRequest *request);
    void onPersonsUpdate(const QList<SocialNetworkPerson> &persons, const QList<QString> &updatedProperties);
    void onActivityUpdate(const QList<SocialActivity> &activities, const QList<QString> &updatedProperties,
                          SocialProviderTimeline::TimelineType timeline);
    void onDataUpdate(const QList<SocialGenericData> &data, const QList<QString> &updatedProperties);

private:
    // Reads the request's parameters and records it; false when the bytes do not read.
    bool registerRequest(SocialDataRequest *object, const QString &requestId, const QByteArray &request);
    // requestFinished at once, with the received bytes and one error.
    void refuse(int requestType, const QString &requestId, const QByteArray &request, int errorType,
                const QString &description);
    static QByteArray encodeError(int type, const QString &description);
    template<typename Record>
    static QList<QVariant> encodeItems(const QList<Record> &items);

    QString mServiceName;
    QString mObjectPath;
    SocialProviderInterface *mHandler = nullptr;
    QMap<SocialDataRequest *, QString> mPendingRequests;
};
