// The read file the service's application leaves: a list of notification ids. What reads must be
// exactly the bytes that writing the list gives.
#include <QDataStream>
#include <QIODevice>

#include "fuzzinput.h"
#include "notifications/appsocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    const QByteArray input = Fuzz::bytes(data, size);
    QString problem;
    const std::optional<QStringList> ids = AppSocket::parseReadIds(input, &problem);
    FUZZ_CHECK(ids.has_value() == problem.isEmpty());
    if (ids) {
        QByteArray written;
        QDataStream out(&written, QIODevice::WriteOnly);
        out << *ids;
        FUZZ_CHECK(written == input);
    }
    return 0;
}
