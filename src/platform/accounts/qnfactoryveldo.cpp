#include "platform/accounts/qnfactoryveldo.h"

#include "platform/accounts/accountintegration.h"

namespace QnVeldo {

QnFactoryVeldo *QnFactoryVeldo::getInstance()
{
    static QnFactoryVeldo instance;
    return &instance;
}

AccountIntegration *QnFactoryVeldo::account()
{
    // No parent: whoever keeps the object owns it, and the guarded pointer notices its deletion.
    if (!mAccount)
        mAccount = new AccountIntegration(AccountIntegration::defaultFilePath());
    return mAccount.data();
}

void QnFactoryVeldo::setAccount(AccountIntegration *account)
{
    mAccount = account;
}

} // namespace QnVeldo
