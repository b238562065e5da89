#include "platform/quillnet/quillnetconfiguration.h"

namespace Qn {

bool QuillnetConfiguration::isUsableAccessToken(const QString &token)
{
    if (token.isEmpty() || token.size() > MaxAccessTokenLength)
        return false;
    for (const QChar c : token) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return false;
    }
    return true;
}

} // namespace Qn
