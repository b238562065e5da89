// What every fuzz target shares: the input as Qt bytes without a copy, and a quiet Qt.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace Fuzz {

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

// Log lines about bad input are the expected result here; writing millions of them would be the
// whole cost of a run.
inline void silenceLog()
{
    static const bool once = [] {
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &) {
            if (type == QtFatalMsg)
                abort();
        });
        return true;
    }();
    Q_UNUSED(once);
}

// A property the parsers promise; breaking it is a finding like a crash.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);                        \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (false)

} // namespace Fuzz
