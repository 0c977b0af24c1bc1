// What a device leaves to the device made in its place by the admin's DevRestart (or
// RestartServer), by the device's name: the values its subscribers last received, so that the new
// device pushes only what differs, and a run it could not stop, so that the new device shows that
// run until its library call returns, refuses Calibrate meanwhile and records the run at its end.
#pragma once

#include "runlink.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

class WorkThread;

struct DeviceHandoff
{
    // By attribute: the value its last event carried, as the device compares them.
    std::map<std::string, std::string> pushed;

    // The run left behind, when there is one; the worker is never destroyed while its thread runs.
    struct Run
    {
        std::shared_ptr<RunLink> link;
        WorkThread* worker = nullptr;
        std::string locator;
        std::string client;
        std::string log;
    };
    std::optional<Run> run;

    // Kept for the next device of that name; one the server's end leaves is never taken.
    static void leave(const std::string& device, DeviceHandoff handoff);
    static std::optional<DeviceHandoff> take(const std::string& device);
};
