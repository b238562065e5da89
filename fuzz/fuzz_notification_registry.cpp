// The notification registry file: what reads must be written back to bytes that read the same.
#include "fuzzinput.h"
#include "platform/notifications/notificationregistry_p.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    QString problem;
    const std::optional<QList<NotificationRecord>> records
            = NotificationRegistry::parse(Fuzz::bytes(data, size), &problem);
    if (!records)
        return 0;
    FUZZ_CHECK(records->size() <= NotificationRegistry::MaxRecords);
    const std::optional<QList<NotificationRecord>> again
            = NotificationRegistry::parse(NotificationRegistry::serialise(*records), &problem);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == *records);
    return 0;
}
