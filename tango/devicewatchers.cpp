#include "devicewatchers.h"

#include "monitorpause.h"
#include "workthread.h"

#include <QDeadlineTimer>

DeviceWatchers::DeviceWatchers(Tango::TangoMonitor& deviceMonitor) : monitor(deviceMonitor) {}

bool DeviceWatchers::waitFor(WorkThread& worker, Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return worker.wait(QDeadlineTimer(std::max(left, std::chrono::milliseconds(0))));
}

void DeviceWatchers::watchStop(WorkThread& worker, Clock::time_point deadline, std::function<void()> stuck)
{
    join(stopWatch);
    stopWatch = std::thread([&worker, deadline, stuck = std::move(stuck)] {
        if (!waitFor(worker, deadline))
            stuck();
    });
}

void DeviceWatchers::watchRestart(std::function<void()> handedOver)
{
    restartWatch = std::thread([this, handedOver = std::move(handedOver)] {
        // Tango's monitors know the threads omniORB knows.
        omni_thread::ensure_self knownThread;
        Tango::TangoMonitor& admin = Tango::Util::instance()->get_dserver_device()->get_dev_monitor();
        for (;;) {
            try {
                admin.get_monitor();
                break;
            } catch (const Tango::DevFailed&) {
                if (closing)
                    return; // taken past its time-out, and no longer wanted
            }
        }
        admin.rel_monitor();
        if (!closing)
            handedOver();
    });
}

void DeviceWatchers::joinAll()
{
    join(stopWatch);
    join(restartWatch);
}

void DeviceWatchers::join(std::thread& thread)
{
    if (!thread.joinable())
        return;
    const MonitorPause pause(monitor);
    thread.join();
}
