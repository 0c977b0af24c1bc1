#include "replyparser.h"

#include "resultcodes.h"

#include <algorithm>
#include <cstdint>

namespace ReplyParser {

using namespace ResultCode;

namespace {

bool isCapital(QChar c)
{
    return c >= QLatin1Char('A') && c <= QLatin1Char('Z');
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Where one value stands in the line: an optional '-' and at least one digit.
struct ValueText
{
    const QChar* begin = nullptr;
    const QChar* end = nullptr;
};

// A value as the controller means it: unsigned up to 4294967295, or with a minus sign down to
// -2147483648, kept as its two's-complement bit pattern. False when it does not fit.
bool convert(ValueText text, uint32_t& value)
{
    const bool negative = *text.begin == QLatin1Char('-');
    constexpr uint64_t beyondAnyValue = uint64_t(1) << 33;
    uint64_t magnitude = 0;
    for (const QChar* c = text.begin + (negative ? 1 : 0); c != text.end; ++c)
        magnitude = std::min(magnitude * 10 + uint64_t(c->unicode() - '0'), beyondAnyValue);
    if (negative ? magnitude > (uint64_t(1) << 31) : magnitude > UINT32_MAX)
        return false;
    value = negative ? uint32_t(0 - magnitude) : uint32_t(magnitude);
    return true;
}

} // namespace

// Reads the reply form ":NAME<v>[,<v>]...\n" (a name of one to four capital letters A to Z, one
// to four values of an optional '-' and ASCII digits, the line feed as the very last character)
// straight off the characters, once: the form is checked whole before any value is converted, so
// a line that is not a reply is 14 even when a value in it would not fit.
uint32_t parse(QString line, Reply& reply)
{
    const int colon = line.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return MalformedReply;
    const QChar* c = line.constData() + colon + 1;
    const QChar* const end = line.constData() + line.size();

    const QChar* const name = c;
    while (c != end && c - name < 4 && isCapital(*c))
        ++c;
    const int nameLength = int(c - name);
    if (nameLength == 0)
        return MalformedReply;

    ValueText values[4];
    uint32_t count = 0;
    for (;;) {
        if (count == 4)
            return MalformedReply; // a fifth value
        ValueText& value = values[count++];
        value.begin = c;
        if (c != end && *c == QLatin1Char('-'))
            ++c;
        const QChar* const digits = c;
        while (c != end && isDigit(*c))
            ++c;
        if (c == digits)
            return MalformedReply;
        value.end = c;
        if (c == end || *c != QLatin1Char(','))
            break;
        ++c;
    }
    if (c == end || *c != QLatin1Char('\n') || c + 1 != end)
        return MalformedReply;

    for (uint32_t i = 0; i < count; ++i) {
        if (!convert(values[i], reply.values[i]))
            return ValueOutOfRange;
    }
    reply.name = QString(name, nameLength);
    reply.count = count;
    return Success;
}

} // namespace ReplyParser
