#include "platform/socialprovider/socialdatarequest.h"

#include <QDataStream>
#include <QIODevice>
#include <QScopeGuard>
#include <QtEndian>

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
    const QList<QByteArray> records = encodeResults();
    out << quint32(records.size());
    for (const QByteArray &bytes : records)
        out << bytes;
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

QList<QByteArray> SocialDataRequest::encodeResults(int first, qsizetype bytes) const
{
    const QList<SocialGenericData> records = results();
    QList<QByteArray> encoded;
    qsizetype total = 0;
    for (qsizetype index = qMax(0, first); index < records.size() && total < bytes; ++index) {
        QByteArray record;
        QDataStream out(&record, QIODevice::WriteOnly);
        out << records.at(index);
        total += record.size();
        encoded.append(record);
    }
    return encoded;
}

QByteArray SocialDataRequest::writeAnswerPart(int number, const QList<QByteArray> &records, int first,
                                              qsizetype maxBytes, int *next, int *skipped) const
{
    QByteArray parameters;
    QDataStream parametersOut(&parameters, QIODevice::WriteOnly);
    writeParametersToStream(parametersOut);
    QByteArray part;
    QDataStream out(&part, QIODevice::WriteOnly);
    // The part's version, number and last-part flag in place of the answer's version; the flag and
    // the record count are filled in at the end.
    out << SocialWire::PartFormatVersion << quint32(number) << quint8(0);
    out.writeRawData(parameters.constData() + 4, int(parameters.size() - 4));
    const qsizetype countAt = part.size();
    out << quint32(0);
    const qsizetype headerSize = part.size();
    quint32 count = 0;
    int index = qMax(0, first);
    for (; index < records.size() && count < SocialWire::MaxRecordCount; ++index) {
        const QByteArray &bytes = records.at(index);
        const qsizetype needed = 4 + bytes.size();
        if (headerSize + needed > maxBytes) {
            ++*skipped;
            continue;
        }
        if (part.size() + needed > maxBytes)
            break;
        out << bytes;
        ++count;
    }
    const bool last = index >= records.size();
    *next = last ? -1 : index;
    qToBigEndian(count, part.data() + countAt);
    if (last && number == 1) {
        // Whole: the answer form, which is the part form without the number and the flag.
        QByteArray whole;
        QDataStream wholeOut(&whole, QIODevice::WriteOnly);
        wholeOut << SocialWire::FormatVersion;
        return whole + part.mid(9);
    }
    part[8] = char(last ? 1 : 0);
    return part;
}

bool SocialDataRequest::readFromStream(QDataStream &in)
{
    mPropertyFilter.clear();
    Support::BoundedReader reader(in);
    const auto keepProblem = qScopeGuard([&] { mReadProblem = reader.problem(); });
    QHash<QString, QRegularExpression> filter;
    if (!readParameters(reader, &filter) || !reader.expectEnd())
        return false;
    mPropertyFilter = filter;
    return true;
}

bool SocialDataRequest::readAnswerFromStream(QDataStream &in, int *number, bool *last)
{
    mPropertyFilter.clear();
    setResults({});
    Support::BoundedReader reader(in);
    const auto keepProblem = qScopeGuard([&] { mReadProblem = reader.problem(); });
    QHash<QString, QRegularExpression> filter;
    quint32 count = 0;
    quint32 version = 0;
    quint32 partNumber = 1;
    quint8 lastFlag = 1;
    if (!reader.ok())
        return false;
    // Peeked, so that the parameters read as in a request.
    if (in.device() && in.device()->peek(reinterpret_cast<char *>(&version), 4) == 4)
        version = qFromBigEndian(version);
    if (version == SocialWire::PartFormatVersion && number && last) {
        if (!reader.read(&version) || !reader.read(&partNumber) || !reader.read(&lastFlag))
            return false;
        if (partNumber == 0 || partNumber > quint32(INT_MAX) || lastFlag > 1)
            return reader.fail(QStringLiteral("part %1, last flag %2").arg(partNumber).arg(lastFlag));
        if (!readFilterEntries(reader, &filter))
            return false;
    } else if (!readParameters(reader, &filter)) {
        return false;
    }
    // A record is at least the length of its bytes.
    if (!reader.readCount(&count, SocialWire::MaxRecordCount, 4))
        return false;
    QList<SocialGenericData> records;
    for (quint32 i = 0; i < count; ++i) {
        QByteArray bytes;
        if (!reader.readByteArray(&bytes, SocialWire::MaxByteArrayLength))
            return false;
        QDataStream recordIn(bytes);
        Support::BoundedReader recordReader(recordIn);
        SocialGenericData record;
        recordIn >> record;
        if (!recordReader.expectEnd())
            return reader.fail(QStringLiteral("record %1 %2").arg(i).arg(recordReader.problem()));
        records.append(record);
    }
    if (!reader.expectEnd())
        return false;
    if (!setResults(records)) {
        setResults({});
        return reader.fail(QStringLiteral("a record of another class"));
    }
    mPropertyFilter = filter;
    if (number && last) {
        *number = int(partNumber);
        *last = lastFlag == 1;
    }
    return true;
}

bool SocialDataRequest::readParameters(Support::BoundedReader &in, QHash<QString, QRegularExpression> *filter)
{
    quint32 version = 0;
    if (!in.read(&version))
        return false;
    if (version != SocialWire::FormatVersion)
        return in.fail(QStringLiteral("version %1").arg(version));
    return readFilterEntries(in, filter);
}

bool SocialDataRequest::readFilterEntries(Support::BoundedReader &in, QHash<QString, QRegularExpression> *filter)
{
    quint32 count = 0;
    // A filter entry is at least the lengths of its two texts.
    if (!in.readCount(&count, SocialWire::MaxFilterCount, 8))
        return false;
    for (quint32 i = 0; i < count; ++i) {
        QString name;
        QString pattern;
        if (!in.readString(&name, SocialWire::MaxStringLength) || !in.readString(&pattern, SocialWire::MaxStringLength))
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
