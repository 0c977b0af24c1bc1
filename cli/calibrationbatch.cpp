#include "calibrationbatch.h"

#include <algorithm>
#include <cstdio>

CalibrationBatch::CalibrationBatch(const QStringList& locators, ReportFile* report) : report(report)
{
    for (const QString& locator : locators) {
        const QString prefix = locators.size() > 1 ? QStringLiteral("[%1] ").arg(locator) : QString();
        auto run = std::make_unique<HeadlessRun>(locator, output, prefix);
        HeadlessRun* started = run.get();
        // Output that cannot be written is lost for every run, so every run stops.
        connect(started, &HeadlessRun::outputLost, this, &CalibrationBatch::abort);
        connect(started, &HeadlessRun::finished, this, [this, started](int status, const RunRecord& record) {
            runFinished(started, status, record);
        });
        runs.push_back(std::move(run));
    }
}

void CalibrationBatch::start()
{
    running = static_cast<int>(runs.size());
    for (const auto& run : runs)
        run->start();
}

void CalibrationBatch::abort()
{
    for (const auto& run : runs)
        run->abort();
}

void CalibrationBatch::runFinished(HeadlessRun* run, int status, const RunRecord& record)
{
    if (report && !reportFailed) {
        QString error;
        if (!report->append(run->locator(), record, error)) {
            std::fprintf(stderr, "vkr-calibrate: cannot write the report: %s\n", qPrintable(error));
            reportFailed = true;
            abort();
        }
    }
    worstStatus = std::max(worstStatus, reportFailed ? int(OutputFailed) : status);
    if (--running == 0)
        emit finished(worstStatus);
}
