#include "eventfeed/eventfeedhandler.h"

#include <QDebug>

#include "database/daemondatabase.h"
#include "eventfeedinterface.h"
#include "platform/quillnet/quillnet.h"

const QString EventfeedHandler::SourceName = QStringLiteral("Quillnet");

EventfeedHandler::EventfeedHandler(QObject *parent)
    : QObject(parent)
{
    if (!connect(&mSafetyTimer, SIGNAL(timeout()), this, SLOT(onSafetyTimerHit())))
        qWarning() << "Failed to connect safety timer!";
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

    const struct
    {
        QObject *sender;
        const char *signal;
        const char *slot;
        const char *failure;
    } wiring[] = {
            {mQuillnet, SIGNAL(profilePictureUpdated(QString, Qn::PictureType, QString)),
             SLOT(onProfilePictureUpdated(QString, Qn::PictureType, QString)),
             "Failed to connect profilePictureUpdated to onProfilePictureUpdated"},
            {mQuillnet, SIGNAL(newsFeedRetrieved(Qn::QnPosts)), SLOT(onNewsFeedRetrieved(Qn::QnPosts)),
             "Failed to connect newsFeedRetrieved to onNewsFeedRetrieved"},
            {mQuillnet, SIGNAL(dataRetrieved(QUrl, QString)), SLOT(onDataRetrieved(QUrl, QString)),
             "Failed to connect dataRetrieved to onDataRetrieved"},
            {mDatabase, SIGNAL(dbReseted()), SLOT(onDbReseted()), "Failed to connect dbReseted to onDbReseted"},
    };
    for (const auto &connection : wiring) {
        if (!connect(connection.sender, connection.signal, this, connection.slot)) {
            qCritical() << connection.failure;
            return false;
        }
    }
    return true;
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
