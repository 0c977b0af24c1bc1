// Preloaded into vkr-tango-server by the test of devices ending together: every fdatasync() takes
// 300 ms longer, as on a slow or busy disk, so that a history written before State is shown shows.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

extern "C" int fdatasync(int fd)
{
    const timespec pause{0, 300 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    return int(syscall(SYS_fdatasync, fd));
}
