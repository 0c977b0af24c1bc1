// The report of a batch of runs: one JSON object per run, one per line (JSON Lines), appended to
// a file and flushed as each run ends, so that a report survives a batch that is cut short.
#pragma once

#include "runrecord.h"

#include <QFile>
#include <QJsonObject>
#include <QString>

class ReportFile
{
public:
    // Opens the file for appending, creating it if needed. False, with the reason, when it cannot
    // be written.
    bool open(const QString& path, QString& error);
    // Appends one run's object and flushes it; false, with the reason, when that failed.
    bool append(const QString& locator, const RunRecord& record, QString& error);

    // The object that stands for one run.
    static QJsonObject toJson(const QString& locator, const RunRecord& record);

private:
    QFile file;
};
