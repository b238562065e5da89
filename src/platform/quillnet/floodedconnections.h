// Ends the connections of an abandoned request that Qt's own network thread cannot end.
//
// Qt 6.4 reads an HTTP status line, header line or chunk size line one byte per system call and
// goes back to its event loop only when the socket runs dry. A service that sends such a line
// without end, faster than that, keeps the network access manager's thread reading for good (one
// core busy, memory growing by about 1 MB/s): the abort of the reply is queued to that thread and
// never runs, every other request of the same manager waits behind it, and neither
// clearConnectionCache() nor deleting the manager stops it. Shutting the socket down from outside
// ends the read; the network thread then handles the closed connection as usual.
#pragma once

#include <QList>

class QHostAddress;
class QUrl;

namespace Qn {

// For a request to url that was abandoned (aborted, or out of time): shuts down, in both
// directions, this process's TCP connections to url's host and port that hold unread bytes, which
// an idle or finished connection does not. A host name is looked up first (Qt answers from its
// cache while the connection's own look-up is fresh). Another request to the same service that is
// receiving at that very moment may lose its connection too and fails like any dropped one.
void closeFloodedConnections(const QUrl &url);

// The work itself, for known addresses; returns the number of connections shut down.
int shutDownFloodedConnections(const QList<QHostAddress> &peers, int port);

} // namespace Qn
