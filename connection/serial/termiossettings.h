#pragma once

#include <cstdint>
#include <termios.h>

// The terminal settings a serial line runs with, as pure functions over a termios record, so that what the
// port is told can be checked without a device.
namespace TermiosSettings {

// The speed constant for a baud rate; false when the platform has none for it.
bool speedForBaudRate(uint32_t baudRate, speed_t& speed);
// The baud rate a speed constant stands for; false for a constant that is not a speed.
bool baudRateForSpeed(speed_t speed, uint32_t& baudRate);

// Turns the port's current settings into a raw 8N1 line at baudRate that ignores the modem-control lines,
// keeping its flow control (CRTSCTS, IXON, IXOFF, IXANY) as it was. False, and settings untouched, for a
// baud rate the platform cannot set.
bool applyLineSettings(termios& settings, uint32_t baudRate);

} // namespace TermiosSettings
