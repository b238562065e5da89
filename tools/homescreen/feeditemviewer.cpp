#include "homescreen/feeditemviewer.h"

#include "feeditemvieweradaptor.h"
#include "homescreen/itemtext.h"

namespace HomeScreen {

FeedItemViewer::FeedItemViewer(QObject *parent)
    : BusService(QLatin1String(ServiceName), QLatin1String(ObjectPath), parent)
{
    new FeedItemViewerAdaptor(this);
}

FeedItemViewer::~FeedItemViewer() = default;

void FeedItemViewer::showItem(const QString &postId)
{
    emit changeReported(QStringLiteral("showItem post=%1").arg(quoted(postId)));
}

} // namespace HomeScreen
