// A request of the contacts framework to a social data provider: its parameters as read from the
// bus, its state, its errors and its results, and the stream forms of docs/socialprovider.md.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QString>

#include <limits>

#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialprovidererror.h"

class QDataStream;
namespace Support {
class BoundedReader;
}

class SocialDataRequest : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(SocialDataRequest)

public:
    // The values of type().
    enum RequestType {
        InvalidRequestType = 0,
        AggregatedServicesType = 1,
        ServiceFeaturesType = 2,
        AccountsType = 3,
        LoginAccountType = 4,
        PersonsType = 5,
        GroupsType = 6,
        ActivitiesType = 7,
        InvitePersonType = 8,
        PostActivitiesType = 9,
        LikeActivityType = 10,
        LikersType = 11,
    };
    enum State {
        Created = 0,
        Processing = 1,
        Finished = 4,
    };

    // Request bytes larger than this are not read at all.
    static constexpr int MaxRequestSize = 1024 * 1024;

    ~SocialDataRequest() override;

    int type() const { return mType; }
    int state() const { return mState; }
    QList<SocialProviderError> errors() const { return mErrors; }

    // Property name to expression; only the pattern text is meant to be used.
    QHash<QString, QRegularExpression> propertyFilter() const { return mPropertyFilter; }
    void setPropertyFilter(const QHash<QString, QRegularExpression> &filter) { mPropertyFilter = filter; }

    // Sets the state and replaces the errors. Entering Finished emits finished(), once.
    virtual void setState(int state, const QList<SocialProviderError> &errors = {});
    // The answer form: the parameters followed by the results.
    virtual void writeToStream(QDataStream &out) const;
    // The results from first on in the record form, each in its own bytes, until they hold at least
    // `bytes` (all of them by default): a large answer can be encoded a slice at a time.
    QList<QByteArray> encodeResults(int first = 0, qsizetype bytes = std::numeric_limits<qsizetype>::max()) const;
    int resultCount() const { return int(results().size()); }
    // The answer cut for a transport that takes at most maxBytes a message: part `number` (from 1)
    // holds the records (all of them, encoded) from `first` on that fit, at most
    // SocialWire::MaxRecordCount. *next is the first record of the next part, -1 after the last. An
    // answer that fits whole is the answer form itself; otherwise each part is in the part form. A
    // record too large for a part of its own is left out and counted in *skipped.
    QByteArray writeAnswerPart(int number, const QList<QByteArray> &records, int first, qsizetype maxBytes, int *next,
                               int *skipped) const;
    QByteArray writeAnswerPart(int number, int first, qsizetype maxBytes, int *next, int *skipped) const
    {
        return writeAnswerPart(number, encodeResults(), first, maxBytes, next, skipped);
    }
    // The parameter form. False, with the parameters left empty, when the bytes do not hold exactly
    // that form.
    virtual bool readFromStream(QDataStream &in);

    // The other end's side, for a contacts service: the parameter form that readFromStream reads,
    // and the answer form that writeToStream writes, read into the parameters and the results.
    // False, with both left empty, when the bytes do not hold exactly that form or a result is not
    // of the class this request answers with. With number and last, a part of an answer reads too:
    // its records are the results, the whole answer is part 1 and the last.
    void writeParametersToStream(QDataStream &out) const;
    bool readAnswerFromStream(QDataStream &in, int *number = nullptr, bool *last = nullptr);
    // Why the last read refused its bytes, with the byte it stopped at; empty after a good read.
    QString readProblem() const { return mReadProblem; }

signals:
    void finished(SocialDataRequest *request);

protected:
    SocialDataRequest(int type, QObject *parent);
    // What the answer form carries after the parameters.
    virtual QList<SocialGenericData> results() const;
    // Replaces the results with records read from an answer; false when one is not of the class
    // this request answers with. Without results, only the empty list.
    virtual bool setResults(const QList<SocialGenericData> &records);

private:
    // The version and the filter entries; false when they do not read.
    static bool readParameters(Support::BoundedReader &in, QHash<QString, QRegularExpression> *filter);
    static bool readFilterEntries(Support::BoundedReader &in, QHash<QString, QRegularExpression> *filter);

    int mType;
    int mState = Created;
    QList<SocialProviderError> mErrors;
    QHash<QString, QRegularExpression> mPropertyFilter;
    QString mReadProblem;
};

// Asks for the services the provider speaks for.
class GetAggregatedServicesRequest : public SocialDataRequest
{
    Q_OBJECT
    Q_DISABLE_COPY(GetAggregatedServicesRequest)

public:
    explicit GetAggregatedServicesRequest(QObject *parent = nullptr);

    QList<SocialService> services() const { return mServices; }
    void setServices(const QList<SocialService> &services) { mServices = services; }

protected:
    QList<SocialGenericData> results() const override;
    bool setResults(const QList<SocialGenericData> &records) override;

private:
    QList<SocialService> mServices;
};

// Asks for the user's accounts with the provider.
class SocialGetAccountsRequest : public SocialDataRequest
{
    Q_OBJECT
    Q_DISABLE_COPY(SocialGetAccountsRequest)

public:
    explicit SocialGetAccountsRequest(QObject *parent = nullptr);

    QList<SocialServiceAccount> accounts() const { return mAccounts; }
    void setAccounts(const QList<SocialServiceAccount> &accounts) { mAccounts = accounts; }

protected:
    QList<SocialGenericData> results() const override;
    bool setResults(const QList<SocialGenericData> &records) override;

private:
    QList<SocialServiceAccount> mAccounts;
};

// Asks for persons matching the property filter.
class SocialGetPersonsRequest : public SocialDataRequest
{
    Q_OBJECT
    Q_DISABLE_COPY(SocialGetPersonsRequest)

public:
    explicit SocialGetPersonsRequest(QObject *parent = nullptr);

    QList<SocialNetworkPerson> persons() const { return mPersons; }
    void setPersons(const QList<SocialNetworkPerson> &persons) { mPersons = persons; }

protected:
    QList<SocialGenericData> results() const override;
    bool setResults(const QList<SocialGenericData> &records) override;

private:
    QList<SocialNetworkPerson> mPersons;
};
