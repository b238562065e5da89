// The token endpoint's answer: the first two bytes are the HTTP status, the rest the body. A login
// that succeeds hands out a usable token, and only then.
#include "fuzzinput.h"
#include "platform/accounts/accountintegration.h"
#include "platform/quillnet/quillnetconfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    if (size < 2)
        return 0;
    const int status = (data[0] << 8 | data[1]) % 600;
    const AccountIntegration::TokenAnswer answer = AccountIntegration::readTokenAnswer(
            status, Fuzz::bytes(data + 2, size - 2), QStringLiteral("http://127.0.0.1/oauth/token"));
    FUZZ_CHECK(answer.loginOk == Qn::QuillnetConfiguration::isUsableAccessToken(answer.accessToken));
    FUZZ_CHECK(!(answer.loginOk && answer.canceled));
    FUZZ_CHECK(!answer.loginOk || (status >= 200 && status < 300));
    return 0;
}
