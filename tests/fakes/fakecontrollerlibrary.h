// A scripted stand-in for the closed controller libraries, installed in place of the loaded
// ones for as long as it lives. It records every call, so tests can check what was called.
#pragma once

#include "controllerlibrary.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QPair>
#include <QStringList>
#include <functional>

class FakeControllerLibrary : public ControllerLibrary
{
public:
    struct StatusRead
    {
        uint32_t result;
        uint32_t status;
    };

    FakeControllerLibrary();
    ~FakeControllerLibrary() override;

    // What the fake controller answers. Set before a run; read by the worker thread during it.
    bool classifies = true;     // whether getLocatorInterfaceType writes the type at all
    uint32_t interfaceType = 1; // written for every locator
    uint32_t openResult = 0;
    uint32_t openedIndex = 7;
    uint32_t releaseResult = 0;
    uint32_t channels = 3;
    uint32_t channelsResult = 0;
    uint32_t sensorMode = 2;
    uint32_t getModeResult = 0;
    uint32_t setModeResult = 0;
    QMap<uint32_t, uint32_t> calibrateResults; // by channel; 0 when not listed
    // Status reads by channel, consumed in order; once a channel's list is used up its reads
    // return {0, 0}, or {0, 6} for a channel listed in neverFinishes.
    QMap<uint32_t, QList<StatusRead>> statusReads;
    QList<uint32_t> neverFinishes;
    std::function<void(uint32_t channel)> onStatusRead; // called before every status read
    std::function<void()> onOpen;                       // called inside every openSystem

    // Discovery answers.
    uint32_t findSystemsResult = 0;
    QByteArray findSystemsText;
    uint32_t enumerateResult = 0;
    QByteArray enumerateText;
    // Written to the size argument after copying a discovery text, when not negative.
    qint64 sizeAfterCall = -1;

    // Every call so far, e.g. "open sim:x sync", "getStatus 7 2", "release".
    QStringList calls() const;
    void clearCalls();

    uint32_t findSystems(const char* options, char* buffer, uint32_t* bufferSize) override;
    uint32_t openSystem(uint32_t* systemIndex, const char* locator, const char* options) override;
    uint32_t releaseSystems() override;
    uint32_t getNumberOfChannels(uint32_t systemIndex, uint32_t* count) override;
    uint32_t getSensorEnabled(uint32_t systemIndex, uint32_t* mode) override;
    uint32_t setSensorEnabled(uint32_t systemIndex, uint32_t mode) override;
    uint32_t calibrateSensor(uint32_t systemIndex, uint32_t channel) override;
    uint32_t getStatus(uint32_t systemIndex, uint32_t channel, uint32_t* status) override;
    uint32_t stop(uint32_t systemIndex, uint32_t channel) override;
    uint32_t enumerateDevices(uint32_t kind, const char* filter, char* buffer, uint32_t* bufferSize) override;
    uint32_t getLocatorInterfaceType(uint32_t* type, const char* locator) override;

private:
    void record(const QString& call);
    uint32_t copyText(const QByteArray& text, char* buffer, uint32_t* bufferSize);

    mutable QMutex mutex;
    QStringList callLog;
};
