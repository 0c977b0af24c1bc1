// One controller connection: opens a controller by its locator, either through the closed
// controller library or over a serial port driven with the controller's ASCII protocol, and
// offers the six operations the calibration needs. Every operation returns a result code,
// 0 meaning success.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <mutex>

class ControllerLibrary;

class VKRConnection : public QObject
{
    Q_OBJECT

public:
    enum Mode { Closed = 0, Library = 1, Serial = 2 };

    // Result codes the connection produces itself; every other nonzero code comes from the
    // controller library or from a controller's acknowledge reply and is passed on unchanged.
    enum Result : uint32_t {
        Success = 0,
        OpenFailed = 1,
        NotOpen = 2,
        WriteFailed = 8,
        ReadFailed = 10,
        ValueOutOfRange = 12,
        MalformedReply = 14,
        ReplyTimedOut = 15,
        NotALocator = 21,
    };

    explicit VKRConnection(QObject* parent = nullptr);
    ~VKRConnection() override;

    uint32_t open(QString locator);
    uint32_t close();
    uint32_t getNumberOfChannels(uint32_t& count);
    uint32_t getSensorEnabled(uint32_t& mode);
    uint32_t setSensorEnabled(uint32_t mode);
    uint32_t calibrateSensor(uint32_t channel);
    uint32_t getStatus(uint32_t channel, uint32_t& status);
    uint32_t stop(uint32_t channel);

    Mode mode() const { return static_cast<Mode>(connectionMode); }

private:
    uint32_t openSerial(const QString& locator);

    int connectionMode = Closed;
    std::mutex exchangeMutex;
    uint32_t systemIndex = 0;
    ControllerLibrary& library;
};
