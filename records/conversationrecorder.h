// The record of a run's conversation with its controller, for a developer to replay: one JSON
// object per line (JSON Lines) for every event, each with its time in microseconds since the
// recording began (the words are in recordingformat.h). The serial port reports to it as the
// observer its connection is handed (WorkThread::setConversationObserver); the library branch reports each
// call through RecordingControllerLibrary. Events go to the file as the run goes, from a thread of
// their own, so that recording never holds up the conversation and a killed run leaves its events.
#pragma once

#include "backgroundfilewriter.h"
#include "serialportobserver.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <atomic>
#include <cstdint>

class ConversationRecorder : public SerialPortObserver
{
public:
    ConversationRecorder() = default;
    ~ConversationRecorder() override = default; // writes what is still held, as finish() does

    // Creates (or empties) the file and starts the recording with its first line, which names
    // the tool and the format and is on the disk on return. False, with the reason, when the file
    // cannot be created.
    bool open(const QString& path, const QString& toolName, const QString& toolVersion, QString& error);
    // Events are written at least every 100 ms; this has those held written now, as before an
    // abort. Does not wait for the disk.
    void flushNow() { writer.flushNow(); }
    // Writes every event still held and syncs the file. False, with the system's reason, when the
    // file did not take them all: a failed write, or a disk too slow, stopped the recording there
    // (the run itself went on).
    bool finish(QString& error);

    // Microseconds since the recording began; monotonic.
    qint64 now() const { return clock.nsecsElapsed() / 1000; }
    // One call of a controller library function, made at startedUs: its arguments, its result
    // code and the values it wrote back.
    void libraryCall(const char* function, const QJsonObject& arguments, uint32_t result,
                     const QJsonObject& outValues, qint64 startedUs);

    // Bytes as JSON text that keeps every byte value: each byte is the character of the same
    // number (U+0000 to U+00FF, as in Latin-1).
    static QString bytesText(const char* data, std::size_t size);

    // The run was told to stop (a signal): what follows, the stop and close the tool sends on its
    // way out, is its abort, which a replay holds back until the replayed run is aborted too.
    // Noted once, at the first request.
    void abortRequested();

    void portOpened(const std::string& name, uint32_t baudRate, const std::string& failure) override;
    void portClosed() override;
    void bytesWritten(const char* data, std::size_t size, bool whole) override;
    void bytesRead(const char* data, std::size_t size) override;
    void readTimedOut() override;
    void readFailed() override;

private:
    void append(const char* event, QJsonObject fields, qint64 time = -1);

    QElapsedTimer clock;
    BackgroundFileWriter writer;
    std::atomic_bool abortNoted{false};
};
