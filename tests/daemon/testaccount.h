// An account object for daemon tests: answers from fields instead of the account file (except the
// service address) and records every login request instead of answering it.
#pragma once

#include <QDir>
#include <QFile>
#include <QUrl>

#include "platform/accounts/accountintegration.h"
#include "platform/accounts/qnfactoryveldo.h"
#include "platform/quillnet/qncacheconfiguration.h"
#include "testfiles.h"

struct LoginCall
{
    bool forceNew;
    bool interactive;
};

class TestAccount : public AccountIntegration
{
    Q_OBJECT

public:
    using AccountIntegration::AccountIntegration;

    bool isValidAccount() const override { return true; }
    bool isAccountEnabled() const override { return true; }
    QString accountName() const override { return QStringLiteral("alice@example.org"); }
    QMap<QString, bool> settings(const QStringList &keys) const override
    {
        QMap<QString, bool> answer;
        for (const QString &key : keys) {
            if (values.contains(key))
                answer.insert(key, values.value(key));
        }
        return answer;
    }
    void watchSettings(const QStringList &keys) override { watched = keys; }
    bool isServiceEnabled(const QString &name) const override { return services.value(name, false); }
    void login(const QString &applicationId, const QString &scope, const QString &applicationSecret, bool forceNew,
               bool interactive) override
    {
        lastApplicationId = applicationId;
        lastScope = scope;
        lastSecret = applicationSecret;
        logins.append({forceNew, interactive});
    }
    bool wasLoginCanceled() const override { return canceled; }
    void loginCanceledTooOften() override { ++tooOften; }

    QMap<QString, bool> values;
    QMap<QString, bool> services;
    QStringList watched;
    QList<LoginCall> logins;
    QString lastApplicationId;
    QString lastScope;
    QString lastSecret;
    bool canceled = false;
    int tooOften = 0;
};

// The account file of an in-process daemon whose home is home: only its service address is read.
inline bool writeServiceUrl(const QString &home, const QUrl &url)
{
    return writeFile(home + QStringLiteral("/account.conf"), "[account]\nservice_url=" + url.toEncoded() + "\n");
}

// Gives an in-process daemon the home and cache below home, and an account of the service at url
// that the factory hands to the next daemon made (which then owns it). Null when a file fails.
inline TestAccount *installTestAccount(const QString &home, const QUrl &url)
{
    qputenv("HOME", QFile::encodeName(home));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home + QStringLiteral("/cache")));
    if (!QDir().mkpath(home + QStringLiteral("/cache")) || !writeServiceUrl(home, url))
        return nullptr;
    auto *account = new TestAccount(home + QStringLiteral("/account.conf"));
    QnVeldo::QnFactoryVeldo::getInstance()->setAccount(account);
    return account;
}

// The client cache of a daemon whose home is home, for a test to look into.
inline Qn::QnCacheConfiguration daemonClientCache(const QString &home)
{
    Qn::QnCacheConfiguration configuration;
    configuration.setDatabaseName(home + QStringLiteral("/.quillnet/private/qncache.db"));
    configuration.setPath(home + QStringLiteral("/cache/quillnet/qncache"));
    return configuration;
}
