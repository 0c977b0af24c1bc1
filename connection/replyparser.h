// Parses one reply line of the controller's serial protocol: ':' , a name of one to four
// capital letters, one to four comma-separated decimal values, and a line feed.
#pragma once

#include <QString>
#include <cstdint>

struct Reply
{
    QString name;
    uint32_t count = 0;
    // A value with a minus sign is kept as its 32-bit two's-complement bit pattern (-1 is
    // 4294967295), so every value compares as unsigned.
    uint32_t values[4] = {};

    bool is(const char* expectedName, uint32_t expectedCount) const
    {
        return name == QLatin1String(expectedName) && count == expectedCount;
    }
};

namespace ReplyParser {

// Drops whatever precedes the first ':' (line noise, a leftover fragment) and parses the rest.
// Returns 0 and fills the reply, 12 when a value does not fit in 32 bits, or 14 when the line
// does not have the reply's form. The reply is meaningful only after 0.
uint32_t parse(QString line, Reply& reply);

} // namespace ReplyParser
