// Texts from the service made safe to show inside texts of our own.
#pragma once

#include <QString>

namespace Support {

// The text's first maxLength UTF-16 units, never ending inside a surrogate pair.
QString cut(const QString &text, int maxLength);

// The text without explicit bidirectional controls (embeddings, overrides, isolates), set in an
// isolate of its own (FSI ... PDI): a name such as "\u202Eevil" can then neither reverse nor reorder
// the text around it. Empty stays empty.
QString isolated(const QString &text);

} // namespace Support
