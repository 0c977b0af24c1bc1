#include "lockwait.h"

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace FileCalls {

namespace {

// What the waiting thread and the caller share; the thread may outlive the caller's wait.
struct Waiter
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int error = 0;
};

// Without a thread (the thread or memory limit reached) the lock is still taken, only in no order.
Lock tryUntil(const LockCalls& calls, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const Lock tried = calls.tryLock();
        if (tried != Lock::Busy)
            return tried;
    }
    return Lock::Busy;
}

} // namespace

Lock waitForLock(const LockCalls& calls, std::chrono::milliseconds wait)
{
    auto waiter = std::make_shared<Waiter>();
    const auto blockingLock = [waiter, calls] {
        const int error = calls.lockWaiting();
        std::unique_lock<std::mutex> hold(waiter->mutex);
        if (waiter->abandoned && error == 0)
            calls.unlock();
        waiter->finished = true;
        waiter->error = error;
        hold.unlock();
        waiter->done.notify_one();
        calls.close();
    };
    try {
        std::thread(blockingLock).detach();
    } catch (const std::system_error&) {
        calls.close();
        return tryUntil(calls, wait);
    }
    std::unique_lock<std::mutex> hold(waiter->mutex);
    if (!waiter->done.wait_for(hold, wait, [&] { return waiter->finished; })) {
        // The thread unlocks at once should it get the lock after all, and then ends.
        waiter->abandoned = true;
        return Lock::Busy;
    }
    errno = waiter->error;
    return waiter->error == 0 ? Lock::Taken : Lock::Failed;
}

} // namespace FileCalls
