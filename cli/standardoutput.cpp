#include "standardoutput.h"

#include "filecalls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

bool StandardOutput::write(const QByteArray& bytes)
{
    if (writeFailed)
        return false;
    // Written past stdio, so that a reader that stops reading holds the program up only until it
    // is asked to stop (FileCalls::endWaitingWrites), not for good; whatever stdio holds goes first.
    errno = 0;
    bool written = std::fflush(stdout) == 0;
    const std::size_t size = static_cast<std::size_t>(bytes.size());
    for (std::size_t done = 0; written && done < size;) {
        const long long count = FileCalls::writeSome(STDOUT_FILENO, bytes.constData() + done, size - done);
        written = count > 0;
        done += written ? static_cast<std::size_t>(count) : 0;
    }
    if (written)
        return true;
    writeFailed = true;
    const int reason = errno;
    std::fprintf(stderr, "vkr-calibrate: cannot write to standard output: %s\n",
                 reason == ECANCELED ? "its reader took nothing once the program was asked to stop"
                 : reason            ? std::strerror(reason)
                                     : "write error");
    // What stays in the buffer can never leave; drop it, so that the exit does not try again.
    std::clearerr(stdout);
    return false;
}
