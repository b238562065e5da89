// Addresses of the service and of the content it links to: only the web is ever contacted.
#pragma once

#include <QString>
#include <QUrl>

namespace Support {

// A valid http or https address with a host.
bool isWebAddress(const QUrl &url);

// The base address with path appended to its own path (trailing slashes of the base dropped),
// without query or fragment: "http://host/api/" + "/me" is "http://host/api/me".
QUrl withPath(const QUrl &base, const QString &path);

} // namespace Support
