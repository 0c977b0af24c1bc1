#include "standardoutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool StandardOutput::write(const QByteArray& bytes)
{
    if (writeFailed)
        return false;
    errno = 0;
    const std::size_t size = static_cast<std::size_t>(bytes.size());
    if (std::fwrite(bytes.constData(), 1, size, stdout) == size && std::fflush(stdout) == 0)
        return true;
    writeFailed = true;
    const int reason = errno;
    std::fprintf(stderr, "vkr-calibrate: cannot write to standard output: %s\n",
                 reason ? std::strerror(reason) : "write error");
    // What stays in the buffer can never leave; drop it, so that the exit does not try again.
    std::clearerr(stdout);
    return false;
}
