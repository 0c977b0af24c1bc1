// A wait for a file lock that takes it in turn and ends at a deadline. The systems queue the
// waiters of a blocking lock call in order but give it no time-out, and trying again now and then
// lets a waiter that just came take the lock before one that has waited long. So the blocking call
// runs on a thread of its own, on a duplicate of the file's handle or descriptor (a lock belongs to
// the open file, which the duplicate shares, and the duplicate stays valid when the caller has
// given up and closed its own), and the caller waits for it with the deadline. Qt-free; each
// platform's file calls supply the calls below.
#pragma once

#include "filecalls.h"

#include <chrono>
#include <functional>

namespace FileCalls {

struct LockCalls
{
    // The lock on the caller's own file, taken without waiting: Taken, Busy, or Failed with errno set.
    std::function<Lock()> tryLock;
    // On the duplicate, which the wait owns from the call on; called on the waiting thread.
    std::function<int()> lockWaiting; // waits as long as it takes: 0, or the error number
    std::function<void()> unlock;     // for a lock that came after the caller gave up
    std::function<void()> close;
};

// Waits at most wait for a lock that tryLock found busy; Failed with errno set when the system
// refused. Where no thread can be started, the lock is tried again every few milliseconds until the
// deadline.
Lock waitForLock(const LockCalls& calls, std::chrono::milliseconds wait);

} // namespace FileCalls
