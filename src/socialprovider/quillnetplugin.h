// The Quillnet social provider plug-in: describes the service and the user's account to the
// contacts framework, answers its person queries from the client library's cache, converts friends
// into contact records, and announces friends in batches.
#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <memory>

#include "platform/quillnet/qnpost.h"
#include "platform/quillnet/qnuser.h"
#include "platform/socialprovider/socialgenericdata.h"
#include "platform/socialprovider/socialproviderinterface.h"
#include "socialprovider/keptperson.h"

namespace Qn {
class Quillnet;
} // namespace Qn

class SocialGetPersonsRequest;

class QuillnetPlugin : public SocialProviderInterface
{
    Q_OBJECT
    Q_INTERFACES(SocialProviderInterface)
    Q_DISABLE_COPY(QuillnetPlugin)

public:
    // Provider name, service id and the first part of every account and contact id.
    static const QString ProviderName;
    static const QString ServiceDescription;
    static const QString IconName;
    static const QUrl ServiceWebsite;

    // Account states of the account record.
    enum AccountState {
        Unbound = 0,
        OtherAccount = 1,
        Bound = 3,
        Disabled = 4,
        Removing = 5,
    };

    static constexpr int RecentTimeoutMs = 300000;
    // Friends read and converted in one event-loop pass (a millisecond or two) when all of them are
    // asked for: a larger friend list is answered over several passes, so that the daemon's other
    // callers are served in between.
    static constexpr int FriendsPage = 25;
    static constexpr int PoolTimeoutMs = 5000;
    // Most records in one announcement.
    static constexpr int AnnouncementSize = 50;

    QuillnetPlugin();
    ~QuillnetPlugin() override;

    // Binds the plug-in to the account and the client; the first call for an account name also
    // announces the account record whenever the client reports that it is initialised.
    void setQuillnetInstance(const QString &name, Qn::Quillnet *client);

    void accountEnabled();
    void accountDisabled();
    void accountRemoved();

    void initialize() override;
    QVariantMap metaData() override;
    void performRequest(SocialDataRequest *request) override;
    QList<SocialService> services() override;
    QList<SocialServiceAccount> accounts() override;

    // The person query: answered before it returns, except without a client (then never).
    void onGetPersonRequest(SocialDataRequest *request);

    // "quillnet:<name>".
    QString accountIdFor(const QString &name) const;
    QString accountId() const;
    SocialServiceAccount buildAccount(const QString &name) const;
    // The framework's patterns as plain lists: without parentheses and word boundaries.
    static void cleanFilterPattern(QString &pattern);

    // Appends a record per user to out; minimal records carry only the id, the relationship and the
    // parent account. Full records are kept for RecentTimeoutMs and served again meanwhile. False
    // without a client, or when out is still empty.
    bool convertQnFriends2SocPersons(const Qn::QnUsers &users, QList<SocialNetworkPerson> &out, bool minimal);
    // Announces the friends in minimal records, AnnouncementSize at a time.
    void friendsUpdated(const Qn::QnUsers &users);
    // Announces changed friends by id, after converting them in full from the cache.
    void friendsUpdated(QStringList &ids);
    void friendUpdated(const QString &id);
    // Converts the users in full to fill the caches; complete says that they are all the friends.
    void cacheFriends(const Qn::QnUsers &users, bool complete);
    void setStatusMessage(const QString &id, const Qn::QnPost &post);
    void clearPersonCaches();
    // Announces the pool when it holds AnnouncementSize ids, or PoolTimeoutMs after the last one.
    void addToFriendPool(const QString &id);

public slots:
    void onQnInitialized();
    void onClearRecentFriendsTimer();
    void onFriendsPoolTimeout();

private:
    // convertQnFriends2SocPersons, whose full records only fill the caches when out is null.
    bool convert(const Qn::QnUsers &users, QList<SocialNetworkPerson> *out, bool minimal);
    // Shared by the queries that answer with all friends; false when the answer comes later, over
    // several event-loop passes.
    bool allFriends(QList<SocialNetworkPerson> &persons, SocialGetPersonsRequest *request);
    // Appends the page of friends at offset, from the kept records when given, else from the cache;
    // true when it was the last page.
    bool addFriendsPage(QList<SocialNetworkPerson> &persons, int offset, const QList<KeptPerson> *kept);
    // The next page of friends for a request answered over several passes.
    void nextFriendsPage(QPointer<SocialGetPersonsRequest> request, QList<SocialNetworkPerson> persons, int offset,
                         std::shared_ptr<const QList<KeptPerson>> kept);
    void idQuery(const QString &pattern, QList<SocialNetworkPerson> &persons, Qn::QnUsers &users);
    static QString filterText(const QHash<QString, QRegularExpression> &filter);

    QPointer<Qn::Quillnet> mClient;
    QString mAccountName;
    int mAccountState = Unbound;
    // Full records are kept in their compact form (with the status messages, half of the daemon's
    // memory for 5000 friends otherwise) and made again whenever they are handed out.
    QMap<QString, KeptPerson> mRecentPersons;
    QMap<QString, KeptPerson> mPersonsByPhone;
    // Children, so that they can be found by name.
    QTimer mRecentTimer {this};
    bool mAllFriendsCached = false;
    QStringList mFriendPool;
    QTimer mPoolTimer {this};
    QMap<QString, KeptStatus> mStatusMessages;
};
