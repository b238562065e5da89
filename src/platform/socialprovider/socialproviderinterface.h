// The base of a social data provider plug-in: describes the service and the accounts, answers the
// requests of the contacts framework, and announces changed persons, activities and data.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialprovidertimeline.h"

class SocialDataRequest;

class SocialProviderInterface : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SocialProviderInterface)

public:
    explicit SocialProviderInterface(QObject *parent = nullptr);
    ~SocialProviderInterface() override;

public slots:
    // Called once the provider is installed; does nothing here.
    virtual void initialize();
    // Name, version, comment and icon of the provider; empty here.
    virtual QVariantMap metaData();
    // Answers requests for services (type 1) from services() and for accounts (type 3) from
    // accounts(), and finishes them before it returns. Every other request is finished with an
    // error of type 1, so that none is left waiting.
    virtual void performRequest(SocialDataRequest *request);
    // Finishes a request that is not finished yet with an error of type 5.
    virtual void cancelRequest(SocialDataRequest *request);
    virtual QList<SocialService> services();
    virtual QList<SocialServiceAccount> accounts();

signals:
    void personsUpdate(const QList<SocialNetworkPerson> &persons, const QList<QString> &updatedProperties);
    void dataUpdate(const QList<SocialGenericData> &data, const QList<QString> &updatedProperties);
    void activityUpdate(const QList<SocialActivity> &activities, const QList<QString> &updatedProperties,
                        SocialProviderTimeline::TimelineType timeline);
};

Q_DECLARE_INTERFACE(SocialProviderInterface, "com.tarvo.contactsd.SocialProvider/1.0")
