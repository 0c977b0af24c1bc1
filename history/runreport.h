// The JSON object that stands for one run in a report and in the calibration history: how it
// ended, each channel, each failed step, and when.
#pragma once

#include "runrecord.h"

#include <QJsonObject>
#include <QString>

class RunReport
{
public:
    static QJsonObject toJson(const QString& locator, const RunRecord& record);
};
