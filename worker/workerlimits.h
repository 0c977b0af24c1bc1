// The times a calibration run works to. The defaults are the tool's; tests shorten them to see each
// rule act within a moment.
#pragma once

#include <chrono>

struct WorkerLimits
{
    // How long a serial controller may send nothing at all during a channel's wait before the
    // wait gives up on it. A controller that answers anything, even with errors, is waited for.
    std::chrono::milliseconds controllerSilence{10000};
    // The pause after a failed status read, so that a controller which fails at once is not
    // polled in a busy loop.
    std::chrono::milliseconds failedStatusPause{100};
    // How long a serial reply may keep its next byte waiting before the exchange times out (15).
    std::chrono::milliseconds replyByteTimeout{500};
    // How long the serial port may take no byte of a command before the write fails (8).
    std::chrono::milliseconds writeStall{5000};
};
