#include "platform/socialprovider/socialdatarequest.h"

#include <QDataStream>
#include <QIODevice>

#include <algorithm>

#include "platform/socialprovider/wire_p.h"

SocialDataRequest::SocialDataRequest(int type, QObject *parent)
    : QObject(parent)
    , mType(type)
{}

SocialDataRequest::~SocialDataRequest() = default;

void SocialDataRequest::setState(int state, const QList<SocialProviderError> &errors)
{
    const bool wasFinished = mState == Finished;
    mState = state;
    mErrors = errors;
    if (state == Finished && !wasFinished)
        emit finished(this);
}

void SocialDataRequest::writeToStream(QDataStream &out) const
{
    // Sorted, so that the same request always gives the same bytes.
    QStringList names = mPropertyFilter.keys();
    std::sort(names.begin(), names.end());
    out << SocialWire::FormatVersion << quint32(names.size());
    for (const QString &name : std::as_const(names))
        out << name << mPropertyFilter.value(name).pattern();

    const QList<SocialGenericData> records = results();
    out << quint32(records.size());
    for (const SocialGenericData &record : records) {
        QByteArray bytes;
        QDataStream recordOut(&bytes, QIODevice::WriteOnly);
        recordOut << record;
        out << bytes;
    }
}

bool SocialDataRequest::readFromStream(QDataStream &in)
{
    mPropertyFilter.clear();
    quint32 version = 0;
    quint32 count = 0;
    if (in.status() != QDataStream::Ok)
        return false;
    in >> version;
    if (in.status() != QDataStream::Ok)
        return false;
    if (version != SocialWire::FormatVersion)
        return SocialWire::fail(in);
    // A filter entry is at least the lengths of its two texts.
    if (!SocialWire::readCount(in, SocialWire::MaxFilterCount, 8, &count))
        return false;
    QHash<QString, QRegularExpression> filter;
    for (quint32 i = 0; i < count; ++i) {
        QString name;
        QString pattern;
        if (!SocialWire::readString(in, &name) || !SocialWire::readString(in, &pattern))
            return false;
        filter.insert(name, QRegularExpression(pattern));
    }
    if (!in.atEnd())
        return SocialWire::fail(in);
    mPropertyFilter = filter;
    return true;
}

QList<SocialGenericData> SocialDataRequest::results() const
{
    return {};
}

namespace {

template<typename Record>
QList<SocialGenericData> asGeneric(const QList<Record> &records)
{
    return QList<SocialGenericData>(records.cbegin(), records.cend());
}

} // namespace

GetAggregatedServicesRequest::GetAggregatedServicesRequest(QObject *parent)
    : SocialDataRequest(AggregatedServicesType, parent)
{}

QList<SocialGenericData> GetAggregatedServicesRequest::results() const
{
    return asGeneric(mServices);
}

SocialGetAccountsRequest::SocialGetAccountsRequest(QObject *parent)
    : SocialDataRequest(AccountsType, parent)
{}

QList<SocialGenericData> SocialGetAccountsRequest::results() const
{
    return asGeneric(mAccounts);
}

SocialGetPersonsRequest::SocialGetPersonsRequest(QObject *parent)
    : SocialDataRequest(PersonsType, parent)
{}

QList<SocialGenericData> SocialGetPersonsRequest::results() const
{
    return asGeneric(mPersons);
}
