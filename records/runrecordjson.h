// The JSON object that stands for one run in a report and in the calibration history, and back:
// the only place that spells a record's field names and its outcome, result, step and source
// words. Adding a field to the record touches the record, this codec and its test.
#pragma once

#include "runrecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

class RunRecordJson
{
public:
    // The longest line toLine() makes, line feed included.
    static constexpr int LineLimit = 64 * 1024;
    // What a text field is cut to when a line would be longer than LineLimit, before ShortenedMark.
    static constexpr int ShortenedFieldLength = 1024;
    static constexpr const char* ShortenedMark = "... (shortened)";

    static QJsonObject toJson(const RunRecord& record);
    // The object as one line of JSON Lines, compact, with its line feed, at most LineLimit bytes:
    // a record that would be longer (a locator or a reason of megabytes) has its long text fields
    // cut, each ending in ShortenedMark, and then as many of its last channels and failures left
    // out as it takes; "shortened": true says that anything was cut.
    static QByteArray toLine(const RunRecord& record);
    // The records' lines, one after another, in their order.
    static QByteArray toLines(const QVector<RunRecord>& records);
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
