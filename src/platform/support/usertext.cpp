#include "platform/support/usertext.h"

namespace Support {

QString cut(const QString &text, int maxLength)
{
    if (text.size() <= maxLength)
        return text;
    int end = qMax(0, maxLength);
    if (end > 0 && text.at(end - 1).isHighSurrogate())
        --end;
    return text.left(end);
}

QString isolated(const QString &text)
{
    if (text.isEmpty())
        return text;
    QString clean;
    clean.reserve(text.size() + 2);
    clean.append(QChar(0x2068));
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if ((u >= 0x202a && u <= 0x202e) || (u >= 0x2066 && u <= 0x2069))
            continue;
        clean.append(c);
    }
    clean.append(QChar(0x2069));
    return clean;
}

} // namespace Support
