// Publishes the user's news feed into the home screen Event Feed: fetches the feed, gets pictures
// and avatars, and reconciles it with what was published before.
#pragma once

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qntypes.h"

#include <memory>
#include <optional>

class ComTarvoHomeEventFeedInterface;
class DaemonDatabase;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;

namespace Qn {
class Quillnet;
} // namespace Qn

class EventfeedHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(EventfeedHandler)

public:
    // Identifies this program's items in the Event Feed.
    static const QString SourceName;
    // Posts asked for per import.
    static constexpr int FeedLimit = 30;
    // How long an import waits without any sign of progress.
    static constexpr int SafetyTimeoutMs = 90000;
    // How long a pass waits for the Event Feed to answer one addItem before it leaves the other new
    // posts for a later pass. The call itself never times out: an answer that comes later is
    // recorded all the same, so that the item is not added twice.
    static constexpr int EventFeedTimeoutMs = 5000;

    explicit EventfeedHandler(QObject *parent = nullptr);
    ~EventfeedHandler() override;

    // Binds the client, the Event Feed and the database and connects their signals; false when one
    // is missing or a connection fails. Learns which instance of the Event Feed owns its name: the
    // items recorded for another instance are forgotten (without a call), so that they are
    // published again.
    bool init(Qn::Quillnet *quillnet, ComTarvoHomeEventFeedInterface *eventFeed, DaemonDatabase *database);

    // The user's news feed switch: while it is off, nothing is published of the handler's own
    // accord (after a new Event Feed instance or a rebuilt database). Imports asked for still run.
    void setEnabled(bool enabled);

    // Imports the news feed from the client's cache (true) or from the service (false). Every call
    // decides, also while an import runs, whether the running import ends with
    // eventsfeedImported(): only when the last call asked for the network. True when the import
    // started or one was running already.
    bool startNewsfeedImport(bool fromCache);
    // The two kinds of import. From the cache, when every picture and avatar is cached, the pass
    // runs within the call; it ends there too unless new posts wait for the Event Feed's answers.
    bool importNewsfeedFromNetwork();
    bool importNewsfeedFromCache();
    // An import runs: from its start to the end of its publishing pass.
    bool isImporting() const { return mImportRunning; }
    // An addItem awaits its answer, whose id is recorded when it comes.
    bool isAdding() const { return mAdding.call != nullptr; }

    // Withdraws all of this program's items from the Event Feed without waiting for the answer, and
    // forgets them, so that the next import publishes the whole feed again. A running import ends
    // without publishing or recording anything more.
    void clear();

signals:
    // A publishing pass that was not asked for by a cache import is over.
    void eventsfeedImported();
    // An import from the service started.
    void importStarted();

private slots:
    void onProfilePictureUpdated(const QString &profId, Qn::PictureType pictureType, const QString &location);
    void onNewsFeedRetrieved(const Qn::QnPosts &posts);
    void onDataRetrieved(const QUrl &remoteUrl, const QString &location);
    void onSafetyTimerHit();
    void onDbReseted();
    void onRequestFailed(Qn::RequestKind kind, const QString &subject);
    void onFeedOwnerChanged(const QString &service, const QString &oldOwner, const QString &newOwner);

private:
    // One addItem on its way to the Event Feed.
    struct Add
    {
        Qn::QnPost post;
        QDBusPendingCallWatcher *call = nullptr;
        // A withdrawal of all items since the call was sent took this one too.
        quint64 clears = 0;
    };

    // Drops the posts of the excluded application and looks up, or starts downloading, every
    // picture and avatar the posts need.
    void retrievePictures();
    bool downloadsDone() const;
    // Runs the publishing pass once every download has reported.
    void checkDownloads();
    // The publishing pass: updates changed footers, withdraws posts that left the feed, then adds
    // the new posts one after the other, each recorded as its answer comes, and ends the import.
    void processPosts();
    // Sends the next new post, or ends the pass when none is left or the Event Feed went silent.
    void addNext();
    void onAddAnswered(QDBusPendingCallWatcher *call);
    void onAddTimedOut();
    void finishPass();
    // Withdraws every item of this program and forgets them.
    void withdrawAll();
    // Publishes the feed again from the client cache, now or once the running import has ended.
    void republish();
    // Takes the instance that owns the Event Feed's name now, and forgets the items of another.
    void followFeedOwner(const QString &owner, bool republishAfter);
    // Sends the post's item to the Event Feed; false when it is skipped (no avatar, no Event Feed).
    // Then makes the item of the next new post while the Event Feed answers this one.
    bool publishPost(const Qn::QnPost &post);
    // The post's item; false (with a warning) when the post cannot be shown.
    bool makeItem(const Qn::QnPost &post, QVariantMap &item);
    void updatePost(const Qn::QnPost &post, qint64 homeviewId);
    void addFooter(const Qn::QnPost &post, QVariantMap &item) const;
    static QString escapeHtml(const QString &text);
    // The post's picture address when it has one that may be shown, else an empty address.
    static QUrl pictureUrl(const Qn::QnPost &post);
    static QString pictureKey(const QUrl &url);

    QPointer<Qn::Quillnet> mQuillnet;
    // A network import waits for the service's news feed page.
    bool mAwaitingFeed = false;
    // The Event Feed's well-known name; calls go to the instance that owns it (mFeed).
    ComTarvoHomeEventFeedInterface *mEventFeedIf = nullptr;
    DaemonDatabase *mDatabase = nullptr;
    QDBusServiceWatcher *mFeedWatcher = nullptr;
    // The bus, and the unique name of the Event Feed instance the items rows belong to; the calls
    // that carry its item ids go to that instance alone. No proxy while no instance is known.
    QString mBusId;
    QString mFeedOwner;
    std::unique_ptr<ComTarvoHomeEventFeedInterface> mFeed;
    bool mEnabled = false;
    // Picture address (pictureKey) and user id to local file; empty while the download is pending.
    QMap<QString, QString> mPictures;
    QMap<QString, QString> mAvatars;
    bool mImportRunning = false;
    // The pass runs: downloads and answers that come now are not waited for any more.
    bool mPublishing = false;
    bool mFromCache = false;
    // Publish from the cache again when the running import ends.
    bool mRepublish = false;
    // The digest of the cached page this pass publishes (empty for an answer of the service), whether
    // the pass left every post of it published, and the page of the last such pass: while the page
    // and the rows stay as that pass left them, a pass from the cache has nothing to do.
    QByteArray mPage;
    bool mPassComplete = false;
    QByteArray mCompletePage;
    int mPendingPictures = 0;
    int mPendingAvatars = 0;
    Qn::QnPosts mPosts;
    QTimer mSafetyTimer;
    // The pass's new posts, oldest first, and the one being added.
    Qn::QnPosts mToAdd;
    Add mAdding;
    // The item of the first post of mToAdd, made ahead; whether it could be made.
    struct NextItem
    {
        QString postId;
        bool made = false;
        QVariantMap item;
    };
    std::optional<NextItem> mNext;
    // An add the Event Feed did not answer in time. The next pass waits for it before anything else
    // (mLateWaited), and adds nothing while it stays out.
    Add mLateAdd;
    bool mLateWaited = false;
    QTimer mAddTimer;
    quint64 mClears = 0;
};
