#include "socialprovider/quillnetplugin.h"

#include <QDate>
#include <QDebug>
#include <QDir>
#include <QTimer>

#include "common/utils.h"
#include "platform/quillnet/quillnet.h"
#include "platform/socialprovider/socialdatarequest.h"
#include "platform/support/logtext.h"
#include "platform/support/logging.h"

const QString QuillnetPlugin::ProviderName = QStringLiteral("quillnet");
const QString QuillnetPlugin::ServiceDescription = QStringLiteral("Quillnet");
const QString QuillnetPlugin::IconName = QStringLiteral("icon-m-quillnet");
const QUrl QuillnetPlugin::ServiceWebsite = QUrl(QStringLiteral("https://quillnet.example/"));

namespace {

const QString NoClient = QStringLiteral("Quillnet instance was deleted!");

const char *requestTypeName(int type)
{
    switch (type) {
    case SocialDataRequest::AggregatedServicesType:
        return "GetAggregatedServicesRequest";
    case SocialDataRequest::ServiceFeaturesType:
        return "GetServiceFeaturesRequest";
    case SocialDataRequest::AccountsType:
        return "GetAccountsRequest";
    case SocialDataRequest::LoginAccountType:
        return "LoginAccountRequest";
    case SocialDataRequest::PersonsType:
        return "GetPersonsRequest";
    case SocialDataRequest::GroupsType:
        return "GetGroupsRequest";
    case SocialDataRequest::ActivitiesType:
        return "GetActivitiesRequest";
    case SocialDataRequest::InvitePersonType:
        return "InvitePersonRequest";
    case SocialDataRequest::PostActivitiesType:
        return "PostActivitiesRequest";
    case SocialDataRequest::LikeActivityType:
        return "LikeActivityRequest";
    case SocialDataRequest::LikersType:
        return "GetLikersRequest";
    default:
        return "InvalidRequest";
    }
}

} // namespace

QuillnetPlugin::QuillnetPlugin()
{
    mRecentTimer.setObjectName(QStringLiteral("recentTimer"));
    mRecentTimer.setInterval(RecentTimeoutMs);
    connect(&mRecentTimer, &QTimer::timeout, this, &QuillnetPlugin::onClearRecentFriendsTimer);
    mPoolTimer.setObjectName(QStringLiteral("poolTimer"));
    connect(&mPoolTimer, &QTimer::timeout, this, &QuillnetPlugin::onFriendsPoolTimeout);
}

QuillnetPlugin::~QuillnetPlugin()
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
}

void QuillnetPlugin::setQuillnetInstance(const QString &name, Qn::Quillnet *client)
{
    if (!client) {
        qCDebug(lcProvider) << Q_FUNC_INFO << NoClient;
        return;
    }
    const bool sameName = name == mAccountName;
    mAccountName = name;
    mClient = client;
    mAccountState = Bound;
    if (!sameName)
        connect(client, &Qn::Quillnet::initialized, this, &QuillnetPlugin::onQnInitialized);
}

void QuillnetPlugin::onQnInitialized()
{
    emit dataUpdate({buildAccount(mAccountName)}, {});
}

void QuillnetPlugin::accountEnabled()
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
}

void QuillnetPlugin::accountDisabled()
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
    mAccountState = Disabled;
    emit dataUpdate({buildAccount(mAccountName)}, {SocialServiceAccount::State});
}

void QuillnetPlugin::accountRemoved()
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
    mAccountState = Removing;
    emit dataUpdate({buildAccount(mAccountName)}, {SocialServiceAccount::State});
    mAccountState = Unbound;
    mAccountName = QString();
}

void QuillnetPlugin::initialize() {}

QVariantMap QuillnetPlugin::metaData()
{
    return {
            {QStringLiteral("name"), ProviderName},
            {QStringLiteral("version"), QStringLiteral("0.2")},
            {QStringLiteral("comment"), QStringLiteral("Accounts Quillnet Social Provider")},
            {QStringLiteral("icon"), IconName},
    };
}

QString QuillnetPlugin::accountIdFor(const QString &name) const
{
    return ProviderName + QStringLiteral(":%1").arg(name);
}

QString QuillnetPlugin::accountId() const
{
    return accountIdFor(mAccountName);
}

SocialServiceAccount QuillnetPlugin::buildAccount(const QString &name) const
{
    SocialServiceAccount account;
    if (mAccountName.isEmpty() || !mClient)
        return account;
    const bool current = name == mAccountName;
    account.setProperty(SocialGenericData::Id, accountIdFor(name));
    account.setProperty(SocialServiceAccount::SocialServiceId, ProviderName);
    account.setProperty(SocialServiceAccount::AccountName, name);
    account.setProperty(SocialServiceAccount::UserName, name);
    account.setProperty(SocialServiceAccount::State, current ? mAccountState : int(OtherAccount));
    if (!current)
        return account;
    account.setProperty(SocialServiceAccount::ProfileId, accountId() + QLatin1Char(':') + mClient->currentProfileId());
    QString picture;
    if (mClient->retrieveProfilePicture(&picture, mClient->currentProfileId(), Qn::SmallPicture, Qn::RetrieveFromCache)
                == Qn::StatusOk
        && !picture.isEmpty()) {
        // A path the client gives relative is taken from where the process runs.
        if (QDir::isRelativePath(picture))
            picture = QDir(QString()).absolutePath() + QDir::separator() + picture;
        account.setProperty(SocialServiceAccount::Avatar, picture);
    }
    return account;
}

QList<SocialService> QuillnetPlugin::services()
{
    SocialService service;
    service.setProperty(SocialService::ProviderName, ProviderName);
    service.setProperty(SocialGenericData::Id, ProviderName);
    service.setProperty(SocialGenericData::Description, ServiceDescription);
    service.setProperty(SocialService::Icon, IconName);
    service.setProperty(SocialService::Website, ServiceWebsite);
    service.setProperty(QStringLiteral("ForceAutomerged"), true);
    return {service};
}

QList<SocialServiceAccount> QuillnetPlugin::accounts()
{
    if (mClient && !mAccountName.isEmpty())
        return {buildAccount(mAccountName)};
    return SocialProviderInterface::accounts();
}

void QuillnetPlugin::performRequest(SocialDataRequest *request)
{
    const int type = request->type();
    if (type == SocialDataRequest::AccountsType || type == SocialDataRequest::AggregatedServicesType) {
        SocialProviderInterface::performRequest(request);
        return;
    }
    if (mAccountState == Unbound) {
        qCWarning(lcProvider) << Q_FUNC_INFO << "Init failed or not called. Cannot perform request.";
        request->setState(
                SocialDataRequest::Finished,
                {SocialProviderError(SocialProviderError::NotInitializedError,
                                     QStringLiteral("QuillnetSocialProvider failed to initialize (No accounts?)."))});
        return;
    }
    qCDebug(lcProvider) << Q_FUNC_INFO << "request type: " << requestTypeName(type);
    if (type == SocialDataRequest::PersonsType)
        onGetPersonRequest(request);
}

void QuillnetPlugin::cleanFilterPattern(QString &pattern)
{
    pattern.remove(QLatin1Char('('));
    pattern.remove(QLatin1Char(')'));
    pattern.remove(QStringLiteral("\\b"));
}

QString QuillnetPlugin::filterText(const QHash<QString, QRegularExpression> &filter)
{
    QString text;
    QDebug(&text) << filter;
    return Support::logText(text);
}

void QuillnetPlugin::onGetPersonRequest(SocialDataRequest *request)
{
    qCDebug(lcProvider) << Q_FUNC_INFO << "enter";
    if (!mClient) {
        qCDebug(lcProvider) << NoClient;
        return;
    }
    auto *personsRequest = qobject_cast<SocialGetPersonsRequest *>(request);
    if (!personsRequest) {
        request->setState(SocialDataRequest::Finished,
                          {SocialProviderError(SocialProviderError::WrongRequestClassError, QString())});
        qCWarning(lcProvider) << Q_FUNC_INFO << ": qobject_cast<SocialGetPersonsRequest*>(request) = 0";
        return;
    }
    request->setState(SocialDataRequest::Processing);

    Qn::QnUsers users;
    QList<SocialNetworkPerson> persons;
    const QHash<QString, QRegularExpression> filter = personsRequest->propertyFilter();
    if (filter.isEmpty()) {
        if (!allFriends(persons, personsRequest))
            return;
    } else if (filter.contains(SocialNetworkPerson::Relationship)) {
        QString pattern = filter.value(SocialNetworkPerson::Relationship).pattern();
        qCDebug(lcProvider) << Q_FUNC_INFO << "Using Relationship filter:" << Support::logText(pattern);
        cleanFilterPattern(pattern);
        bool self = false;
        for (const QString &part : pattern.split(QLatin1Char('|'))) {
            bool ok = false;
            if (part.toInt(&ok) == SocialNetworkPerson::Self && ok)
                self = true;
        }
        if (self) {
            Qn::QnUser user;
            mClient->retrieveProfile(&user, mClient->currentProfileId(), Qn::RetrieveFromCache);
            convertQnFriends2SocPersons({user}, persons, false);
        } else {
            qCWarning(lcProvider) << Q_FUNC_INFO << "Unsupported Relationship filter";
        }
    } else if (filter.contains(SocialGenericData::Id)) {
        idQuery(filter.value(SocialGenericData::Id).pattern(), persons, users);
        if (persons.isEmpty())
            qCWarning(lcProvider) << Q_FUNC_INFO << "no match" << filterText(filter);
    } else if (filter.contains(SocialGenericData::ParentAccount)) {
        QString pattern = filter.value(SocialGenericData::ParentAccount).pattern();
        cleanFilterPattern(pattern);
        const QStringList parts = pattern.split(QLatin1Char(':'));
        if (parts.size() > 1)
            pattern = parts.at(1);
        qCDebug(lcProvider) << Q_FUNC_INFO << "Using parentAccount filter" << Support::logText(pattern);
        if (pattern != mAccountName) {
            qCWarning(lcProvider) << "Account != current account" << Support::logText(pattern) << mAccountName;
        } else {
            qCDebug(lcProvider) << Q_FUNC_INFO << "Account is the current one, get all friends";
            if (!allFriends(persons, personsRequest))
                return;
        }
    } else if (filter.contains(SocialNetworkPerson::PhoneNumber)) {
        QString pattern = filter.value(SocialNetworkPerson::PhoneNumber).pattern();
        qCDebug(lcProvider) << Q_FUNC_INFO << Support::logText(pattern);
        cleanFilterPattern(pattern);
        for (const QString &number : pattern.split(QLatin1Char('|'))) {
            for (auto it = mPersonsByPhone.cbegin(); it != mPersonsByPhone.cend(); ++it) {
                if (it.key().endsWith(number)) {
                    persons.append(it.value().person());
                    break;
                }
            }
        }
    } else {
        qCWarning(lcProvider) << Q_FUNC_INFO << "Unsupported filters" << filterText(filter);
    }

    qCDebug(lcProvider) << "res:" << persons.size();
    personsRequest->setPersons(persons);
    request->setState(SocialDataRequest::Finished);
}

bool QuillnetPlugin::allFriends(QList<SocialNetworkPerson> &persons, SocialGetPersonsRequest *request)
{
    // The records as they are kept now, when they are all the friends; else the cache's friends.
    std::shared_ptr<const QList<KeptPerson>> kept;
    if (mAllFriendsCached)
        kept = std::make_shared<const QList<KeptPerson>>(mRecentPersons.values());
    if (addFriendsPage(persons, 0, kept.get())) {
        if (!kept) {
            qCDebug(lcProvider) << Q_FUNC_INFO << "Getting all friends:" << persons.size();
            qCDebug(lcProvider) << "ret:" << persons.size();
        }
        return true;
    }
    QTimer::singleShot(0, this,
                       [this, request = QPointer<SocialGetPersonsRequest>(request), persons = std::move(persons),
                        kept]() mutable { nextFriendsPage(request, std::move(persons), FriendsPage, kept); });
    return false;
}

bool QuillnetPlugin::addFriendsPage(QList<SocialNetworkPerson> &persons, int offset, const QList<KeptPerson> *kept)
{
    if (kept) {
        for (qsizetype i = offset; i < qMin(kept->size(), qsizetype(offset) + FriendsPage); ++i)
            persons.append(kept->at(i).person());
        return offset + FriendsPage >= kept->size();
    }
    Qn::QnUsers users;
    mClient->retrieveFriends(&users, Qn::QnDataFilter(QString(), FriendsPage, offset), Qn::RetrieveFromCache);
    convertQnFriends2SocPersons(users, persons, false);
    return users.size() < FriendsPage;
}

void QuillnetPlugin::nextFriendsPage(QPointer<SocialGetPersonsRequest> request, QList<SocialNetworkPerson> persons,
                                     int offset, std::shared_ptr<const QList<KeptPerson>> kept)
{
    // A request nobody waits for any more, or a client that went: left, as any query without a client.
    if (!request)
        return;
    if (!mClient) {
        qCDebug(lcProvider) << NoClient;
        return;
    }
    if (!addFriendsPage(persons, offset, kept.get())) {
        QTimer::singleShot(0, this, [this, request, persons = std::move(persons), offset, kept]() mutable {
            nextFriendsPage(request, std::move(persons), offset + FriendsPage, kept);
        });
        return;
    }
    if (!kept) {
        qCDebug(lcProvider) << "bool QuillnetPlugin::allFriends(QList<SocialNetworkPerson>&, SocialGetPersonsRequest*)"
                            << "Getting all friends:" << persons.size();
        qCDebug(lcProvider) << "ret:" << persons.size();
    }
    qCDebug(lcProvider) << "res:" << persons.size();
    request->setPersons(persons);
    request->setState(SocialDataRequest::Finished);
}

void QuillnetPlugin::idQuery(const QString &filterPattern, QList<SocialNetworkPerson> &persons, Qn::QnUsers &users)
{
    qCDebug(lcProvider) << Q_FUNC_INFO << "Using Id filter";
    QString pattern = filterPattern;
    qCDebug(lcProvider) << Q_FUNC_INFO << Support::logText(pattern);
    cleanFilterPattern(pattern);
    for (const QString &part : pattern.split(QLatin1Char('|'))) {
        const QStringList pieces = part.split(QLatin1Char(':'));
        if (pieces.size() <= 2 || pieces.at(0) != ProviderName || pieces.at(1) != mAccountName)
            continue;
        const QString userId = pieces.at(2);
        const auto recent = mRecentPersons.constFind(userId);
        if (recent != mRecentPersons.constEnd()) {
            persons.append(recent->person());
            continue;
        }
        Qn::QnUser user;
        if (mClient->retrieveProfile(&user, userId, Qn::RetrieveFromCache) == Qn::StatusOk) {
            users.append(user);
            qCDebug(lcProvider) << "Converting user:" << user.id() << user.firstName() << user.lastName()
                                << user.name();
        } else {
            qCWarning(lcProvider) << "No qn friend with ID:" << Support::logText(userId);
        }
    }
    qCDebug(lcProvider) << "users:" << users.size();
    convertQnFriends2SocPersons(users, persons, false);
}

bool QuillnetPlugin::convertQnFriends2SocPersons(const Qn::QnUsers &users, QList<SocialNetworkPerson> &out,
                                                 bool minimal)
{
    return convert(users, &out, minimal);
}

bool QuillnetPlugin::convert(const Qn::QnUsers &users, QList<SocialNetworkPerson> *out, bool minimal)
{
    if (!mClient) {
        qCDebug(lcProvider) << "bool QuillnetPlugin::convertQnFriends2SocPersons(const Qn::QnUsers&, "
                               "QList<SocialNetworkPerson>&, bool)"
                            << NoClient;
        return false;
    }
    const QString account = accountId();
    const QString me = mClient->currentProfileId();
    for (const Qn::QnUser &user : users) {
        if (minimal) {
            SocialNetworkPerson person;
            person.setProperty(SocialGenericData::Id, account + QLatin1Char(':') + user.id());
            person.setProperty(SocialNetworkPerson::Relationship,
                               int(user.id() == me ? SocialNetworkPerson::Self : SocialNetworkPerson::Friend));
            person.setParentAccount(account);
            out->append(person);
            continue;
        }
        const auto recent = mRecentPersons.constFind(user.id());
        if (recent != mRecentPersons.constEnd()) {
            if (out)
                out->append(recent->person());
            mRecentTimer.start();
            continue;
        }
        const auto status = mStatusMessages.constFind(user.id());
        if (status == mStatusMessages.constEnd())
            qCDebug(lcProvider) << "No status found for id" << user.id();
        const KeptPerson kept(account, user, user.id() == me,
                              status != mStatusMessages.constEnd() ? &status.value() : nullptr);
        if (out)
            out->append(kept.person());
        mRecentPersons.insert(user.id(), kept);
        if (!user.mobilePhone().isEmpty()) {
            QString key = Utils::phoneNumberDigits(user.mobilePhone(), false);
            if (key.isEmpty())
                key = Utils::phoneNumberDigits(user.mobilePhone(), true);
            mPersonsByPhone.insert(key, kept);
        }
        mRecentTimer.start();
    }
    return out && !out->isEmpty();
}

void QuillnetPlugin::friendsUpdated(const Qn::QnUsers &users)
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
    for (int start = 0; start < users.size(); start += AnnouncementSize) {
        QList<SocialNetworkPerson> persons;
        convertQnFriends2SocPersons(users.mid(start, AnnouncementSize), persons, true);
        emit personsUpdate(persons, {});
    }
}

void QuillnetPlugin::friendsUpdated(QStringList &ids)
{
    qCDebug(lcProvider) << Q_FUNC_INFO << ids.size();
    if (!mClient) {
        qCDebug(lcProvider) << NoClient;
        return;
    }
    Qn::QnUsers users;
    for (const QString &id : std::as_const(ids)) {
        Qn::QnUser user;
        if (mClient->retrieveProfile(&user, id, Qn::RetrieveFromCache) == Qn::StatusOk)
            users.append(user);
    }
    QList<SocialNetworkPerson> persons;
    convertQnFriends2SocPersons(users, persons, true);
    cacheFriends(users, false);
    if (!persons.isEmpty())
        emit personsUpdate(persons, {});
}

void QuillnetPlugin::friendUpdated(const QString &id)
{
    qCDebug(lcProvider) << Q_FUNC_INFO << id;
    if (!mClient) {
        qCDebug(lcProvider) << NoClient;
        return;
    }
    Qn::QnUser user;
    if (mClient->retrieveProfile(&user, id, Qn::RetrieveFromCache) != Qn::StatusOk)
        return;
    QList<SocialNetworkPerson> persons;
    convertQnFriends2SocPersons({user}, persons, true);
    if (!persons.isEmpty())
        emit personsUpdate(persons, {});
}

void QuillnetPlugin::cacheFriends(const Qn::QnUsers &users, bool complete)
{
    // Only the caches are filled: no record is made that would be dropped at once.
    convert(users, nullptr, false);
    mAllFriendsCached = complete;
}

void QuillnetPlugin::setStatusMessage(const QString &id, const Qn::QnPost &post)
{
    mStatusMessages.insert(id, KeptStatus(post));
}

void QuillnetPlugin::clearPersonCaches()
{
    mRecentPersons.clear();
    mPersonsByPhone.clear();
}

void QuillnetPlugin::addToFriendPool(const QString &id)
{
    mFriendPool.append(id);
    if (mFriendPool.size() >= AnnouncementSize) {
        qCDebug(lcProvider) << "Friend pool full, pushing forward" << AnnouncementSize << "friends";
        friendsUpdated(mFriendPool);
        mFriendPool.clear();
    } else {
        mPoolTimer.start(PoolTimeoutMs);
    }
}

void QuillnetPlugin::onFriendsPoolTimeout()
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
    mPoolTimer.stop();
    if (!mFriendPool.isEmpty()) {
        friendsUpdated(mFriendPool);
        mFriendPool.clear();
        // The end of a burst of statuses, most often of an import: its peak is over.
        Utils::releaseFreeMemory();
    }
}

void QuillnetPlugin::onClearRecentFriendsTimer()
{
    qCDebug(lcProvider) << Q_FUNC_INFO;
    mRecentPersons.clear();
    mAllFriendsCached = false;
    mRecentTimer.stop();
    Utils::releaseFreeMemory();
}
