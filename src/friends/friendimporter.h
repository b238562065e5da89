// Fetches the user's friend list page by page and the friends' latest status messages for the
// social data provider.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnuserref.h"

namespace Qn {
class Quillnet;
} // namespace Qn

class FriendImporter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FriendImporter)

public:
    explicit FriendImporter(QObject *parent = nullptr);
    ~FriendImporter() override;

    // Binds the client and connects its answers; false without a client or when a connection fails.
    bool init(Qn::Quillnet *client, const QString &accountName);

    // Starts importing the friend list, from the service or (fromCache) from the client's cache.
    void startFriendImport(bool fromCache);

    void accountRemoved();
    void accountDisabled();

    // The client this importer works with; null once the daemon has deleted it.
    Qn::Quillnet *client() const;

signals:
    void friendImportReady(bool ok);

private slots:
    void onFriendsUpdated(Qn::QnUserRefs friends);
    void onLatestStatusMessageRetrieved(QStringList ids, Qn::QnPosts posts);
    void onSafetyTimeout();

private:
    // Guarded: after a re-login the daemon deletes the client while this importer lives on until the
    // new client is initialised.
    QPointer<Qn::Quillnet> mClient;
    QString mAccountName;
    QSet<QString> mPendingIds;
    int mPageOffset = 0;
    bool mFriendsRunning = false;
    bool mStatusRunning = false;
    QTimer mSafetyTimer;
};
