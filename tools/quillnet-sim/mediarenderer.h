// Draws the simulator's pictures: PNG and JPEG through QImage, GIF from a fixed one-pixel image
// (Qt reads GIF but cannot write it).
#pragma once

#include <QByteArray>

#include "simworld.h"

namespace QuillnetSim {

class MediaRenderer
{
public:
    // The encoded picture, empty when the format is unknown or encoding failed.
    static QByteArray render(const MediaRecipe &recipe);
    // "image/png", "image/jpeg", "image/gif".
    static QByteArray contentType(const QByteArray &format);
};

} // namespace QuillnetSim
