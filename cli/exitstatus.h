// The exit statuses of vkr-calibrate, each named once. With several controllers the program ends
// with the largest of its runs' statuses, so the order matters: a lost log outweighs an abort,
// an abort a controller not opened, that a run with errors.
#pragma once

enum ExitStatus
{
    Calibrated = 0,           // the run ended with its summary and 0 errors
    CalibratedWithErrors = 1, // the run ended with its summary and at least one error
    NotOpened = 2,            // the controller could not be opened
    Aborted = 3,              // a signal (or lost output) stopped the run
    UsageError = 64,          // the command line is wrong; nothing was run
    LibrariesMissing = 69,    // --list could not load the controller libraries
    OutputFailed = 74,        // standard output, the report or the history could not be written
};
