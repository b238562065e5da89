// The picture formats the daemon and the home screen take, told by content (the leading bytes the
// shared MIME database gives each format), never by a file's name. QtCore only: no image reader is
// loaded.
#pragma once

#include <QByteArray>
#include <QMimeType>
#include <QString>

namespace Support {

// Enough leading bytes for every rule of the formats taken.
constexpr int PictureHeadSize = 16;

// "image/jpeg", "image/png", "image/gif", "image/tiff" or "image/webp" when the bytes start as such a
// picture does; otherwise an invalid type (text, markup such as SVG or HTML, anything else).
QMimeType pictureType(const QByteArray &head);
// The same for the first bytes of the file; invalid when it cannot be read.
QMimeType pictureTypeOfFile(const QString &path);

} // namespace Support
