// Lists of service ids as callers hand them in: repeated ids are asked for, bound and sent once.
#pragma once

#include <QStringList>

namespace Support {

// Each id once, in the order of its first appearance.
QStringList uniqueIds(const QStringList &ids);

} // namespace Support
