// One controller connection: opens a controller by its locator, either through the closed
// controller library or over a serial port driven with the controller's ASCII protocol, and
// offers the six operations the calibration needs. Every operation returns a result code,
// 0 meaning success.
#pragma once

#include "portclaim.h"
#include "replyparser.h"
#include "resultcodes.h"
#include "serialport.h"

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

class ControllerLibrary;

class VKRConnection : public QObject
{
    Q_OBJECT

public:
    enum Mode
    {
        Closed = 0,
        Library = 1,
        Serial = 2
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

    // Who sees the serial line as the port does (a conversation being recorded); nullptr, the
    // default, for nobody. Not owned; set while the connection is closed.
    void setObserver(SerialPortObserver* observer) { portHandle.setObserver(observer); }

    // Why the last open() failed, in words for the user and with the cure where there is one;
    // empty after a success, or when the code is all that is known (a library's own code).
    QString openFailureReason() const { return openFailure; }

    // True when the last serial exchange failed because the line itself is gone: its write or
    // its read found the device removed or the line hung up. A time-out, a write held back by
    // flow control or a reply of the wrong form is no lost line. Decided anew by every exchange.
    // In the library branch, true once the library says the controller is gone for good.
    bool lineLost() const;

    // How long the serial controller has sent nothing at all, when the last exchange timed out
    // without one byte arriving, or its command could not be written on a line still there (the
    // port took nothing: flow control held): measured from the end of the last read that received anything
    // (the handshake's replies count). Zero after any other outcome and in the library branch: a
    // controller that answers anything, even slowly or with errors, is not silent.
    std::chrono::steady_clock::duration silentFor() const;

    // How long a serial reply may keep its next byte waiting (500 ms unless set), and how long the
    // port may take no byte of a command (5 s unless set).
    void setTimeLimits(std::chrono::milliseconds replyByteTimeout, std::chrono::milliseconds writeStall);

    // The serial line transport beneath the serial branch. Public so that tests and tools can
    // drive a port directly; the operations above never need them from outside.
    uint32_t openSerialPort(QString portName, uint32_t baudRate);
    uint32_t writeRaw(QString text);
    // Writes ':' + command + line feed and logs the command at debug level as "out:<command>".
    uint32_t sendRS232String(QString command);
    // Reads up to and including a line feed; the time-out bounds the wait for each byte.
    uint32_t readLine(QString& line, uint32_t timeoutMs);
    // Reads one line and parses it as a reply (see ReplyParser).
    uint32_t readReply(QString& name, uint32_t& count, uint32_t values[4], uint32_t timeoutMs);

private:
    template <typename LibraryCall, typename SerialCall>
    uint32_t dispatch(LibraryCall onLibrary, SerialCall onSerial)
    {
        switch (connectionMode) {
        case Library:
            return onLibrary();
        case Serial:
            return onSerial();
        default:
            return ResultCode::NotOpen;
        }
    }

    uint32_t openSerial(const QString& locator);
    uint32_t writeBytes(const QByteArray& bytes);
    // A command word followed by its argument in decimal ("GS" and 3 give "GS3").
    static QString commandText(const char* word, uint32_t argument);
    uint32_t handshake(const QString& portName);
    uint32_t checkControllerAnswers(const QString& portName);
    uint32_t ask(const QString& command, Reply& reply, QString& line);
    static QString shownReply(QString line);
    uint32_t readReply(Reply& reply);
    // What answers a command: a reply of this name and value count whose first value, when a
    // channel is given, is that channel.
    struct ExpectedReply
    {
        const char* name;
        uint32_t count;
        std::optional<uint32_t> channel;
        bool fits(const Reply& reply) const;
    };
    uint32_t exchange(const QString& command, const ExpectedReply& expected, Reply& reply);
    // The serial exchanges, each checking its reply; out-values are written only on success.
    // A query answered by one value under the given reply name:
    uint32_t queryValue(const QString& command, const char* replyName, uint32_t& value);
    // "GS<channel>", answered by "S<channel>,<status>":
    uint32_t queryStatus(uint32_t channel, uint32_t& status);
    // A command answered by an acknowledge "E<channel>,<code>" whose code is the result:
    uint32_t acknowledgedCommand(const QString& command, uint32_t channel);

    int connectionMode = Closed;
    SerialPort portHandle;
    PortClaim portClaim; // held from the handshake's start until the serial connection closes
    bool lastExchangeLostLine = false;
    bool lastExchangeSilent = false;
    bool lastReadHeardAnything = false;
    // A reply did not come within its time-out on this connection, so it may still come, ahead of
    // a later command's reply.
    bool lateReplyMayFollow = false;
    // When the last read that received a byte ended.
    std::chrono::steady_clock::time_point lastHeard;
    QString openFailure;
    std::mutex exchangeMutex;
    uint32_t systemIndex = 0;
    uint32_t replyTimeoutMs = 500;
    ControllerLibrary& library;
};
