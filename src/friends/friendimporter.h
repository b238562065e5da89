// Fetches the user's friend list page by page and the friends' latest status messages, and hands
// them to the social provider plug-in; creates the social provider runner with that plug-in.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/qnuserref.h"

class QuillnetPlugin;
class SdpImpl;

namespace Qn {
class Quillnet;
} // namespace Qn

class FriendImporter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FriendImporter)

public:
    static constexpr int PageSize = 50;
    static constexpr int StatusBatchSize = 20;
    static constexpr int CachedStatusesPerFriend = 3;
    static constexpr int SafetyTimeoutMs = 60000;
    // The profile fields asked for with every friend page.
    static const QStringList FriendFields;

    explicit FriendImporter(QObject *parent = nullptr);
    ~FriendImporter() override;

    // Binds the client, connects its answers, and creates the runner (which takes the provider's
    // name on the session bus, or ends the process) with a plug-in bound to the client and the
    // account. False without a client or when a connection fails.
    bool init(Qn::Quillnet *client, const QString &accountName);

    // Starts importing from the service (fromCache false; true while one runs already), or announces
    // the friends in the client's cache (true). False without an initialised client, or from the
    // cache when it holds no friends.
    bool startFriendImport(bool fromCache);

    void accountRemoved();
    void accountDisabled();

    // The client this importer works with; null once the daemon has deleted it.
    Qn::Quillnet *client() const;

signals:
    // A network import is over: true when every page and every friend's status message arrived,
    // false when one failed or the safety timer ended it.
    void friendImportReady(bool ok);
    // A network import started.
    void importStarted();

private slots:
    void onFriendsUpdated(Qn::QnUserRefs friends);
    void onLatestStatusMessageRetrieved(QStringList ids, Qn::QnPosts posts);
    void onSafetyTimeout();
    void onRequestFailed(Qn::RequestKind kind, const QString &subject);

private:
    // After the last page: asks for the statuses of the friends found.
    void requestStatuses();
    // Hands over friends without their status and ends the import when none is awaited any more.
    void addPending(const QStringList &ids);
    bool importFromNetwork();
    bool importFromCache();
    void requestPage();

    // Guarded: after a re-login the daemon deletes the client while this importer lives on until the
    // new client is initialised.
    QPointer<Qn::Quillnet> mClient;
    SdpImpl *mRunner = nullptr;
    // Owned by the runner.
    QuillnetPlugin *mPlugin = nullptr;
    QSet<QString> mPendingIds;
    int mPageOffset = 0;
    // Pages refused in a row; a refused page is skipped, a second one in a row ends the paging.
    int mFailedPages = 0;
    bool mComplete = true;
    bool mFriendsRunning = false;
    bool mStatusRunning = false;
    QTimer mSafetyTimer;
};
