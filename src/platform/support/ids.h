// Lists of service ids as callers hand them in: repeated ids are asked for, bound and sent once.
#pragma once

#include <QStringList>

namespace Support {

// Each id once, in the order of its first appearance. QStringList::removeDuplicates in a form that
// returns the list; kept only for its callers in the client library and the notification handler.
QStringList uniqueIds(QStringList ids);

} // namespace Support
