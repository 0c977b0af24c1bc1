// Standard output that notices when it cannot be written: a closed pipe or a full disk. The
// first failure is told on standard error in one line; from then on nothing more is written. A
// reader that stops reading is waited for until the program is asked to stop.
#pragma once

#include <QByteArray>

class StandardOutput
{
public:
    // Writes and flushes the bytes; false when they could not all leave.
    bool write(const QByteArray& bytes);
    bool failed() const { return writeFailed; }

private:
    bool writeFailed = false;
};
