// The report of a batch of runs: one JSON object per run, one per line (JSON Lines), appended to
// a file and synced to disk as each run ends, so that a report survives a batch that is cut short
// and never holds a torn line.
#pragma once

#include "durablelinefile.h"
#include "runrecordsink.h"

#include <QString>

class ReportFile : public RunRecordSink
{
public:
    // Opens the file for appending, creating it if needed. False, with the reason, when it cannot
    // be written.
    bool open(const QString& path, QString& error);
    // Appends the runs' objects, whole, with one sync; false, with the system's reason, when that
    // failed (the file is then left as it was before).
    bool appendAll(const QVector<RunRecord>& records, QString& error) override;
    QString path() const override { return filePath; }

private:
    DurableLineFile file;
    QString filePath;
};
