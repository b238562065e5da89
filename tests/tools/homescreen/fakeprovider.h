// A social provider on the test bus, as the daemon's runner shows itself: the name
// com.tarvo.socialprovider.quillnet on a connection of its own, the object /quillnet with the runner's
// interface. It reads each request with the framework's classes, records it, and answers it with the
// records and the error the test gives, at once or when the test lets it; it announces persons on
// request.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialprovidererror.h"

class FakeProvider : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvo.socialprovider.runner")
    Q_DISABLE_COPY(FakeProvider)

public:
    struct Request
    {
        int type = 0;
        QString id;
        QByteArray bytes;
        // Property to pattern; empty also when the bytes did not read.
        QHash<QString, QString> filter;
        bool readCleanly = false;
    };

    FakeProvider();
    ~FakeProvider() override;

    // False when the name or the object cannot be had.
    bool registerOnBus();

    // Announces the persons (as the minimal records the provider sends) with personsUpdate.
    void announce(const QList<SocialGenericData> &persons);

    QList<Request> requests;
    // How the next requests are answered: with these persons, with this error when its type is not
    // 0, under this id when it is not empty, or with these bytes in place of the answer when they
    // are not empty.
    QList<SocialNetworkPerson> persons;
    SocialProviderError error;
    QString answerId;
    QByteArray answerBytes;
    // Above 0: answers in parts of at most this many bytes, as the daemon sends large ones.
    int partBytes = 0;
    // While set, requests are recorded and not answered, until answerHeld().
    bool holdAnswers = false;

    // Answers every held request, in the order they came.
    void answerHeld();

public slots:
    void performRequest(int requestType, const QString &requestId, const QByteArray &request);

signals:
    void personsUpdate(const QVariantList &data, const QStringList &updatedProperties);
    void requestFinished(int requestType, const QString &requestId, const QByteArray &request, const QByteArray &error);

private:
    void answer(const Request &request);

    QList<Request> mHeld;
    const QString mConnectionName;
    QDBusConnection mConnection;
};
