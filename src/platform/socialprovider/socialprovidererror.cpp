#include "platform/socialprovider/socialprovidererror.h"

#include <QDataStream>

#include "platform/socialprovider/wire_p.h"

QDataStream &operator<<(QDataStream &out, const SocialProviderError &error)
{
    return out << qint32(error.type()) << error.description();
}

QDataStream &operator>>(QDataStream &in, SocialProviderError &error)
{
    Support::BoundedReader reader(in);
    qint32 type = 0;
    QString description;
    if (reader.read(&type) && reader.readString(&description, SocialWire::MaxStringLength))
        error = SocialProviderError(type, description);
    return in;
}
