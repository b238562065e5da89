// Internals of Quillnet: the request description and the seam where requests leave for the service.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "platform/quillnet/qncache.h"
#include "platform/quillnet/qndatafilter.h"
#include "platform/quillnet/qnerror.h"
#include "platform/quillnet/qntypes.h"
#include "platform/quillnet/quillnetconfiguration.h"

namespace Qn {

class Quillnet;

// One request to the service, with what its answer must be matched against.
struct QnRequest
{
    enum Kind {
        Init,
        NewsFeed,
        Data,
        ProfilePicture,
        Friends,
        Profile,
        LatestStatusMessage,
        AllNotifications,
        Threads,
        Messages,
        MarkNotificationsRead,
    };

    explicit QnRequest(Kind kind) : kind(kind) {}
    const char* name() const;

    Kind kind;
    QnDataFilter filter;
    QString id;
    QUrl url;
    QStringList ids;
    PictureType pictureType = SmallPicture;
    MessageBoxType folder = Inbox;
};

class QuillnetPrivate
{
    Q_DISABLE_COPY(QuillnetPrivate)

public:
    QuillnetPrivate(Quillnet* q, const QuillnetConfiguration& configuration);

    // Hands a request to the transport. StatusOk when it was sent; otherwise nothing was sent and
    // *failure (when given) says why.
    int startRequest(const QnRequest& request, QnError* failure = nullptr);
    // Emits error() from the event loop, after the current call has returned.
    void postError(const QnError& error);
    // A failed cache statement: one error() per burst of failures.
    void onCacheError(const QString& text);
    // The cache for a read, or null (with a warning) when there is none that is open.
    QnCache* readableCache(const char* function) const;

    Quillnet* const q;
    const QuillnetConfiguration configuration;
    QPointer<QnCache> cache;
    bool initialized = false;
    QString currentProfileId;
    bool cacheErrorPending = false;
};

} // namespace Qn
