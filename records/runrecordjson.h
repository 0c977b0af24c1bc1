// The JSON object that stands for one run in a report and in the calibration history, and back:
// the only place that spells a record's field names and its outcome, result, step and source
// words. Adding a field to the record touches the record, this codec and its test.
#pragma once

#include "runrecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class RunRecordJson
{
public:
    static QJsonObject toJson(const RunRecord& record);
    // The object as one line of JSON Lines, compact, with its line feed.
    static QByteArray toLine(const RunRecord& record);
    // The run an object stands for. False when it is no run's record: no locator, no known
    // outcome, or no valid start.
    static bool fromJson(const QJsonObject& object, RunRecord& record);

    // "calibrated", "calibrated-with-errors", "incomplete", "aborted" or "not-opened".
    static QString outcomeName(const RunRecord& record);
    // "calibrated", "no-sensor", "failed" or "aborted".
    static QString resultName(RunRecord::Channel::Result result);
    // "window", "command-line" or "tango".
    static QString sourceName(RunRecord::Source source);
};
