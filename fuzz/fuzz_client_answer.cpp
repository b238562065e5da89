// The client library's handling of a successful answer of each kind of request, without a cache:
// the first byte picks the kind, the rest is the body.
#include "fuzzinput.h"
#include "platform/quillnet/quillnet.h"
#include "platform/quillnet/quillnet_p.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    if (size < 1)
        return 0;
    static Qn::QuillnetConfiguration configuration(QStringLiteral("fuzz-token"));
    static Qn::Quillnet client(configuration);
    static Qn::QuillnetPrivate d(&client, configuration);

    constexpr int Kinds = Qn::MarkNotificationsReadRequest + 1;
    Qn::QnRequest request(Qn::QnRequest::Kind(data[0] % Kinds));
    request.id = QStringLiteral("100000000000001");
    request.url = QUrl(QStringLiteral("http://127.0.0.1/pictures/1.jpg"));
    request.ids = {QStringLiteral("1"), QStringLiteral("2")};
    bool answered = false;
    d.handleAnswer(request, Fuzz::bytes(data + 1, size - 1), &answered);
    return 0;
}
