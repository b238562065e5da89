#include "mediarenderer.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>

namespace QuillnetSim {

namespace {

// A 1x1 GIF89a with a two-colour table; bytes 13 to 15 are the pixel's colour.
const unsigned char OnePixelGif[] = {
        'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xff, 0, 0, 0, 0,   0, '!', 0xf9, 4,
        1,   0,   0,   0,   0,   ',', 0, 0, 0, 0, 1,    0, 1, 0,    0, 2, 2, 'D', 1, 0,   ';',
};
constexpr int GifColourOffset = 13;

QColor colour(quint32 seed, int shift)
{
    return QColor::fromHsv(int((seed >> shift) % 360), 120 + int((seed >> 3) % 120), 160 + int((seed >> 5) % 90));
}

} // namespace

QByteArray MediaRenderer::contentType(const QByteArray &format)
{
    return "image/" + format;
}

QByteArray MediaRenderer::render(const MediaRecipe &recipe)
{
    if (recipe.format == "gif") {
        QByteArray gif(reinterpret_cast<const char *>(OnePixelGif), sizeof(OnePixelGif));
        const QColor c = colour(recipe.seed, 0);
        gif[GifColourOffset] = char(c.red());
        gif[GifColourOffset + 1] = char(c.green());
        gif[GifColourOffset + 2] = char(c.blue());
        return gif;
    }
    if (recipe.format != "png" && recipe.format != "jpeg")
        return QByteArray();
    const int width = qBound(1, recipe.width, 2048);
    const int height = qBound(1, recipe.height, 2048);

    // A two-colour diagonal gradient with a disc: cheap, and every picture looks different.
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, width, height);
    gradient.setColorAt(0, colour(recipe.seed, 0));
    gradient.setColorAt(1, colour(recipe.seed, 11));
    painter.fillRect(image.rect(), gradient);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour(recipe.seed, 21));
    const int radius = qMax(2, qMin(width, height) / 3);
    painter.drawEllipse(QPoint(int(recipe.seed % quint32(width)), height / 2), radius, radius);
    painter.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, recipe.format == "png" ? "PNG" : "JPEG"))
        return QByteArray();
    return bytes;
}

} // namespace QuillnetSim
