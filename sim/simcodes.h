// Result codes that the simulated controller and the stand-in controller libraries hand out
// besides 0 (success). They sit above 255 so that they never collide with the codes the tool
// produces itself on the serial line or with a controller's own acknowledge codes.
#pragma once

#include <cstdint>

namespace SimCode {
constexpr uint32_t Ok = 0;
// The channel has no sensor; the calibration routine reads this as "no sensor", not as an error.
constexpr uint32_t NoSensor = 129;
// The channel index is not below the controller's channel count.
constexpr uint32_t InvalidChannel = 256;
// A sensor mode other than 0 (disabled), 1 (enabled) or 2 (power save).
constexpr uint32_t InvalidSensorMode = 257;
// Calibration asked for while the sensors are disabled (mode 0).
constexpr uint32_t SensorsDisabled = 258;
// A pointer argument of a library function was null.
constexpr uint32_t NullArgument = 259;
// The system index names no open system.
constexpr uint32_t UnknownSystem = 260;
// OV_OpenSystem was given a locator that does not start with "sim:".
constexpr uint32_t NotSimLocator = 261;
// The scenario text after "sim:" does not parse.
constexpr uint32_t BadScenario = 262;
// The result buffer cannot hold the answer (OV_FindSystems), or not even its terminating zero.
constexpr uint32_t BufferTooSmall = 263;
// OV_OpenSystem was given an option text other than "sync".
constexpr uint32_t UnsupportedOption = 264;
// A replayed controller (replay=FILE) was called otherwise than in its recording.
constexpr uint32_t ReplayDeparted = 265;
} // namespace SimCode
