// Bytes of the line as text for vkr-sim's messages: control characters and bytes above 0x7e as
// \xNN, the line feed as \n.
#pragma once

#include <cstdio>
#include <string>

inline std::string printable(const std::string& bytes)
{
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            text += "\\n";
        } else if (byte < 0x20 || byte > 0x7e) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}
