#include "socialprovider/sdpimpl.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDataStream>
#include <QDebug>

#include <unistd.h>

#include "platform/socialprovider/socialdatarequest.h"
#include "platform/socialprovider/socialproviderinterface.h"
#include "runneradaptor.h"
#include "socialprovider/quillnetplugin.h"

const QString SdpImpl::ServiceNamePrefix = QStringLiteral("com.tarvo.socialprovider.");
const QString SdpImpl::ProviderWord = QStringLiteral("quillnet");

SdpImpl::SdpImpl(SocialProviderInterface *handler, QObject *parent)
    : QObject(parent)
{
    new RunnerAdaptor(this);

    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString serviceName = ServiceNamePrefix + ProviderWord;
    if (!bus.registerService(serviceName)) {
        qDebug() << Q_FUNC_INFO << "Failed to register service"
                 << " exit process=" << getpid() << " ppid=" << getppid();
        ::exit(1);
    }
    mServiceName = serviceName;

    mObjectPath = QLatin1Char('/') + ProviderWord;
    // The adaptor is what the bus sees: the interface of its introspection XML and nothing else.
    if (!bus.registerObject(mObjectPath, this, QDBusConnection::ExportAdaptors)) {
        qCritical() << Q_FUNC_INFO << "Unable to register:" << bus.lastError().name() << bus.lastError().message();
        ::exit(1);
    }

    if (handler)
        setHandler(handler);
}

SdpImpl::~SdpImpl()
{
    qDebug() << Q_FUNC_INFO;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!mServiceName.isEmpty())
        bus.unregisterService(mServiceName);
    if (!mObjectPath.isEmpty())
        bus.unregisterObject(mObjectPath, QDBusConnection::UnregisterNode);
    delete mHandler;
    // Nobody will answer these any more.
    const QList<SocialDataRequest *> pending = mPendingRequests.keys();
    mPendingRequests.clear();
    qDeleteAll(pending);
}

void SdpImpl::setHandler(SocialProviderInterface *handler)
{
    if (handler && handler == mHandler)
        return;
    if (mHandler) {
        delete mHandler;
        mHandler = nullptr;
    }
    if (!handler)
        return;
    mHandler = handler;
    handler->setParent(this);
    connect(handler, &SocialProviderInterface::personsUpdate, this, &SdpImpl::onPersonsUpdate);
    connect(handler, &SocialProviderInterface::activityUpdate, this, &SdpImpl::onActivityUpdate);
    connect(handler, &SocialProviderInterface::dataUpdate, this, &SdpImpl::onDataUpdate);
    handler->initialize();
}

void SdpImpl::performRequest(int requestType, const QString &requestId, const QByteArray &request)
{
    if (mHandler) {
        SocialDataRequest *object = nullptr;
        switch (requestType) {
        case SocialDataRequest::AccountsType:
            object = new SocialGetAccountsRequest;
            break;
        case SocialDataRequest::PersonsType:
            object = new SocialGetPersonsRequest;
            break;
        case SocialDataRequest::AggregatedServicesType:
            object = new GetAggregatedServicesRequest;
            break;
        default:
            refuse(requestType, requestId, request, SocialProviderError::InvalidRequestError, Q_FUNC_INFO);
            return;
        }
        if (registerRequest(object, requestId, request))
            mHandler->performRequest(object);
        return;
    }

    qWarning() << Q_FUNC_INFO << "Handler is null";
    if (requestType == SocialDataRequest::AggregatedServicesType) {
        qDebug() << Q_FUNC_INFO << "but we still handle GetAggregatedServicesRequest nevertheless";
        auto *object = new GetAggregatedServicesRequest;
        if (registerRequest(object, requestId, request)) {
            // The framework answers this type before performRequest returns.
            QuillnetPlugin unbound;
            unbound.performRequest(object);
        }
        return;
    }
    refuse(requestType, requestId, request, SocialProviderError::NotInitializedError,
           QStringLiteral("Handler not ready"));
}

QVariantMap SdpImpl::metaData()
{
    qDebug() << "Enter:"
             << "metaData";
    return {
            {QStringLiteral("name"), ProviderWord},
            {QStringLiteral("version"), QStringLiteral("0.2")},
            {QStringLiteral("comment"), QStringLiteral("Accounts Quillnet Social Provider")},
            {QStringLiteral("icon"), QStringLiteral("icon-m-quillnet")},
    };
}

bool SdpImpl::registerRequest(SocialDataRequest *object, const QString &requestId, const QByteArray &request)
{
    bool readable = request.size() <= SocialDataRequest::MaxRequestSize;
    if (readable) {
        QDataStream in(request);
        readable = object->readFromStream(in);
    }
    if (!readable) {
        // Bytes from anyone on the bus: answered, never handed on.
        qWarning() << Q_FUNC_INFO << "unreadable request of" << request.size() << "bytes, type" << object->type();
        const int type = object->type();
        delete object;
        refuse(type, requestId, request, SocialProviderError::InvalidRequestError,
               QStringLiteral("The request could not be read"));
        return false;
    }
    mPendingRequests.insert(object, requestId);
    connect(object, &SocialDataRequest::finished, this, qOverload<SocialDataRequest *>(&SdpImpl::requestFinished));
    return true;
}

void SdpImpl::refuse(int requestType, const QString &requestId, const QByteArray &request, int errorType,
                     const QString &description)
{
    emit requestFinished(requestType, requestId, request, encodeError(errorType, description));
}

QByteArray SdpImpl::encodeError(int type, const QString &description)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << SocialProviderError(type, description);
    return bytes;
}

void SdpImpl::requestFinished(SocialDataRequest *request)
{
    const auto found = mPendingRequests.constFind(request);
    const QString id = found == mPendingRequests.constEnd() ? QString() : found.value();
    if (id.isEmpty()) {
        qWarning() << Q_FUNC_INFO << id << "request not signaled - not found!!!!";
        // One of ours with an empty id still goes; one we never recorded is left alone.
        if (found != mPendingRequests.constEnd()) {
            mPendingRequests.remove(request);
            request->deleteLater();
        }
        return;
    }

    QByteArray error;
    const QList<SocialProviderError> errors = request->errors();
    if (!errors.isEmpty()) {
        QDataStream out(&error, QIODevice::WriteOnly);
        out << errors.first();
        qDebug() << Q_FUNC_INFO << id << "error:" << errors.first().type()
                 << " description: " << errors.first().description();
    }

    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    request->writeToStream(out);

    emit requestFinished(request->type(), id, bytes, error);
    mPendingRequests.remove(request);
    request->deleteLater();
}

template<typename Record>
QList<QVariant> SdpImpl::encodeItems(const QList<Record> &items)
{
    QList<QVariant> encoded;
    encoded.reserve(items.size());
    for (const SocialGenericData &item : items) {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << item;
        encoded.append(QVariant(bytes));
    }
    return encoded;
}

void SdpImpl::onPersonsUpdate(const QList<SocialNetworkPerson> &persons, const QList<QString> &updatedProperties)
{
    const QList<QVariant> data = encodeItems(persons);
    qDebug() << "onPersonsUpdate"
             << "persons count: " << data.size();
    emit personsUpdate(data, updatedProperties);
}

void SdpImpl::onActivityUpdate(const QList<SocialActivity> &activities, const QList<QString> &updatedProperties,
                               SocialProviderTimeline::TimelineType timeline)
{
    emit activityUpdate(encodeItems(activities), updatedProperties, int(timeline));
    qDebug() << Q_FUNC_INFO << "signal emitted";
}

void SdpImpl::onDataUpdate(const QList<SocialGenericData> &data, const QList<QString> &updatedProperties)
{
    emit dataUpdate(encodeItems(data), updatedProperties);
}
