// Every result code the tool produces itself, and the controller values the calibration reads
// and writes, each named once. Every other nonzero code comes from a controller library or from a
// controller's acknowledge reply and is passed on unchanged.
#pragma once

#include <cstdint>

namespace ResultCode {
constexpr uint32_t Success = 0;
// Opening or configuring a serial port failed, or open() found the connection already open.
constexpr uint32_t OpenFailed = 1;
// The connection is not open.
constexpr uint32_t NotOpen = 2;
// Writing to the serial port failed.
constexpr uint32_t WriteFailed = 8;
// Reading from the serial port failed: an error, or the line hung up.
constexpr uint32_t ReadFailed = 10;
// A value in a controller reply does not fit in 32 bits.
constexpr uint32_t ValueOutOfRange = 12;
// A controller reply does not have the expected form, name, number of values or channel.
constexpr uint32_t MalformedReply = 14;
// No reply byte arrived within the time-out.
constexpr uint32_t ReplyTimedOut = 15;
// The locator is neither a library locator nor a serial locator (it holds no ':').
constexpr uint32_t NotALocator = 21;
// A controller library or one of its functions could not be loaded (the value Windows reports
// for a module that cannot be found).
constexpr uint32_t LibraryNotAvailable = 126;
} // namespace ResultCode

namespace ControllerValue {
// Sensor modes.
constexpr uint32_t SensorsDisabled = 0;
constexpr uint32_t PowerSaveMode = 2;
// The channel status while a channel calibrates.
constexpr uint32_t Calibrating = 6;
// What calibrating a channel without a sensor returns; reported, not counted as an error.
constexpr uint32_t NoSensor = 129;
// The channel of an acknowledge to a command that concerns no channel (-1 on the line).
constexpr uint32_t NoChannel = 0xFFFFFFFFu;
} // namespace ControllerValue
