#include "platform/support/ids.h"

namespace Support {

QStringList uniqueIds(QStringList ids)
{
    ids.removeDuplicates();
    return ids;
}

} // namespace Support
