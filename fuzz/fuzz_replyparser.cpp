// Fuzzes the serial reply parser with lines built as the transport builds them: every byte read
// becomes one Latin-1 character. Beside the parser's own promises (result 0, 12 or 14; one to four
// values; a name of one to four capital letters) every result is compared with a plain
// hand-written reading of the reply form, so a line accepted or refused wrongly, or a value
// converted wrongly, stops the run.
#include "replyparser.h"
#include "resultcodes.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Expected
{
    uint32_t result = ResultCode::MalformedReply;
    std::string name;
    uint32_t count = 0;
    uint32_t values[4] = {};
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The reply form read character by character: ':' , one to four capital letters, one to four
// comma-separated values (an optional '-' and digits), a line feed as the very last character.
Expected readByHand(const std::string& bytes)
{
    Expected expected;
    const std::size_t colon = bytes.find(':');
    if (colon == std::string::npos)
        return expected;
    const std::string line = bytes.substr(colon);
    std::size_t at = 1;
    while (at < line.size() && line[at] >= 'A' && line[at] <= 'Z')
        ++at;
    const std::size_t letters = at - 1;
    if (letters < 1 || letters > 4)
        return expected;

    std::string tokens[4];
    uint32_t count = 0;
    for (;;) {
        const std::size_t start = at;
        if (at < line.size() && line[at] == '-')
            ++at;
        const std::size_t digits = at;
        while (at < line.size() && isDigit(line[at]))
            ++at;
        if (at == digits)
            return expected;
        tokens[count++] = line.substr(start, at - start);
        if (at < line.size() && line[at] == ',' && count < 4) {
            ++at;
            continue;
        }
        break;
    }
    if (at + 1 != line.size() || line[at] != '\n')
        return expected;

    expected.name = line.substr(1, letters);
    for (uint32_t i = 0; i < count; ++i) {
        const bool negative = tokens[i][0] == '-';
        // Big enough for any 32-bit value and one digit more, so an overflow is seen.
        unsigned long long magnitude = 0;
        for (std::size_t d = negative ? 1 : 0; d < tokens[i].size(); ++d) {
            magnitude = magnitude * 10 + unsigned(tokens[i][d] - '0');
            if (magnitude > 0x1ffffffffULL)
                magnitude = 0x1ffffffffULL;
        }
        if (negative ? magnitude > 2147483648ULL : magnitude > 4294967295ULL) {
            expected.result = ResultCode::ValueOutOfRange;
            return expected;
        }
        expected.values[i] = negative ? uint32_t(0ULL - magnitude) : uint32_t(magnitude);
    }
    expected.result = 0;
    expected.count = count;
    return expected;
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "reply parser: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    Reply reply;
    const uint32_t result = ReplyParser::parse(QString::fromLatin1(bytes.data(), int(bytes.size())), reply);

    if (result != ResultCode::Success && result != ResultCode::ValueOutOfRange &&
        result != ResultCode::MalformedReply)
        fail("result other than 0, 12 or 14");
    const Expected expected = readByHand(bytes);
    if (result != expected.result)
        fail("result differs from the reply form");
    if (result != 0)
        return 0;

    if (reply.count < 1 || reply.count > 4)
        fail("value count outside 1..4");
    if (reply.name.size() < 1 || reply.name.size() > 4)
        fail("name length outside 1..4");
    for (const QChar c : reply.name)
        if (c < QLatin1Char('A') || c > QLatin1Char('Z'))
            fail("name holds something other than capital letters");
    if (reply.name.toStdString() != expected.name || reply.count != expected.count)
        fail("name or value count differs from the reply form");
    for (uint32_t i = 0; i < reply.count; ++i)
        if (reply.values[i] != expected.values[i])
            fail("value differs from the reply form");
    return 0;
}
