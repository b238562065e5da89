// Checks of values that arrive from the bus inside variants (Event Feed items, notification
// hints), and their D-Bus type for the messages that refuse them.
#pragma once

#include <QString>
#include <QVariant>

namespace HomeScreen {

constexpr int MaxKeyLength = 64;

// 1 to MaxKeyLength letters, digits, "_", "-" or ".".
bool isKeyName(const QString &key);

// A text, a list of texts, a number or a truth value: what can be kept and shown on one line.
// Nested containers and bus handles are not.
bool isPlainType(int type);

// What a plain value counts toward a size limit: a text its characters, a list of texts each entry
// one more than its text, a number or a truth value eight.
qint64 textSize(const QVariant &value);

// The D-Bus signature of what a variant from the bus holds ("s", "a{sv}", "(iiibiiay)").
QString busSignature(const QVariant &value);

// The D-Bus signature of a Qt type.
QString signatureOf(int type);

} // namespace HomeScreen
