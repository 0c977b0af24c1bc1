// Preloaded into a program under test (LD_PRELOAD), this makes the system refuse new threads the
// way it does at its thread or memory limit: pthread_create fails with EAGAIN. Which calls fail is
// told by the environment, counting every call the process makes from its start:
//   VKR_THREADS_BEFORE_REFUSAL=N  the first N calls succeed, the ones after fail (unset: none fails)
//   VKR_THREADS_REFUSED=M         only M calls fail, the ones after succeed again (unset: all fail)
// A refusal is then the same call every time, unlike one provoked by a lowered address-space limit,
// which also fails allocations anywhere else at random.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <pthread.h>

namespace {

using CreateThread = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

long long setting(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::atoll(value) : -1;
}

std::atomic<long long> calls{0};

} // namespace

extern "C" __attribute__((visibility("default"))) int
pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument)
{
    static const auto next = reinterpret_cast<CreateThread>(::dlsym(RTLD_NEXT, "pthread_create"));
    static const long long allowed = setting("VKR_THREADS_BEFORE_REFUSAL");
    static const long long refused = setting("VKR_THREADS_REFUSED");
    const long long call = ++calls;
    if (allowed >= 0 && call > allowed && (refused < 0 || call <= allowed + refused))
        return EAGAIN;
    return next(thread, attributes, routine, argument);
}
