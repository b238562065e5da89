// Phone numbers as users type them, and as SIP or tel addresses: what is kept is digits only.
#include "common/utils.h"
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    const QString number = QString::fromUtf8(Fuzz::bytes(data, size));
    for (bool fromUri : {false, true}) {
        const QString digits = Utils::phoneNumberDigits(number, fromUri);
        FUZZ_CHECK(digits.size() <= number.toUtf8().size());
        for (const QChar c : digits)
            FUZZ_CHECK(c >= QLatin1Char('0') && c <= QLatin1Char('9'));
    }
    return 0;
}
