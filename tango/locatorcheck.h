// What the device takes as a locator from the network, checked before anything opens it: a client
// may write any text into the Locator attribute, and a property may hold any.
#pragma once

#include <optional>
#include <string>

namespace LocatorCheck {

// Far more than any controller's locator, far less than the 100 MB a client can send.
constexpr std::size_t MaxLength = 4096;

struct Refusal
{
    const char* reason; // the Tango error reason
    std::string text;   // for the client and the device's Status
};

// Why the locator may not be calibrated, or nothing when it may: longer than MaxLength, a control
// character in it, or the replay of a recording (which reads a file the client names) unless the
// device allows replays.
std::optional<Refusal> refusal(const std::string& locator, bool allowReplay);

// The locator without the blanks around it, which are never part of one (as in the window and
// vkr-calibrate); the bytes between stay as they came (PyTango sends a str as Latin-1).
std::string trimmed(const std::string& locator);

// Whether the locator replays a recording: a "replay=" item, wherever it stands.
bool isReplay(const std::string& locator);

} // namespace LocatorCheck
