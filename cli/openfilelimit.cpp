#include "openfilelimit.h"

#include <QtGlobal>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

std::uint64_t OpenFileLimit::raiseToHardLimit()
{
#ifdef Q_OS_UNIX
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::numeric_limits<std::uint64_t>::max();
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // An unlimited hard limit is refused by some systems; the soft limit then stays.
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(limit.rlim_cur);
#else
    return std::numeric_limits<std::uint64_t>::max();
#endif
}
