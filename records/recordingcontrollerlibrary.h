// A ControllerLibrary that passes every call on to another one and reports it, with its
// arguments, result code and out-values, to a ConversationRecorder.
#pragma once

#include "controllerlibrary.h"

class ConversationRecorder;

class RecordingControllerLibrary : public ControllerLibrary
{
public:
    // Neither is owned; both must outlive this object.
    RecordingControllerLibrary(ControllerLibrary& library, ConversationRecorder& recorder);

    QString loadError() override { return library.loadError(); }
    void interruptCalls() override { library.interruptCalls(); }
    bool controllerGone(uint32_t systemIndex) override { return library.controllerGone(systemIndex); }

    uint32_t findSystems(const char* options, char* buffer, uint32_t* bufferSize) override;
    uint32_t openSystem(uint32_t* systemIndex, const char* locator, const char* options) override;
    uint32_t releaseSystems() override;
    uint32_t getNumberOfChannels(uint32_t systemIndex, uint32_t* channels) override;
    uint32_t getSensorEnabled(uint32_t systemIndex, uint32_t* mode) override;
    uint32_t setSensorEnabled(uint32_t systemIndex, uint32_t mode) override;
    uint32_t calibrateSensor(uint32_t systemIndex, uint32_t channel) override;
    uint32_t getStatus(uint32_t systemIndex, uint32_t channel, uint32_t* status) override;
    uint32_t stop(uint32_t systemIndex, uint32_t channel) override;
    uint32_t enumerateDevices(uint32_t kind, const char* filter, char* buffer, uint32_t* bufferSize) override;
    uint32_t getLocatorInterfaceType(uint32_t* type, const char* locator) override;

private:
    ControllerLibrary& library;
    ConversationRecorder& recorder;
};
