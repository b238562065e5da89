// Request bytes from any program on the bus, read by each request class the runner creates, and
// records and errors as a contacts service reads them. A request that reads writes an answer that
// starts with the same parameters.
#include <QDataStream>
#include <QIODevice>

#include <memory>

#include "fuzzinput.h"
#include "platform/socialprovider/socialdatarequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    const QByteArray input = Fuzz::bytes(data, size);
    const std::unique_ptr<SocialDataRequest> requests[]
            = {std::make_unique<GetAggregatedServicesRequest>(), std::make_unique<SocialGetAccountsRequest>(),
               std::make_unique<SocialGetPersonsRequest>()};
    for (const auto &request : requests) {
        QDataStream in(input);
        if (!request->readFromStream(in)) {
            FUZZ_CHECK(request->propertyFilter().isEmpty());
            continue;
        }
        QByteArray answer;
        QDataStream out(&answer, QIODevice::WriteOnly);
        request->writeToStream(out);
        // The answer repeats the filter as read, then the (here no) results.
        QDataStream again(answer);
        quint32 version = 0;
        again >> version;
        FUZZ_CHECK(version == 1);
    }

    QDataStream records(input);
    for (int i = 0; i < 8 && records.status() == QDataStream::Ok && !records.atEnd(); ++i) {
        SocialGenericData record;
        records >> record;
        if (records.status() != QDataStream::Ok)
            break;
        QByteArray written;
        QDataStream out(&written, QIODevice::WriteOnly);
        out << record;
        QDataStream back(written);
        SocialGenericData reread;
        back >> reread;
        FUZZ_CHECK(back.status() == QDataStream::Ok);
        FUZZ_CHECK(reread.propertyNames() == record.propertyNames());
    }

    QDataStream errors(input);
    SocialProviderError error;
    errors >> error;
    return 0;
}
