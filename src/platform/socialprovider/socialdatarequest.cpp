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
    writeParametersToStream(out);
    const QList<SocialGenericData> records = results();
    out << quint32(records.size());
    for (const SocialGenericData &record : records) {
        QByteArray bytes;
        QDataStream recordOut(&bytes, QIODevice::WriteOnly);
        recordOut << record;
        out << bytes;
    }
}

void SocialDataRequest::writeParametersToStream(QDataStream &out) const
{
    // Sorted, so that the same request always gives the same bytes.
    QStringList names = mPropertyFilter.keys();
    std::sort(names.begin(), names.end());
    out << SocialWire::FormatVersion << quint32(names.size());
    for (const QString &name : std::as_const(names))
        out << name << mPropertyFilter.value(name).pattern();
}

bool SocialDataRequest::readFromStream(QDataStream &in)
{
    mPropertyFilter.clear();
    QHash<QString, QRegularExpression> filter;
    if (!readParameters(in, &filter))
        return false;
    if (!in.atEnd())
        return SocialWire::fail(in);
    mPropertyFilter = filter;
    return true;
}

bool SocialDataRequest::readAnswerFromStream(QDataStream &in)
{
    mPropertyFilter.clear();
    setResults({});
    QHash<QString, QRegularExpression> filter;
    quint32 count = 0;
    // A record is at least the length of its bytes.
    if (!readParameters(in, &filter) || !SocialWire::readCount(in, SocialWire::MaxRecordCount, 4, &count))
        return false;
    QList<SocialGenericData> records;
    for (quint32 i = 0; i < count; ++i) {
        QByteArray bytes;
        if (!SocialWire::readByteArray(in, &bytes))
            return false;
        QDataStream recordIn(bytes);
        SocialGenericData record;
        recordIn >> record;
        if (recordIn.status() != QDataStream::Ok || !recordIn.atEnd())
            return SocialWire::fail(in);
        records.append(record);
    }
    if (!in.atEnd() || !setResults(records)) {
        setResults({});
        return SocialWire::fail(in);
    }
    mPropertyFilter = filter;
    return true;
}

bool SocialDataRequest::readParameters(QDataStream &in, QHash<QString, QRegularExpression> *filter)
{
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
    for (quint32 i = 0; i < count; ++i) {
        QString name;
        QString pattern;
        if (!SocialWire::readString(in, &name) || !SocialWire::readString(in, &pattern))
            return false;
        filter->insert(name, QRegularExpression(pattern));
    }
    return true;
}

QList<SocialGenericData> SocialDataRequest::results() const
{
    return {};
}

bool SocialDataRequest::setResults(const QList<SocialGenericData> &records)
{
    return records.isEmpty();
}

namespace {

template<typename Record>
QList<SocialGenericData> asGeneric(const QList<Record> &records)
{
    return QList<SocialGenericData>(records.cbegin(), records.cend());
}

// The records as Record, when each is of its class.
template<typename Record>
bool asRecords(const QList<SocialGenericData> &records, QList<Record> *out)
{
    QList<Record> result;
    for (const SocialGenericData &record : records) {
        if (record.className() != Record::ClassName)
            return false;
        Record typed;
        static_cast<SocialGenericData &>(typed) = record;
        result.append(typed);
    }
    *out = result;
    return true;
}

} // namespace

GetAggregatedServicesRequest::GetAggregatedServicesRequest(QObject *parent)
    : SocialDataRequest(AggregatedServicesType, parent)
{}

QList<SocialGenericData> GetAggregatedServicesRequest::results() const
{
    return asGeneric(mServices);
}

bool GetAggregatedServicesRequest::setResults(const QList<SocialGenericData> &records)
{
    return asRecords(records, &mServices);
}

SocialGetAccountsRequest::SocialGetAccountsRequest(QObject *parent)
    : SocialDataRequest(AccountsType, parent)
{}

QList<SocialGenericData> SocialGetAccountsRequest::results() const
{
    return asGeneric(mAccounts);
}

bool SocialGetAccountsRequest::setResults(const QList<SocialGenericData> &records)
{
    return asRecords(records, &mAccounts);
}

SocialGetPersonsRequest::SocialGetPersonsRequest(QObject *parent)
    : SocialDataRequest(PersonsType, parent)
{}

QList<SocialGenericData> SocialGetPersonsRequest::results() const
{
    return asGeneric(mPersons);
}

bool SocialGetPersonsRequest::setResults(const QList<SocialGenericData> &records)
{
    return asRecords(records, &mPersons);
}
