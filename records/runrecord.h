// What one calibration run did, step by step, as the routine knows it: which controller, from
// where and on which host, how it ended, the code that kept the controller closed, each channel it
// reached, and when. Callers act on this, never on the log's text; its sinks (a report, the
// calibration history) write it through RunRecordJson, the one place that names its fields.
#pragma once

#include <QDateTime>
#include <QString>
#include <QVector>
#include <cstdint>
#include <optional>

struct RunRecord
{
    // The program that started the run; the worker leaves it to its front-end to say.
    enum class Source
    {
        Window,      // vkr-calibrator
        CommandLine, // vkr-calibrate
        Tango        // the Tango device server, vkr-tango-server
    };

    enum class Outcome
    {
        NotOpened,  // the controller could not be opened; nothing else was tried
        Aborted,    // an abort request ended the run; no summary
        Incomplete, // the run wrote its summary without reaching the channels: the sensor mode or
                    // the channel count could not be read or set
        Finished    // the run went through the channels, closed the connection and wrote its summary
    };

    // One step of the run that failed, in the order of the run: the failures the log reports,
    // and the channel count that could not be read, which the log does not count as an error.
    // The failed reads that a channel's wait rides out are no failed step.
    struct Failure
    {
        enum class Step
        {
            Open,
            GetSensorEnabled,
            SetSensorEnabled,
            GetNumberOfChannels,
            CalibrateSensor,
            GetStatus
        };
        Step step = Step::Open;
        std::optional<uint32_t> channel; // for the steps of one channel
        uint32_t code = 0;
    };

    struct Channel
    {
        enum class Result
        {
            Calibrated,
            NoSensor,
            Failed, // calibration refused, or its status could not be read
            Aborted // stopped while it calibrated
        };
        uint32_t channel = 0;
        Result result = Result::Calibrated;
        uint32_t code = 0;  // 0 when calibrated or aborted, 129 for no sensor, else the failing code
        double seconds = 0; // from the calibration's start to the channel's end
    };

    QString locator; // as the run opened it
    Source source = Source::Window;
    QString host; // the machine the run went on
    // Who started the run, where its front-end knows: a Tango client's host and process.
    QString client;
    Outcome outcome = Outcome::NotOpened;
    uint32_t errors = 0;     // the summary's count when Finished; counted so far otherwise
    uint32_t openResult = 0; // the code of a failed open, else 0
    // Why the controller could not be opened, in words for the user; empty when the code is all
    // that is known.
    QString openFailureReason;
    // What else the user should know of the run, in words; empty for most runs.
    QString note;
    // The program and version that wrote a record read back ("vkr-calibrator 1.4.0"); a record
    // written takes the running program's instead.
    QString tool;
    QVector<Channel> channels; // in the order the run reached them
    QVector<Failure> failures;
    std::optional<uint32_t> channelCount; // as the controller reported it, once read
    QDateTime started;                    // UTC
    QDateTime finished;                   // UTC
};
