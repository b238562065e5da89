// Item values as printable text: every change the feed reports is exactly one line, whatever the
// publisher sent, and no value fills the screen.
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace HomeScreen {

// At most this many entries of a list are shown.
constexpr int MaxShownEntries = 8;

// Backslash, double quote, line ends, tabs and every other control or separator character written
// as escapes ("\\", "\"", "\n", "\r", "\t", "\u001b"), so that the text stays on one line.
QString escaped(const QString &text);

// Support::logText of the text, escaped, in double quotes.
QString quoted(const QString &text);

// A text in quotes, a list of texts as ["a","b"] (its first MaxShownEntries, then "... (n entries)"),
// a number or truth value as its text in quotes.
QString shownValue(const QVariant &value);

// key=value for each entry of the map, separated by single blanks: the keys a home screen shows
// first, in a fixed order, then any others in the map's order.
QString shownFields(const QVariantMap &item);

} // namespace HomeScreen
