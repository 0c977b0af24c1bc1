// Calibrates several controllers side by side, each with its own worker and connection: their
// logs go to standard output in whole lines behind "[LOCATOR] " (one controller alone writes its
// log unchanged), an optional report gets one object per run, and the batch's exit status is the
// largest of its runs' statuses.
#pragma once

#include "headlessrun.h"
#include "reportfile.h"
#include "standardoutput.h"

#include <QObject>
#include <QStringList>
#include <memory>
#include <vector>

class CalibrationBatch : public QObject
{
    Q_OBJECT

public:
    // The report, when given, is written as each run ends; it must outlive the batch's runs.
    CalibrationBatch(const QStringList& locators, ReportFile* report = nullptr);

    void start();
    // Asks every run to stop; each stops its calibrating channel and closes its connection.
    void abort();

signals:
    void finished(int status);

private:
    void runFinished(HeadlessRun* run, int status, const RunRecord& record);

    StandardOutput output;
    ReportFile* report;
    std::vector<std::unique_ptr<HeadlessRun>> runs;
    int running = 0;
    int worstStatus = Calibrated;
    bool reportFailed = false;
};
