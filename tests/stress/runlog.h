// Checks the log text of one calibration run as the window shows it: every line the routine can
// write, in an order the routine can write them, ending with one of the routine's endings.
#pragma once

#include <QString>

namespace RunLog {

// The text is a whole run: it starts with "Starting calibration...", ends with the
// initialization failure, "Aborting." or the summary, names its channels 0, 1, 2, … in turn and,
// when it has a summary, counts exactly the failures the routine counts.
bool isComplete(const QString& text);

// The text is the beginning of a run (or a whole one): nothing from another run is mixed in.
bool isValidPrefix(const QString& text);

// Why the text is not a whole run, for failure messages; empty when it is one.
QString problem(const QString& text);

} // namespace RunLog
