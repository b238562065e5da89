// Publishes the user's news feed into the home screen Event Feed: fetches the feed, gets pictures
// and avatars, and reconciles it with what was published before.
#pragma once

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

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

    explicit EventfeedHandler(QObject *parent = nullptr);
    ~EventfeedHandler() override;

    // Binds the client, the Event Feed and the database and connects their signals; false when one
    // is missing or a connection fails.
    bool init(Qn::Quillnet *quillnet, ComTarvoHomeEventFeedInterface *eventFeed, DaemonDatabase *database);

    // Starts an import of the news feed, from the client's cache or from the service.
    bool startNewsfeedImport(bool fromCache);

    // Withdraws all of this program's items from the Event Feed. The database rows stay.
    void clear();

signals:
    void eventsfeedImported();

private slots:
    void onProfilePictureUpdated(const QString &profId, Qn::PictureType pictureType, const QString &location);
    void onNewsFeedRetrieved(const Qn::QnPosts &posts);
    void onDataRetrieved(const QUrl &remoteUrl, const QString &location);
    void onSafetyTimerHit();
    void onDbReseted();

private:
    QPointer<Qn::Quillnet> mQuillnet;
    ComTarvoHomeEventFeedInterface *mEventFeedIf = nullptr;
    DaemonDatabase *mDatabase = nullptr;
    QMap<QString, QString> mPictures;
    QMap<QString, QString> mAvatars;
    bool mImportRunning = false;
    bool mFromCache = false;
    int mPendingPictures = 0;
    int mPendingAvatars = 0;
    Qn::QnPosts mPosts;
    QTimer mSafetyTimer;
};
