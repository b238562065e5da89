#include "eventfeed/eventfeedhandler.h"

#include <QDebug>

#include "database/daemondatabase.h"
#include "eventfeedinterface.h"
#include "platform/quillnet/quillnet.h"

const QString EventfeedHandler::SourceName = QStringLiteral("Quillnet");

EventfeedHandler::EventfeedHandler(QObject *parent)
    : QObject(parent)
{
    connect(&mSafetyTimer, &QTimer::timeout, this, &EventfeedHandler::onSafetyTimerHit);
    mSafetyTimer.setInterval(90000);
    mSafetyTimer.setSingleShot(true);
}

EventfeedHandler::~EventfeedHandler() = default;

bool EventfeedHandler::init(Qn::Quillnet *quillnet, ComTarvoHomeEventFeedInterface *eventFeed, DaemonDatabase *database)
{
    mQuillnet = quillnet;
    mEventFeedIf = eventFeed;
    mDatabase = database;
    if (!mQuillnet || !mEventFeedIf || !mDatabase) {
        qCritical() << "Some internal variables are NULL";
        return false;
    }

    connect(mQuillnet, &Qn::Quillnet::profilePictureUpdated, this, &EventfeedHandler::onProfilePictureUpdated);
    connect(mQuillnet, &Qn::Quillnet::newsFeedRetrieved, this, &EventfeedHandler::onNewsFeedRetrieved);
    connect(mQuillnet, &Qn::Quillnet::dataRetrieved, this, &EventfeedHandler::onDataRetrieved);
    connect(mDatabase, &DaemonDatabase::dbReseted, this, &EventfeedHandler::onDbReseted);
    return true;
}

bool EventfeedHandler::startNewsfeedImport(bool fromCache)
{
    qDebug() << Q_FUNC_INFO << fromCache;
    mFromCache = fromCache;
    return false;
}

void EventfeedHandler::clear()
{
    qDebug() << Q_FUNC_INFO;
    if (mEventFeedIf)
        mEventFeedIf->removeItemsBySourceName(SourceName);
}

// The import stages behind these slots come with the news feed import; until then the handler only
// traces what arrives.

void EventfeedHandler::onProfilePictureUpdated(const QString &profId, Qn::PictureType pictureType,
                                               const QString &location)
{
    qDebug() << Q_FUNC_INFO << profId << int(pictureType) << location;
}

void EventfeedHandler::onNewsFeedRetrieved(const Qn::QnPosts &posts)
{
    qDebug() << Q_FUNC_INFO << posts.count();
}

void EventfeedHandler::onDataRetrieved(const QUrl &remoteUrl, const QString &location)
{
    qDebug() << Q_FUNC_INFO << remoteUrl << location;
}

void EventfeedHandler::onSafetyTimerHit()
{
    qDebug() << Q_FUNC_INFO;
    mImportRunning = false;
    mSafetyTimer.stop();
}

void EventfeedHandler::onDbReseted()
{
    qDebug() << "Clearing items from events feed";
    clear();
}
