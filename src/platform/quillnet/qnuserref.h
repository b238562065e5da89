// A reference to a Quillnet user as it appears inside other records: the user's id and display name.
#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

namespace Qn {

class QnUserRef
{
public:
    QnUserRef() = default;
    QnUserRef(const QString &id, const QString &name)
        : mId(id)
        , mName(name)
    {}

    QString id() const { return mId; }
    void setId(const QString &id) { mId = id; }
    QString name() const { return mName; }
    void setName(const QString &name) { mName = name; }

    bool isValid() const { return !mId.isEmpty(); }

    bool operator==(const QnUserRef &other) const { return mId == other.mId && mName == other.mName; }
    bool operator!=(const QnUserRef &other) const { return !(*this == other); }

private:
    QString mId;
    QString mName;
};

typedef QList<QnUserRef> QnUserRefs;

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnUserRef)
Q_DECLARE_METATYPE(Qn::QnUserRefs)
