// Events pushed while the server ends. Tango closes its event publisher right after the last
// device is deleted, with no linger: an event still queued in ZMQ's I/O thread then is lost, and
// a subscriber keeps the run RUNNING. The class's end waits, a short bounded time, for that thread
// to send what the devices pushed last.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

class ShutdownEvents
{
public:
    using Clock = std::chrono::steady_clock;
    // Long enough for the I/O thread to be scheduled on a loaded machine; within the server's
    // stop bound.
    static constexpr std::chrono::milliseconds Grace{500};

    static void pushed()
    {
        lastPush().store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }

    static void letLeave()
    {
        const auto last = lastPush().load(std::memory_order_relaxed);
        if (last != 0)
            std::this_thread::sleep_until(Clock::time_point(Clock::duration(last)) + Grace);
    }

private:
    static std::atomic<Clock::rep>& lastPush()
    {
        static std::atomic<Clock::rep> time{0};
        return time;
    }
};
