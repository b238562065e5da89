// The home screen's contacts view: plays the phone's contacts service toward the Quillnet social
// provider on the session bus, asks it for its persons whenever it appears or announces changed ones,
// and reports every contact as one line of text.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

class QDBusServiceWatcher;

namespace HomeScreen {

class ContactsView : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ContactsView)

public:
    static constexpr char ProviderService[] = "com.tarvo.socialprovider.quillnet";
    static constexpr char ProviderPath[] = "/quillnet";
    static constexpr char ProviderInterface[] = "com.tarvo.socialprovider.runner";
    // Contact lines printed for one answer, whose parts each hold up to 10000 records; the records
    // after them are not shown. A phone book of several thousand friends fits.
    static constexpr int MaxContactsPerAnswer = 8000;
    // Announced persons asked for after one personsUpdate; the provider announces 50 at most.
    static constexpr int MaxPersonsPerUpdate = 100;
    // Requests awaiting their answer; beyond, the oldest is forgotten. A friend import announces in
    // bursts that arrive before any answer: 5000 friends are 100 announcements of 50.
    static constexpr int MaxPendingRequests = 256;

    explicit ContactsView(QObject *parent = nullptr);
    ~ContactsView() override;

    // Connects to the session bus on a connection of its own and watches for the provider; asks it
    // for all persons at once when it is there already. False, with errorString() set, without a bus.
    bool start();
    QString errorString() const { return mError; }

    // Asks the provider for all persons. False, with a warning, when it is not on the bus.
    bool requestAll();

signals:
    // One line per contact and answer, without its line end: "contact <id> first=\"...\" ...",
    // "contacts 3", "persons-update 2", "contacts-error type=6 description=\"...\"".
    void changeReported(const QString &line);
    // The same contact for a view that shows it: "first", "last", "status" (texts) and "statusTime"
    // (a QDateTime), each only when the record has it.
    void contactReceived(const QString &id, const QVariantMap &shown);
    // The bus connection ended; the view can do nothing more.
    void busLost();

private slots:
    // The provider's signals, found by name.
    void onRequestFinished(int requestType, const QString &requestId, const QByteArray &answer,
                           const QByteArray &error);
    void onPersonsUpdate(const QVariantList &data, const QStringList &updatedProperties);
    void onDisconnected();

private:
    void onOwnerChanged(const QString &newOwner);
    // A persons request: all persons when ids is empty, else those of the ids.
    void sendRequest(const QStringList &ids);

    const QString mConnectionName;
    QDBusConnection mConnection;
    QDBusServiceWatcher *mWatcher = nullptr;
    QString mError;
    // The provider's unique name while it is on the bus.
    QString mOwner;
    // Ids of the requests sent to the current provider and not answered yet, oldest first.
    QStringList mPending;
    // Of an answer that comes in parts: the part expected next and the contacts shown so far.
    struct Progress
    {
        int nextPart = 1;
        int shown = 0;
    };
    QHash<QString, Progress> mProgress;
    quint64 mLastRequest = 0;
};

} // namespace HomeScreen
