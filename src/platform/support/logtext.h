// Values from outside (the bus, the network, files) quoted in log lines: never the whole of a
// value that may be megabytes long.
#pragma once

#include <QString>

namespace Support {

constexpr int MaxLoggedLength = 200;

// The value itself when short; otherwise its first MaxLoggedLength characters followed by
// "... (<n> characters)".
QString logText(const QString &value);

} // namespace Support
