#include "platform/notifications/mlocale.h"

#include <QLocale>

MLocale::MLocale(QObject *parent)
    : QObject(parent)
{}

MLocale::~MLocale() = default;

QString MLocale::name() const
{
    return QLocale().name();
}

QString MLocale::joinStringList(const QStringList &texts) const
{
    return QLocale().createSeparatedList(texts);
}
