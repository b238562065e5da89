#include "homescreen/quillnetapp.h"

#include "homescreen/itemtext.h"
#include "quillnetappadaptor.h"

namespace HomeScreen {

QuillnetApp::QuillnetApp(QObject *parent)
    : BusService(QLatin1String(ServiceName), QLatin1String(ObjectPath), parent)
{
    new QuillnetAppAdaptor(this);
}

QuillnetApp::~QuillnetApp() = default;

void QuillnetApp::openView(const QString &kind, const QString &id)
{
    // Nothing here has views to open: whoever watches sees which one would be.
    emit changeReported(QStringLiteral("openView kind=%1 id=%2").arg(quoted(kind), quoted(id)));
}

} // namespace HomeScreen
