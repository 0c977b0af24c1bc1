// Preloaded into a program under test (LD_PRELOAD), this makes the system refuse new threads the
// way it does at its thread or memory limit: pthread_create fails with EAGAIN. Which calls fail is
// told by the environment, counting every call the process makes from its start:
//   VKR_THREADS_BEFORE_REFUSAL=N  the first N calls succeed, the ones after fail (unset: none fails)
//   VKR_THREADS_REFUSED=M         only M calls fail, the ones after succeed again (unset: all fail)
//   VKR_THREADS_COUNTED=workers   only the threads the program starts through QThread::start count
//                                 (its workers) and may fail; the others (writers, a lock's waiter,
//                                 a sanitizer's own) are neither counted nor refused
// A refusal is then the same call every time, unlike one provoked by a lowered address-space limit,
// which also fails allocations anywhere else at random.
// It also puts a signal where a race would: VKR_SIGNAL_AT_SOCKETPAIR=N raises signal N in the
// process's first socketpair() call (the signal watcher's, just before it installs its handlers).
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/socket.h>

namespace {

using CreateThread = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

long long setting(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::atoll(value) : -1;
}

std::atomic<long long> calls{0};
// Set while the program's own call of QThread::start runs on this thread.
thread_local bool startingQThread = false;

} // namespace

extern "C" __attribute__((visibility("default"))) int
pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument)
{
    static const auto next = reinterpret_cast<CreateThread>(::dlsym(RTLD_NEXT, "pthread_create"));
    static const long long allowed = setting("VKR_THREADS_BEFORE_REFUSAL");
    static const long long refused = setting("VKR_THREADS_REFUSED");
    static const bool workersOnly = [] {
        const char* counted = std::getenv("VKR_THREADS_COUNTED");
        return counted && std::strcmp(counted, "workers") == 0;
    }();
    if (workersOnly && !startingQThread)
        return next(thread, attributes, routine, argument);
    const long long call = ++calls;
    if (allowed >= 0 && call > allowed && (refused < 0 || call <= allowed + refused))
        return EAGAIN;
    return next(thread, attributes, routine, argument);
}

// QThread::start(QThread::Priority), as the program calls it (calls within Qt itself are bound
// inside Qt's library and do not come here).
extern "C" __attribute__((visibility("default"))) void _ZN7QThread5startENS_8PriorityE(void* thread,
                                                                                       int priority)
{
    using Start = void (*)(void*, int);
    static const auto next = reinterpret_cast<Start>(::dlsym(RTLD_NEXT, "_ZN7QThread5startENS_8PriorityE"));
    startingQThread = true;
    next(thread, priority);
    startingQThread = false;
}

extern "C" __attribute__((visibility("default"))) int socketpair(int domain, int type, int protocol,
                                                                 int sockets[2])
{
    using SocketPair = int (*)(int, int, int, int[2]);
    static const auto next = reinterpret_cast<SocketPair>(::dlsym(RTLD_NEXT, "socketpair"));
    static std::atomic<bool> raised{false};
    if (const long long signalNumber = setting("VKR_SIGNAL_AT_SOCKETPAIR");
        signalNumber > 0 && !raised.exchange(true))
        ::raise(int(signalNumber));
    return next(domain, type, protocol, sockets);
}
