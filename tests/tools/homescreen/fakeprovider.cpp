#include "fakeprovider.h"

#include <QDBusConnectionInterface>
#include <QDataStream>
#include <QIODevice>

#include <utility>

#include "platform/socialprovider/socialdatarequest.h"

namespace {

const QString ServiceName = QStringLiteral("com.tarvo.socialprovider.quillnet");
const QString ObjectPath = QStringLiteral("/quillnet");

} // namespace

FakeProvider::FakeProvider()
    : mConnectionName(QStringLiteral("fake-provider-%1").arg(quintptr(this), 0, 16))
    , mConnection(mConnectionName)
{}

FakeProvider::~FakeProvider()
{
    // Closing the connection releases the name at once.
    QDBusConnection::disconnectFromBus(mConnectionName);
}

bool FakeProvider::registerOnBus()
{
    mConnection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName);
    return mConnection.isConnected()
            && mConnection.interface()->registerService(ServiceName).value()
            == QDBusConnectionInterface::ServiceRegistered
            && mConnection.registerObject(ObjectPath, this,
                                          QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
}

void FakeProvider::announce(const QList<SocialGenericData> &announced)
{
    QVariantList data;
    for (const SocialGenericData &person : announced) {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << person;
        data << bytes;
    }
    emit personsUpdate(data, {});
}

void FakeProvider::performRequest(int requestType, const QString &requestId, const QByteArray &request)
{
    SocialGetPersonsRequest parsed;
    QDataStream in(request);
    Request seen;
    seen.type = requestType;
    seen.id = requestId;
    seen.bytes = request;
    seen.readCleanly = parsed.readFromStream(in);
    const auto filter = parsed.propertyFilter();
    for (auto it = filter.cbegin(); it != filter.cend(); ++it)
        seen.filter.insert(it.key(), it.value().pattern());
    requests << seen;
    if (holdAnswers)
        mHeld << seen;
    else
        answer(seen);
}

void FakeProvider::answerHeld()
{
    const QList<Request> held = std::exchange(mHeld, {});
    for (const Request &request : held)
        answer(request);
}

void FakeProvider::answer(const Request &request)
{
    SocialGetPersonsRequest parsed;
    QDataStream in(request.bytes);
    parsed.readFromStream(in);
    parsed.setPersons(persons);
    QByteArray answer = answerBytes;
    if (answer.isEmpty()) {
        QDataStream out(&answer, QIODevice::WriteOnly);
        parsed.writeToStream(out);
    }
    QByteArray errorBytes;
    if (error.type() != SocialProviderError::NoError) {
        QDataStream out(&errorBytes, QIODevice::WriteOnly);
        out << error;
    }
    const QString id = answerId.isEmpty() ? request.id : answerId;
    for (int number = 1, next = 0, skipped = 0; partBytes > 0 && answerBytes.isEmpty() && next >= 0; ++number)
        emit requestFinished(request.type, id, parsed.writeAnswerPart(number, next, partBytes, &next, &skipped),
                             errorBytes);
    if (partBytes == 0 || !answerBytes.isEmpty())
        emit requestFinished(request.type, id, answer, errorBytes);
}
