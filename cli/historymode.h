// vkr-calibrate --history: the calibration history as a table or as its JSON lines, newest run
// last, only the runs that match, read without holding more than the runs shown.
#pragma once

#include "options.h"

namespace HistoryMode {
// The exit status: 0, or OutputFailed when the history or standard output failed.
int run(const Options& options);
} // namespace HistoryMode
