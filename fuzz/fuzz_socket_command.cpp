// What the service's application writes to the local socket, read one command at a time as the
// daemon reads it: bounded, and every command either a known one or a view.
#include <QBuffer>

#include "common/constants.h"
#include "fuzzinput.h"
#include "notifications/appsocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::silenceLog();
    QByteArray input = Fuzz::bytes(data, size);
    QBuffer device(&input);
    device.open(QIODevice::ReadOnly);
    int commands = 0;
    while (!device.atEnd()) {
        const qint64 before = device.pos();
        const AppSocket::SocketCommand command = AppSocket::readCommand(device);
        FUZZ_CHECK(device.pos() > before);
        FUZZ_CHECK(device.pos() - before <= AppSocket::MaxCommandBytes);
        FUZZ_CHECK(command.text.size() <= AppSocket::MaxCommandBytes);
        FUZZ_CHECK(command.markRead || !command.clearedEventType.isEmpty() || command.view == command.text);
        FUZZ_CHECK(++commands <= int(size));
    }
    return 0;
}
