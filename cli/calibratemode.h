// vkr-calibrate's modes that reach controllers: calibrating the locators given, side by side, and
// listing the locators found. Both may record the conversation with the controllers (--record).
#pragma once

#include "options.h"

#include <cstdint>

class QCoreApplication;

namespace CalibrateMode {
// Calibrates the options' locators, no more at a time than the open file limit has room for; the
// exit status is the largest of the runs'.
int calibrate(const Options& options, QCoreApplication& application, std::uint64_t openFileLimit);
// Prints the locators found: 0, LibrariesMissing or OutputFailed.
int list(const Options& options);
} // namespace CalibrateMode
