#include "platform/support/picturetype.h"
#include "platform/support/logging.h"

#include <QFile>
#include <QMimeDatabase>
#include <QtDebug>

#include <utility>

namespace Support {

QMimeType pictureType(const QByteArray &head)
{
    static const QStringList taken
            = {QStringLiteral("image/jpeg"), QStringLiteral("image/png"), QStringLiteral("image/gif"),
               QStringLiteral("image/tiff"), QStringLiteral("image/webp")};
    const QMimeDatabase database;
    static const bool known = database.mimeTypeForName(QStringLiteral("image/png")).isValid();
    if (!known) {
        static bool warned = false;
        if (!std::exchange(warned, true))
            qCWarning(lcDaemon, "No shared MIME database (package shared-mime-info): no picture is recognised");
        return QMimeType();
    }
    const QMimeType type = database.mimeTypeForData(head.left(PictureHeadSize));
    return taken.contains(type.name()) ? type : QMimeType();
}

QMimeType pictureTypeOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QMimeType();
    return pictureType(file.read(PictureHeadSize));
}

} // namespace Support
