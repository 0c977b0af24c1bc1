#include "threadlimit.h"

#include <QtGlobal>
#include <algorithm>
#include <fstream>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

constexpr std::uint64_t NoLimit = std::numeric_limits<std::uint64_t>::max();

#ifdef Q_OS_UNIX
std::uint64_t softLimit(int resource)
{
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return NoLimit;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}
#endif

} // namespace

std::uint64_t ThreadLimit::estimate()
{
    std::uint64_t threads = NoLimit;
#ifdef Q_OS_UNIX
    threads = std::min(threads, softLimit(RLIMIT_NPROC));
    // A new thread reserves a stack of the size ulimit -s gives (glibc takes 2 MiB when that is
    // unlimited); an address-space limit holds only so many.
    const std::uint64_t addressSpace = softLimit(RLIMIT_AS);
    if (addressSpace != NoLimit) {
        const std::uint64_t stack = softLimit(RLIMIT_STACK);
        threads = std::min(threads, addressSpace / (stack == NoLimit || stack == 0 ? 2u << 20 : stack));
    }
#endif
    std::ifstream systemLimit("/proc/sys/kernel/threads-max");
    std::uint64_t systemThreads = 0;
    if (systemLimit >> systemThreads && systemThreads > 0)
        threads = std::min(threads, systemThreads);
    return threads;
}
