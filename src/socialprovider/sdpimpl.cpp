#include "socialprovider/sdpimpl.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDataStream>
#include <QDebug>
#include <QPointer>
#include <QTimer>

#include <unistd.h>

#include "platform/socialprovider/socialdatarequest.h"
#include "platform/socialprovider/socialproviderinterface.h"
#include "runneradaptor.h"
#include "platform/support/logtext.h"
#include "socialprovider/quillnetplugin.h"
#include "platform/support/logging.h"

const QString SdpImpl::ServiceNamePrefix = QStringLiteral("com.tarvo.socialprovider.");
const QString SdpImpl::ProviderWord = QStringLiteral("quillnet");

namespace {

// Room in a message for its header, the request id and the error beside the answer's bytes.
int messageOverhead(int errorBytes)
{
    return 1024 + 3 * SdpImpl::MaxRequestIdLength + errorBytes;
}

} // namespace

SdpImpl::SdpImpl(SocialProviderInterface *handler, QObject *parent)
    : QObject(parent)
{
    new RunnerAdaptor(this);

    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString serviceName = ServiceNamePrefix + ProviderWord;
    if (!bus.registerService(serviceName)) {
        qCDebug(lcProvider) << Q_FUNC_INFO << "Failed to register service"
                            << " exit process=" << getpid() << " ppid=" << getppid();
        ::exit(1);
    }
    mServiceName = serviceName;

    mObjectPath = QLatin1Char('/') + ProviderWord;
    // The adaptor is what the bus sees: the interface of its introspection XML and nothing else.
    if (!bus.registerObject(mObjectPath, this, QDBusConnection::ExportAdaptors)) {
        qCCritical(lcProvider) << Q_FUNC_INFO << "Unable to register:" << bus.lastError().name()
                               << bus.lastError().message();
        ::exit(1);
    }

    if (handler)
        setHandler(handler);
}

SdpImpl::~SdpImpl()
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!mServiceName.isEmpty())
        bus.unregisterService(mServiceName);
    if (!mObjectPath.isEmpty())
        bus.unregisterObject(mObjectPath, QDBusConnection::UnregisterNode);
    delete mHandler;
    // Nobody will answer these any more.
    mPendingRequests.clear();
    for (Conversion *conversion : std::as_const(mConversions)) {
        delete conversion->request;
        delete conversion;
    }
}

void SdpImpl::setHandler(SocialProviderInterface *handler)
{
    if (handler && handler == mHandler)
        return;
    if (mHandler) {
        delete mHandler;
        mHandler = nullptr;
        // What the old handler had not finished would never be answered, and would take in every
        // identical request after it.
        const QList<Conversion *> conversions = mConversions;
        for (Conversion *conversion : conversions) {
            if (conversion->started && !conversion->finished)
                removeConversion(conversion);
        }
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

void SdpImpl::setMaxMessageBytes(int bytes)
{
    mMaxMessageBytes = qBound(16 * 1024, bytes, DefaultMaxMessageBytes);
}

void SdpImpl::performRequest(int requestType, const QString &requestId, const QByteArray &request)
{
    if (requestId.size() > MaxRequestIdLength) {
        qCWarning(lcProvider) << Q_FUNC_INFO << "request id of" << requestId.size() << "characters: not answered";
        return;
    }
    if (!mHandler) {
        qCWarning(lcProvider) << Q_FUNC_INFO << "Handler is null";
        if (requestType != SocialDataRequest::AggregatedServicesType) {
            refuse(requestType, requestId, request, SocialProviderError::NotInitializedError,
                   QStringLiteral("Handler not ready"));
            return;
        }
        qCDebug(lcProvider) << Q_FUNC_INFO << "but we still handle GetAggregatedServicesRequest nevertheless";
    }
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

    // Calls from this process (tests) count as one client.
    const QString client = calledFromDBus() ? message().service() : QString();
    if (mPendingByClient.value(client) >= MaxPendingPerClient) {
        if (mRefusedByClient[client]++ == 0)
            qCWarning(lcProvider) << Q_FUNC_INFO << "client" << client << "has" << MaxPendingPerClient
                                  << "requests pending: refusing more until they are answered";
        delete object;
        refuse(requestType, requestId, request, SocialProviderError::InvalidRequestError,
               QStringLiteral("Too many requests pending"));
        return;
    }
    if (readRequest(object, requestId, request))
        accept(object, {client, requestId});
}

QVariantMap SdpImpl::metaData()
{
    qCDebug(lcProvider) << "Enter:"
                        << "metaData";
    return {
            {QStringLiteral("name"), ProviderWord},
            {QStringLiteral("version"), QStringLiteral("0.2")},
            {QStringLiteral("comment"), QStringLiteral("Accounts Quillnet Social Provider")},
            {QStringLiteral("icon"), QStringLiteral("icon-m-quillnet")},
    };
}

bool SdpImpl::readRequest(SocialDataRequest *object, const QString &requestId, const QByteArray &request)
{
    bool readable = request.size() <= SocialDataRequest::MaxRequestSize;
    if (readable) {
        QDataStream in(request);
        readable = object->readFromStream(in);
    }
    if (readable)
        return true;
    // Bytes from anyone on the bus: answered, never handed on.
    qCWarning(lcProvider) << Q_FUNC_INFO << "unreadable request of" << request.size() << "bytes, type" << object->type()
                          << object->readProblem();
    const int type = object->type();
    delete object;
    refuse(type, requestId, request, SocialProviderError::InvalidRequestError,
           QStringLiteral("The request could not be read"));
    return false;
}

void SdpImpl::accept(SocialDataRequest *object, const Recipient &recipient)
{
    ++mPendingByClient[recipient.client];
    // The type and the parameters as the request reads them: the same bytes for the same request.
    QByteArray key;
    QDataStream out(&key, QIODevice::WriteOnly);
    out << qint32(object->type());
    object->writeParametersToStream(out);
    for (Conversion *conversion : std::as_const(mConversions)) {
        if (conversion->key != key)
            continue;
        delete object;
        // Once its parts are going out, a newcomer waits for the next round from the first part.
        if (conversion->part > 0)
            conversion->waiting.append(recipient);
        else
            conversion->sending.append(recipient);
        return;
    }
    auto *conversion = new Conversion;
    conversion->key = key;
    conversion->request = object;
    conversion->sending.append(recipient);
    mConversions.append(conversion);
    mPendingRequests.insert(object, conversion);
    connect(object, &SocialDataRequest::finished, this, qOverload<SocialDataRequest *>(&SdpImpl::requestFinished));
    if (!mStartScheduled) {
        mStartScheduled = true;
        QTimer::singleShot(0, this, &SdpImpl::startNext);
    }
}

void SdpImpl::startNext()
{
    mStartScheduled = false;
    const auto next = std::find_if(mConversions.cbegin(), mConversions.cend(),
                                   [](const Conversion *conversion) { return !conversion->started; });
    if (next == mConversions.cend())
        return;
    Conversion *conversion = *next;
    conversion->started = true;
    // The bus messages that came meanwhile (a control call among them) go before the next one.
    if (std::any_of(next + 1, mConversions.cend(), [](const Conversion *later) { return !later->started; })) {
        mStartScheduled = true;
        QTimer::singleShot(0, this, &SdpImpl::startNext);
    }
    SocialDataRequest *request = conversion->request;
    if (mHandler) {
        mHandler->performRequest(request);
    } else if (request->type() == SocialDataRequest::AggregatedServicesType) {
        // The framework answers this type before performRequest returns.
        QuillnetPlugin unbound;
        unbound.performRequest(request);
    } else {
        // The handler went after the request came.
        request->setState(
                SocialDataRequest::Finished,
                {SocialProviderError(SocialProviderError::NotInitializedError, QStringLiteral("Handler not ready"))});
    }
}

void SdpImpl::refuse(int requestType, const QString &requestId, const QByteArray &request, int errorType,
                     const QString &description)
{
    const QByteArray error = encodeError(errorType, description);
    // The received bytes came through the bus, but they might not fit beside the rest.
    const bool echo = request.size() <= mMaxMessageBytes - messageOverhead(error.size());
    if (!echo)
        qCWarning(lcProvider) << Q_FUNC_INFO << "the refused request of" << request.size() << "bytes is not sent back";
    emit requestFinished(requestType, requestId, echo ? request : QByteArray(), error);
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
    Conversion *conversion = mPendingRequests.value(request);
    if (!conversion) {
        qCWarning(lcProvider) << Q_FUNC_INFO << QString() << "request not signaled - not found!!!!";
        return;
    }
    conversion->finished = true;
    const QList<SocialProviderError> errors = request->errors();
    if (!errors.isEmpty()) {
        conversion->error = encodeError(errors.first().type(), errors.first().description().left(65536));
        qCDebug(lcProvider) << Q_FUNC_INFO << conversion->sending.value(0).id << "error:" << errors.first().type()
                            << " description: " << Support::logText(errors.first().description());
    }
    // Those who gave no id get no answer.
    for (qsizetype i = conversion->sending.size() - 1; i >= 0; --i) {
        if (conversion->sending.at(i).id.isEmpty()) {
            qCWarning(lcProvider) << Q_FUNC_INFO << QString() << "request not signaled - not found!!!!";
            release(conversion->sending.takeAt(i));
        }
    }
    if (conversion->sending.isEmpty() && conversion->waiting.isEmpty()) {
        removeConversion(conversion);
        return;
    }
    scheduleSend();
}

void SdpImpl::scheduleSend()
{
    if (!mSendScheduled && !mAwaitingBus) {
        mSendScheduled = true;
        QTimer::singleShot(0, this, &SdpImpl::sendAnswers);
    }
}

void SdpImpl::sendAnswers()
{
    mSendScheduled = false;
    if (mAwaitingBus)
        return;
    const QPointer<SdpImpl> self(this);
    qsizetype sent = 0;
    while (sent < mMaxMessageBytes) {
        const auto found = std::find_if(mConversions.cbegin(), mConversions.cend(), [](const Conversion *conversion) {
            return conversion->finished && (!conversion->sending.isEmpty() || !conversion->waiting.isEmpty());
        });
        if (found == mConversions.cend())
            break;
        Conversion *conversion = *found;
        if (!conversion->encoded) {
            conversion->records
                    += conversion->request->encodeResults(int(conversion->records.size()), EncodeSliceBytes);
            conversion->encoded = conversion->records.size() >= conversion->request->resultCount();
            if (!conversion->encoded) {
                if (sent == 0)
                    scheduleSend();
                break;
            }
        }
        if (conversion->sending.isEmpty()) {
            conversion->sending = conversion->waiting;
            conversion->waiting.clear();
        }
        if (conversion->partBytes.isEmpty()) {
            int skipped = 0;
            conversion->partBytes = conversion->request->writeAnswerPart(
                    ++conversion->part, conversion->records, conversion->nextRecord,
                    mMaxMessageBytes - messageOverhead(conversion->error.size()), &conversion->nextRecord, &skipped);
            if (skipped > 0)
                qCWarning(lcProvider) << Q_FUNC_INFO << skipped << "records larger than a message are left out of part"
                                      << conversion->part;
            if (conversion->part == 1 && conversion->nextRecord >= 0)
                qCDebug(lcProvider) << Q_FUNC_INFO << "the answer to" << conversion->sending.size()
                                    << "callers is larger than a message: sent in parts of at most" << mMaxMessageBytes
                                    << "bytes";
        }
        const Recipient recipient = conversion->sending.at(conversion->nextRecipient++);
        const int type = conversion->request->type();
        const QByteArray part = conversion->partBytes;
        const QByteArray error = conversion->error;
        const bool partDone = conversion->nextRecipient == conversion->sending.size();
        const bool answerDone = partDone && conversion->nextRecord < 0;
        if (partDone) {
            conversion->partBytes.clear();
            conversion->nextRecipient = 0;
        }
        if (answerDone) {
            const QList<Recipient> answered = conversion->sending;
            conversion->sending.clear();
            conversion->part = 0;
            conversion->nextRecord = 0;
            for (const Recipient &done : answered)
                release(done);
            if (conversion->waiting.isEmpty())
                removeConversion(conversion);
        }
        sent += part.size();
        emit requestFinished(type, recipient.id, part, error);
        if (!self)
            return;
    }
    if (sent == 0)
        return;
    // The bus answers in order: its answer says it has read everything sent before.
    mAwaitingBus = true;
    const QDBusMessage ping = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ping), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        onBusCaughtUp();
    });
}

void SdpImpl::onBusCaughtUp()
{
    mAwaitingBus = false;
    sendAnswers();
}

void SdpImpl::release(const Recipient &recipient)
{
    const auto pending = mPendingByClient.find(recipient.client);
    if (pending == mPendingByClient.end())
        return;
    if (--pending.value() > 0)
        return;
    mPendingByClient.erase(pending);
    const int refused = mRefusedByClient.take(recipient.client);
    if (refused > 0)
        qCWarning(lcProvider) << "void SdpImpl::release(const Recipient&)" << refused << "requests of client"
                              << recipient.client << "were refused";
}

void SdpImpl::removeConversion(Conversion *conversion)
{
    for (const Recipient &recipient : std::as_const(conversion->sending))
        release(recipient);
    for (const Recipient &recipient : std::as_const(conversion->waiting))
        release(recipient);
    mConversions.removeOne(conversion);
    mPendingRequests.remove(conversion->request);
    conversion->request->deleteLater();
    delete conversion;
}

template<typename Record>
QList<QList<QVariant>> SdpImpl::encodeItems(const QList<Record> &items, const QStringList &properties) const
{
    qsizetype room = mMaxMessageBytes - messageOverhead(0);
    for (const QString &property : properties)
        room -= 8 + 2 * property.size();
    QList<QList<QVariant>> batches {{}};
    qsizetype batchBytes = 0;
    int dropped = 0;
    for (const SocialGenericData &item : items) {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << item;
        // A variant holding bytes: its signature, the length and the bytes.
        const qsizetype needed = bytes.size() + 8;
        if (needed > room) {
            ++dropped;
            continue;
        }
        if (batchBytes + needed > room) {
            batches.append(QList<QVariant>());
            batchBytes = 0;
        }
        batches.last().append(QVariant(bytes));
        batchBytes += needed;
    }
    if (dropped > 0)
        qCWarning(lcProvider) << "SdpImpl::encodeItems" << dropped << "records larger than a message are not sent";
    return batches;
}

void SdpImpl::onPersonsUpdate(const QList<SocialNetworkPerson> &persons, const QList<QString> &updatedProperties)
{
    const QPointer<SdpImpl> self(this);
    for (const QList<QVariant> &data : encodeItems(persons, updatedProperties)) {
        qCDebug(lcProvider) << "onPersonsUpdate"
                            << "persons count: " << data.size();
        emit personsUpdate(data, updatedProperties);
        if (!self)
            return;
    }
}

void SdpImpl::onActivityUpdate(const QList<SocialActivity> &activities, const QList<QString> &updatedProperties,
                               SocialProviderTimeline::TimelineType timeline)
{
    const QPointer<SdpImpl> self(this);
    for (const QList<QVariant> &data : encodeItems(activities, updatedProperties)) {
        emit activityUpdate(data, updatedProperties, int(timeline));
        if (!self)
            return;
        qCDebug(lcProvider) << Q_FUNC_INFO << "signal emitted";
    }
}

void SdpImpl::onDataUpdate(const QList<SocialGenericData> &data, const QList<QString> &updatedProperties)
{
    const QPointer<SdpImpl> self(this);
    for (const QList<QVariant> &batch : encodeItems(data, updatedProperties)) {
        emit dataUpdate(batch, updatedProperties);
        if (!self)
            return;
    }
}
