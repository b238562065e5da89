// The stream forms of the social provider framework, read from bytes that any program on the bus
// may send: every count and size is checked against its limit and against the bytes still present
// before anything is allocated. docs/socialprovider.md describes the bytes.
#pragma once

#include <QDataStream>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace SocialWire {

// Leads every request and answer; another value is refused.
constexpr quint32 FormatVersion = 1;
// Leads each part of an answer sent in several.
constexpr quint32 PartFormatVersion = 2;

constexpr quint32 MaxStringLength = 65536; // characters (UTF-16 code units)
constexpr quint32 MaxByteArrayLength = 1024 * 1024;
constexpr quint32 MaxListCount = 1000; // entries of a string list
constexpr quint32 MaxFilterCount = 64;
constexpr quint32 MaxPropertyCount = 256;
constexpr quint32 MaxRecordCount = 10000;

// The null QString and QByteArray are written with this length.
constexpr quint32 NullLength = 0xffffffff;

// Each reader returns false, and leaves the stream in ReadCorruptData or ReadPastEnd, when the
// bytes do not hold the form; a stream that has failed before reads nothing.
bool readCount(QDataStream &in, quint32 limit, quint32 minimumEntrySize, quint32 *count);
bool readString(QDataStream &in, QString *text);
bool readByteArray(QDataStream &in, QByteArray *bytes, quint32 limit = MaxByteArrayLength);
bool readStringList(QDataStream &in, QStringList *list);
// Only the types of the value table in docs/socialprovider.md (and the invalid variant).
bool readVariant(QDataStream &in, QVariant *value);

// The same forms. Values of other types are written as their text when they have one, else as the
// invalid variant; date-times are written in UTC.
void writeVariant(QDataStream &out, const QVariant &value);

// Marks the stream as holding something that is not the form, unless it failed before.
bool fail(QDataStream &in);

} // namespace SocialWire
