// Entry point of the account integration: hands out the account object of the Quillnet service.
#pragma once

#include <QPointer>

class AccountIntegration;

namespace QnVeldo {

class QnFactoryVeldo
{
public:
    // The process-wide factory; never null here.
    static QnFactoryVeldo *getInstance();

    // The account object. The caller that stores it owns it; once it is deleted, the next call
    // creates a fresh one from the account file.
    AccountIntegration *account();

    // Tests install their own account object; the factory does not take ownership.
    void setAccount(AccountIntegration *account);

private:
    QnFactoryVeldo() = default;
    QPointer<AccountIntegration> mAccount;
};

} // namespace QnVeldo
