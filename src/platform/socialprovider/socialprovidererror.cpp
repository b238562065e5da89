#include "platform/socialprovider/socialprovidererror.h"

#include <QDataStream>

#include "platform/socialprovider/wire_p.h"

QDataStream &operator<<(QDataStream &out, const SocialProviderError &error)
{
    return out << qint32(error.type()) << error.description();
}

QDataStream &operator>>(QDataStream &in, SocialProviderError &error)
{
    qint32 type = 0;
    QString description;
    if (in.status() != QDataStream::Ok)
        return in;
    in >> type;
    if (in.status() == QDataStream::Ok && SocialWire::readString(in, &description))
        error = SocialProviderError(type, description);
    return in;
}
