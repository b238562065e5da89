// The social provider runner: owns the provider's name and object on the session bus, turns each
// request of the contacts framework into a request object for its handler, answers when the request
// finishes, and relays the handler's updates. Identical requests in flight share one request object;
// answers go out in messages the bus takes, paced by the bus, so that the event loop keeps serving
// the daemon's other callers.
#pragma once

#include <QByteArray>
#include <QDBusContext>
#include <QHash>
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

class SdpImpl : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.socialprovider.runner")
    Q_DISABLE_COPY(SdpImpl)

public:
    static const QString ServiceNamePrefix;
    static const QString ProviderWord;

    // The most bytes one signal carries: an answer larger than that goes in several parts. Far below
    // what the bus takes: an array of at most 64 MiB in a message of at most 128 MiB by the D-Bus
    // protocol, and dbus-daemon's default of 32 MiB a message where no configuration raises it.
    // It is also what the bus has to read before a control call's answer can pass.
    static constexpr int DefaultMaxMessageBytes = 1024 * 1024;
    // Requests of one bus client accepted and not yet answered in full; more are refused. A friend
    // import of 5000 friends makes the home screen ask for 100 announcements at once.
    static constexpr int MaxPendingPerClient = 128;
    // Longer request ids are not answered: every signal of the answer would carry them.
    static constexpr int MaxRequestIdLength = 1024;
    // Bytes of records encoded in one event-loop pass before an answer goes out: about a
    // millisecond's work, after which a control call that came meanwhile is served.
    static constexpr int EncodeSliceBytes = 128 * 1024;

    // Registers the name and the object; when the bus refuses either, the process ends with
    // status 1. The handler may be null.
    explicit SdpImpl(SocialProviderInterface *handler = nullptr, QObject *parent = nullptr);
    ~SdpImpl() override;

    // Deletes the handler installed before; takes the new one (which may be null) as a child.
    // Requests the old one had not finished are dropped unanswered.
    void setHandler(SocialProviderInterface *handler);

    // For tests: a lower bound on the bytes of one signal (at least 16 KiB).
    void setMaxMessageBytes(int bytes);

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
    // Who asked, under which id.
    struct Recipient
    {
        QString client;
        QString id;
    };
    // One request object and everyone who asked for it while it was in flight.
    struct Conversion
    {
        QByteArray key;
        SocialDataRequest *request = nullptr;
        bool started = false;
        bool finished = false;
        QByteArray error;
        // Sent the parts one after the other; those who joined meanwhile get them from the first.
        QList<Recipient> sending;
        QList<Recipient> waiting;
        int part = 0;
        int nextRecord = 0;
        int nextRecipient = 0;
        QByteArray partBytes;
        // The answer's records, encoded once for every round and part.
        QList<QByteArray> records;
        bool encoded = false;
    };

    // Reads the request's parameters; false, with a refusal sent, when the bytes do not read.
    bool readRequest(SocialDataRequest *object, const QString &requestId, const QByteArray &request);
    // Takes the request, read, into a conversion in flight with the same parameters or a new one.
    void accept(SocialDataRequest *object, const Recipient &recipient);
    // requestFinished at once, with the received bytes (unless they would not fit) and one error.
    void refuse(int requestType, const QString &requestId, const QByteArray &request, int errorType,
                const QString &description);
    static QByteArray encodeError(int type, const QString &description);
    template<typename Record>
    QList<QList<QVariant>> encodeItems(const QList<Record> &items, const QStringList &properties) const;
    // Hands the next conversion to the handler: one an event-loop pass.
    void startNext();
    // Emits answers up to one message's worth of bytes, then waits until the bus has read them;
    // encodes a slice of an answer's records a pass before.
    void sendAnswers();
    void scheduleSend();
    void onBusCaughtUp();
    void release(const Recipient &recipient);
    void removeConversion(Conversion *conversion);

    QString mServiceName;
    QString mObjectPath;
    SocialProviderInterface *mHandler = nullptr;
    QMap<SocialDataRequest *, Conversion *> mPendingRequests;
    // In the order they came.
    QList<Conversion *> mConversions;
    QHash<QString, int> mPendingByClient;
    QHash<QString, int> mRefusedByClient;
    int mMaxMessageBytes = DefaultMaxMessageBytes;
    bool mStartScheduled = false;
    bool mSendScheduled = false;
    bool mAwaitingBus = false;
};
