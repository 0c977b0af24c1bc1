#include "locatorcheck.h"

#include <algorithm>
#include <cctype>

namespace LocatorCheck {

namespace {

std::string lowerTrimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    std::string key = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    return key;
}

} // namespace

std::string trimmed(const std::string& locator)
{
    const size_t first = locator.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return locator.substr(first, locator.find_last_not_of(' ') - first + 1);
}

bool isReplay(const std::string& locator)
{
    // Items are separated by commas, and the first follows the locator's prefix and its ':'.
    size_t start = 0;
    while (start <= locator.size()) {
        const size_t end = std::min(locator.find(',', start), locator.find(':', start));
        const std::string item =
            locator.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const size_t equals = item.find('=');
        if (equals != std::string::npos && lowerTrimmed(item.substr(0, equals)) == "replay")
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

std::optional<Refusal> refusal(const std::string& locator, bool allowReplay)
{
    if (locator.size() > MaxLength)
        return Refusal{"DATA_OUT_OF_RANGE", "A locator has at most " + std::to_string(MaxLength) +
                                                " bytes; this one has " + std::to_string(locator.size()) +
                                                "."};
    const auto control =
        std::find_if(locator.begin(), locator.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    if (control != locator.end())
        return Refusal{"DATA_OUT_OF_RANGE", "A locator holds no control characters; this one has character " +
                                                std::to_string(int(static_cast<unsigned char>(*control))) +
                                                " at byte " + std::to_string(control - locator.begin()) +
                                                "."};
    if (!allowReplay && isReplay(locator))
        return Refusal{"OPERATION_NOT_ALLOWED",
                       "This device replays no recordings: a replay reads a file the "
                       "client names. Set the device property AllowReplay to true "
                       "to allow it."};
    return std::nullopt;
}

} // namespace LocatorCheck
