// Publishes the user's news feed into the home screen Event Feed: fetches the feed, gets pictures
// and avatars, and reconciles it with what was published before.
#pragma once

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qntypes.h"

class ComTarvoHomeEventFeedInterface;
class DaemonDatabase;

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
    // How long a call to the Event Feed may go unanswered; init() sets it on the proxy.
    static constexpr int EventFeedTimeoutMs = 5000;

    explicit EventfeedHandler(QObject *parent = nullptr);
    ~EventfeedHandler() override;

    // Binds the client, the Event Feed and the database and connects their signals; false when one
    // is missing or a connection fails.
    bool init(Qn::Quillnet *quillnet, ComTarvoHomeEventFeedInterface *eventFeed, DaemonDatabase *database);

    // Imports the news feed from the client's cache (true) or from the service (false). Every call
    // decides, also while an import runs, whether the running import ends with
    // eventsfeedImported(): only when the last call asked for the network. True when the import
    // started or one was running already.
    bool startNewsfeedImport(bool fromCache);
    // The two kinds of import. From the cache, the whole import runs before the call returns when
    // every picture and avatar is cached.
    bool importNewsfeedFromNetwork();
    bool importNewsfeedFromCache();

    // Withdraws all of this program's items from the Event Feed without waiting for the answer, and
    // forgets them, so that the next import publishes the whole feed again.
    void clear();

signals:
    // A publishing pass that was not asked for by a cache import is over.
    void eventsfeedImported();

private slots:
    void onProfilePictureUpdated(const QString &profId, Qn::PictureType pictureType, const QString &location);
    void onNewsFeedRetrieved(const Qn::QnPosts &posts);
    void onDataRetrieved(const QUrl &remoteUrl, const QString &location);
    void onSafetyTimerHit();
    void onDbReseted();

private:
    // publishPost's results other than the new item's id.
    static constexpr qint64 PublishFailed = -1; // no proxy, or the Event Feed answered an error or -1
    static constexpr qint64 PublishSkipped = -2; // no avatar
    static constexpr qint64 PublishUnanswered = -3; // the Event Feed is absent or did not answer in time

    // Drops the posts of the excluded application and looks up, or starts downloading, every
    // picture and avatar the posts need.
    void retrievePictures();
    bool downloadsDone() const;
    // Runs the publishing pass once every download has reported.
    void checkDownloads();
    // The publishing pass: adds new posts, updates changed footers, withdraws posts that left the
    // feed, and ends the import.
    void processPosts();
    qint64 publishPost(const Qn::QnPost &post);
    void updatePost(const Qn::QnPost &post, qint64 homeviewId);
    void addFooter(const Qn::QnPost &post, QVariantMap &item) const;
    static QString escapeHtml(const QString &text);
    // The post's picture address when it has one that may be shown, else an empty address.
    static QUrl pictureUrl(const Qn::QnPost &post);
    static QString pictureKey(const QUrl &url);

    QPointer<Qn::Quillnet> mQuillnet;
    ComTarvoHomeEventFeedInterface *mEventFeedIf = nullptr;
    DaemonDatabase *mDatabase = nullptr;
    // Picture address (pictureKey) and user id to local file; empty while the download is pending.
    QMap<QString, QString> mPictures;
    QMap<QString, QString> mAvatars;
    bool mImportRunning = false;
    bool mFromCache = false;
    int mPendingPictures = 0;
    int mPendingAvatars = 0;
    Qn::QnPosts mPosts;
    QTimer mSafetyTimer;
};
