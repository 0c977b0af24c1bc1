// Lets go of a Tango monitor for as long as it lives, as far as the calling thread holds it, and
// takes it back as often as it was held: a command that waits for the run lets the run's messages
// and end through the device's monitor meanwhile.
#pragma once

#include <tango.h>

class MonitorPause
{
public:
    explicit MonitorPause(Tango::TangoMonitor& monitor) : monitor(monitor)
    {
        omni_thread* self = omni_thread::self();
        if (!self)
            return;
        while (monitor.get_locking_ctr() > 0 && monitor.get_locking_thread_id() == self->id()) {
            monitor.rel_monitor();
            ++depth;
        }
    }
    ~MonitorPause()
    {
        for (int taken = 0; taken < depth;) {
            try {
                monitor.get_monitor();
                ++taken;
            } catch (const Tango::DevFailed&) {
                // Held by another past the monitor's time-out: waited for again, since the caller's
                // request holds it when this returns.
            }
        }
    }
    MonitorPause(const MonitorPause&) = delete;
    MonitorPause& operator=(const MonitorPause&) = delete;

private:
    Tango::TangoMonitor& monitor;
    int depth = 0;
};
