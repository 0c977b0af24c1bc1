// Lists the locators of the controllers that the two closed libraries can find: first the
// controller library's systems, then the IO library's devices.
#pragma once

#include <QStringList>
#include <cstddef>
#include <cstdint>

namespace ControllerDiscovery {

// Size of the one result buffer that both library calls share.
constexpr uint32_t BufferSize = 4096;

// Asks both libraries, each exactly once and whatever the other answered; a call that fails
// contributes nothing. Runs synchronously on the calling thread.
QStringList findLocators();

// The locators in a library's result text: the bytes up to the first zero byte, never beyond
// capacity, split at line feeds with empty pieces dropped and nothing else changed.
QStringList splitLocators(const char* buffer, std::size_t capacity);

} // namespace ControllerDiscovery
