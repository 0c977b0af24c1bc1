// The one door through which the tool reaches the two closed controller libraries.
// Production code uses the libraries loaded at run time; tests install a fake in their place.
#pragma once

#include <QString>
#include <cstdint>

class ControllerLibrary
{
public:
    virtual ~ControllerLibrary() = default;

    // The implementation in use: the run-time loaded libraries unless another one is installed.
    static ControllerLibrary& instance();
    // Installs a replacement (nullptr restores the loaded libraries). Not owned.
    static void setInstance(ControllerLibrary* replacement);

    // Why the libraries are not (fully) usable, such as the first library or function that could
    // not be loaded; empty when every call can reach its library.
    virtual QString loadError() { return QString(); }

    // Asks a call in progress on another thread to return early, for an abort. The maker's
    // libraries have no such function, so this does nothing unless the loaded library offers it
    // (the stand-in libraries do, for a replayed call that took long when it was recorded).
    virtual void interruptCalls() {}
    // Whether the controller of an open system is gone for good, so that no later call can reach
    // it. The maker's libraries cannot tell, so this is false unless the loaded library offers it
    // (the stand-in libraries do, for a replay that has left its recording and answers no more).
    virtual bool controllerGone(uint32_t systemIndex)
    {
        (void)systemIndex;
        return false;
    }

    // Controller library
    virtual uint32_t findSystems(const char* options, char* buffer, uint32_t* bufferSize) = 0;
    virtual uint32_t openSystem(uint32_t* systemIndex, const char* locator, const char* options) = 0;
    virtual uint32_t releaseSystems() = 0;
    virtual uint32_t getNumberOfChannels(uint32_t systemIndex, uint32_t* channels) = 0;
    virtual uint32_t getSensorEnabled(uint32_t systemIndex, uint32_t* mode) = 0;
    virtual uint32_t setSensorEnabled(uint32_t systemIndex, uint32_t mode) = 0;
    virtual uint32_t calibrateSensor(uint32_t systemIndex, uint32_t channel) = 0;
    virtual uint32_t getStatus(uint32_t systemIndex, uint32_t channel, uint32_t* status) = 0;
    virtual uint32_t stop(uint32_t systemIndex, uint32_t channel) = 0;

    // IO library
    virtual uint32_t enumerateDevices(uint32_t kind, const char* filter, char* buffer,
                                      uint32_t* bufferSize) = 0;
    virtual uint32_t getLocatorInterfaceType(uint32_t* type, const char* locator) = 0;
};
