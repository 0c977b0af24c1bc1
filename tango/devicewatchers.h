// The device's two watchers, each on a thread of its own so that no client's command waits for
// them: the stop watch, which waits for a run asked to stop and tells when it has not ended by its
// deadline, and the restart watch, which tells when a device made by the admin's DevRestart has
// been handed the subscribers of the device it replaces.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

class WorkThread;
namespace Tango {
class TangoMonitor;
}

class DeviceWatchers
{
public:
    using Clock = std::chrono::steady_clock;

    // The device's monitor, let go of while a joining caller holds it (a watcher may wait for it).
    explicit DeviceWatchers(Tango::TangoMonitor& deviceMonitor);
    ~DeviceWatchers() { joinAll(); }
    DeviceWatchers(const DeviceWatchers&) = delete;
    DeviceWatchers& operator=(const DeviceWatchers&) = delete;

    // Calls `stuck` when the worker's run has not ended by the deadline. The last stop's watch is
    // done or about to be: its run has ended, or was shown stuck, before another could be stopped.
    void watchStop(WorkThread& worker, Clock::time_point deadline, std::function<void()> stuck);
    // Calls `handedOver` once the admin device, which holds its monitor while it makes this device
    // and hands it the subscribers, lets go of it; not at all once closing().
    void watchRestart(std::function<void()> handedOver);
    // From now on the restart watch gives up; both watchers end.
    void close() { closing = true; }
    void joinAll();

    // The worker's run has ended by the deadline (at once when it is past).
    static bool waitFor(WorkThread& worker, Clock::time_point deadline);

private:
    void join(std::thread& thread);

    Tango::TangoMonitor& monitor;
    std::atomic_bool closing{false};
    std::thread stopWatch;
    std::thread restartWatch;
};
