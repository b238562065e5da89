#include "platform/support/picturetype.h"
#include "platform/support/logging.h"

#include <QFile>
#include <QMimeDatabase>
#include <QtDebug>

#include <array>
#include <utility>

namespace Support {

namespace {

// The leading bytes by which the shared MIME database tells these formats. Matching them here costs
// a few comparisons, where the database's data lookup runs every magic rule it has (each picture of
// a publishing pass is looked at again).
struct Signature
{
    const char *type;
    QByteArrayView head;
    // A second part at an offset, or an empty one.
    qsizetype offset = 0;
    QByteArrayView tail = {};
};

const std::array<Signature, 6> Signatures = {{
        {"image/jpeg", QByteArrayView("\xff\xd8", 2)},
        {"image/png", QByteArrayView("\x89PNG", 4)},
        {"image/gif", QByteArrayView("GIF8", 4)},
        {"image/tiff", QByteArrayView("MM\x00\x2a", 4)},
        {"image/tiff", QByteArrayView("II\x2a\x00", 4)},
        {"image/webp", QByteArrayView("RIFF", 4), 8, QByteArrayView("WEBP", 4)},
}};

} // namespace

QMimeType pictureType(const QByteArray &head)
{
    // Looked up once: the types themselves (names, aliases, suffixes) still come from the database.
    static const QList<QMimeType> types = [] {
        const QMimeDatabase database;
        QList<QMimeType> found;
        for (const Signature &signature : Signatures)
            found.append(database.mimeTypeForName(QLatin1String(signature.type)));
        return found;
    }();
    if (!types.first().isValid()) {
        static bool warned = false;
        if (!std::exchange(warned, true))
            qCWarning(lcDaemon, "No shared MIME database (package shared-mime-info): no picture is recognised");
        return QMimeType();
    }
    const QByteArrayView bytes(head.constData(), qMin<qsizetype>(head.size(), PictureHeadSize));
    for (qsizetype i = 0; i < qsizetype(Signatures.size()); ++i) {
        const Signature &signature = Signatures[i];
        if (bytes.startsWith(signature.head)
            && (signature.tail.isEmpty()
                || bytes.sliced(qMin(signature.offset, bytes.size())).startsWith(signature.tail)))
            return types.at(i);
    }
    return QMimeType();
}

QMimeType pictureTypeOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QMimeType();
    return pictureType(file.read(PictureHeadSize));
}

} // namespace Support
