// One run of the calibration history told in words for the History window's details pane:
// how it ended, each failed step with its code and reason, why a controller was not opened, the
// channels calibrated and without a sensor, how long it took, and where it came from.
#pragma once

#include "runrecord.h"

#include <QCoreApplication>
#include <QString>

class RunDescription
{
    Q_DECLARE_TR_FUNCTIONS(RunDescription)

public:
    static QString of(const RunRecord& record);
    // "channel 3: calibrate failed, code 17", "reading the channel count failed, code 9".
    static QString failedStep(const RunRecord::Failure& failure);
};
