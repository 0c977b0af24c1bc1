// Writes a list of locators into a caller's buffer the way both controller libraries answer:
// each locator followed by '\n', the whole text zero-terminated within the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LocatorListResult
{
    // Bytes that the whole list takes, its terminating zero included.
    uint32_t requiredSize = 0;
    // Whether every locator fitted; otherwise the text ends after the last whole locator.
    bool complete = false;
};

// Writes as many whole locators as fit in bufferSize bytes, always followed by the terminating
// zero, and never a part of a locator. With bufferSize 0 nothing is written (not even the zero).
LocatorListResult writeLocatorList(const std::vector<std::string>& locators, char* buffer,
                                   uint32_t bufferSize);
