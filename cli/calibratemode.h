// vkr-calibrate's modes that reach controllers: calibrating the locators given, side by side, and
// listing the locators found. Both may record the conversation with the controllers (--record).
#pragma once

#include "options.h"

class QCoreApplication;

namespace CalibrateMode {
// Calibrates the options' locators; the exit status is the largest of the runs'.
int calibrate(const Options& options, QCoreApplication& application);
// Prints the locators found: 0, LibrariesMissing or OutputFailed.
int list(const Options& options);
} // namespace CalibrateMode
