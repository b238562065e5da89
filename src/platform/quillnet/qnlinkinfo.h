// The link attached to a post: its address and the three texts the service shows with it.
#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

namespace Qn {

class QnLinkInfo
{
public:
    QnLinkInfo() = default;
    QnLinkInfo(const QString &link, const QString &name, const QString &caption, const QString &description)
        : mLink(link)
        , mName(name)
        , mCaption(caption)
        , mDescription(description)
    {}

    QString link() const { return mLink; }
    void setLink(const QString &link) { mLink = link; }
    QString name() const { return mName; }
    void setName(const QString &name) { mName = name; }
    QString caption() const { return mCaption; }
    void setCaption(const QString &caption) { mCaption = caption; }
    QString description() const { return mDescription; }
    void setDescription(const QString &description) { mDescription = description; }

    // The three text fields in display order: name, caption, description (empty ones included).
    QStringList texts() const { return {mName, mCaption, mDescription}; }

    bool isEmpty() const { return mLink.isEmpty() && mName.isEmpty() && mCaption.isEmpty() && mDescription.isEmpty(); }

    bool operator==(const QnLinkInfo &other) const
    {
        return mLink == other.mLink && mName == other.mName && mCaption == other.mCaption
                && mDescription == other.mDescription;
    }
    bool operator!=(const QnLinkInfo &other) const { return !(*this == other); }

private:
    QString mLink;
    QString mName;
    QString mCaption;
    QString mDescription;
};

} // namespace Qn

Q_DECLARE_METATYPE(Qn::QnLinkInfo)
