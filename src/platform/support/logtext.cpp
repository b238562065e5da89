#include "platform/support/logtext.h"

namespace Support {

QString logText(const QString &value)
{
    if (value.size() <= MaxLoggedLength)
        return value;
    return value.left(MaxLoggedLength) + QStringLiteral("... (%1 characters)").arg(value.size());
}

} // namespace Support
