#include "jsonwriter.h"

namespace QuillnetSim {

void JsonWriter::beforeValue()
{
    if (!mFirst)
        mText.append(',');
    mFirst = false;
}

JsonWriter &JsonWriter::beginObject()
{
    beforeValue();
    mText.append('{');
    mFirst = true;
    return *this;
}

JsonWriter &JsonWriter::endObject()
{
    mText.append('}');
    mFirst = false;
    return *this;
}

JsonWriter &JsonWriter::beginArray()
{
    beforeValue();
    mText.append('[');
    mFirst = true;
    return *this;
}

JsonWriter &JsonWriter::endArray()
{
    mText.append(']');
    mFirst = false;
    return *this;
}

JsonWriter &JsonWriter::key(QLatin1String name)
{
    beforeValue();
    // Member names are the simulator's own ASCII literals: nothing to escape.
    mText.append('"').append(name.data(), name.size()).append("\":");
    // The value follows the colon without a comma.
    mFirst = true;
    return *this;
}

JsonWriter &JsonWriter::string(const QString &text)
{
    beforeValue();
    mText.append('"');
    // Most text is plain ASCII: copied straight in up to the first unit that is not; only the rest
    // goes through UTF-8 and escaping.
    const qsizetype start = mText.size();
    mText.resize(start + text.size());
    char *out = mText.data() + start;
    const QChar *in = text.constData();
    qsizetype plain = 0;
    for (; plain < text.size(); ++plain) {
        const char16_t c = in[plain].unicode();
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\')
            break;
        out[plain] = char(c);
    }
    mText.resize(start + plain);
    if (plain < text.size())
        appendEscaped(QStringView(text).mid(plain).toUtf8());
    mText.append('"');
    return *this;
}

JsonWriter &JsonWriter::number(qint64 number)
{
    beforeValue();
    mText.append(QByteArray::number(number));
    return *this;
}

JsonWriter &JsonWriter::boolean(bool value)
{
    beforeValue();
    mText.append(value ? "true" : "false");
    return *this;
}

// Escapes what JSON requires (quote, backslash, control characters); bytes of UTF-8 sequences are
// all above 0x7f and pass unchanged.
void JsonWriter::appendEscaped(QByteArrayView utf8)
{
    static const char hex[] = "0123456789abcdef";
    qsizetype plain = 0;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const uchar c = uchar(utf8.at(i));
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        mText.append(utf8.data() + plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '"':
            mText.append("\\\"");
            break;
        case '\\':
            mText.append("\\\\");
            break;
        case '\n':
            mText.append("\\n");
            break;
        case '\r':
            mText.append("\\r");
            break;
        case '\t':
            mText.append("\\t");
            break;
        case '\b':
            mText.append("\\b");
            break;
        case '\f':
            mText.append("\\f");
            break;
        default:
            mText.append("\\u00");
            mText.append(hex[c >> 4]);
            mText.append(hex[c & 0xf]);
        }
    }
    mText.append(utf8.data() + plain, utf8.size() - plain);
}

} // namespace QuillnetSim
