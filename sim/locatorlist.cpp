#include "locatorlist.h"

#include <algorithm>
#include <cstring>
#include <limits>

LocatorListResult writeLocatorList(const std::vector<std::string>& locators, char* buffer,
                                   uint32_t bufferSize)
{
    LocatorListResult result;
    uint64_t required = 1;
    uint64_t written = 0;
    bool fits = bufferSize > 0;
    for (const std::string& locator : locators) {
        const uint64_t entry = uint64_t(locator.size()) + 1;
        required += entry;
        // Once one locator did not fit, the later ones stay out too, so the list keeps its order.
        if (fits && written + entry + 1 <= bufferSize) {
            std::memcpy(buffer + written, locator.data(), locator.size());
            buffer[written + locator.size()] = '\n';
            written += entry;
        } else {
            fits = false;
        }
    }
    if (bufferSize > 0)
        buffer[written] = '\0';
    result.complete = bufferSize > 0 && required <= bufferSize;
    result.requiredSize = uint32_t(std::min<uint64_t>(required, std::numeric_limits<uint32_t>::max()));
    return result;
}
