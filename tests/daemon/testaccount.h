// An account object for daemon tests: answers from fields instead of the account file (except the
// service address) and records every login request instead of answering it.
#pragma once

#include "platform/accounts/accountintegration.h"

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
