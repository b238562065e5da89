#include "platform/socialprovider/socialproviderinterface.h"

#include "platform/socialprovider/socialdatarequest.h"

SocialProviderInterface::SocialProviderInterface(QObject *parent)
    : QObject(parent)
{}

SocialProviderInterface::~SocialProviderInterface() = default;

void SocialProviderInterface::initialize() {}

QVariantMap SocialProviderInterface::metaData()
{
    return {};
}

void SocialProviderInterface::performRequest(SocialDataRequest *request)
{
    if (!request)
        return;
    switch (request->type()) {
    case SocialDataRequest::AggregatedServicesType:
        if (auto *services = qobject_cast<GetAggregatedServicesRequest *>(request)) {
            services->setServices(this->services());
            request->setState(SocialDataRequest::Finished);
            return;
        }
        break;
    case SocialDataRequest::AccountsType:
        if (auto *accounts = qobject_cast<SocialGetAccountsRequest *>(request)) {
            accounts->setAccounts(this->accounts());
            request->setState(SocialDataRequest::Finished);
            return;
        }
        break;
    default:
        request->setState(SocialDataRequest::Finished,
                          {SocialProviderError(SocialProviderError::InvalidRequestError,
                                               QStringLiteral("Request type %1 is not served").arg(request->type()))});
        return;
    }
    request->setState(SocialDataRequest::Finished,
                      {SocialProviderError(SocialProviderError::WrongRequestClassError, QString())});
}

void SocialProviderInterface::cancelRequest(SocialDataRequest *request)
{
    if (request && request->state() != SocialDataRequest::Finished)
        request->setState(SocialDataRequest::Finished,
                          {SocialProviderError(SocialProviderError::CanceledError, QStringLiteral("Canceled"))});
}

QList<SocialService> SocialProviderInterface::services()
{
    return {};
}

QList<SocialServiceAccount> SocialProviderInterface::accounts()
{
    return {};
}
