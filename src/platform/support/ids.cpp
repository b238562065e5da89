#include "platform/support/ids.h"

#include <QSet>

namespace Support {

QStringList uniqueIds(const QStringList &ids)
{
    QStringList unique;
    unique.reserve(ids.size());
    QSet<QString> known;
    known.reserve(ids.size());
    for (const QString &id : ids) {
        if (!known.contains(id)) {
            known.insert(id);
            unique << id;
        }
    }
    return unique;
}

} // namespace Support
