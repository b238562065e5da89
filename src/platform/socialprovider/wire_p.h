// The stream forms of the social provider framework, read from bytes that any program on the bus
// may send, through Support::BoundedReader with the limits below. docs/socialprovider.md
// describes the bytes.
#pragma once

#include <QDataStream>
#include <QString>
#include <QStringList>
#include <QVariant>

#include "platform/support/boundedreader.h"

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

// Reads one value: only the types of the value table in docs/socialprovider.md (and the invalid
// variant); any other refuses the bytes.
bool readVariant(Support::BoundedReader &in, QVariant *value);

// Writes a value in those forms. Values of other types are written as their text when they have one, else as the
// invalid variant; date-times are written in UTC.
void writeVariant(QDataStream &out, const QVariant &value);

} // namespace SocialWire
