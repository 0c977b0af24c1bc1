// The chart of the history window: for one controller, each channel's calibration time over the
// runs, one line per channel, with the channels that failed marked, so that a sensor that grows
// slower from run to run, or fails now and then, shows at a glance.
#pragma once

#include "runrecord.h"

#include <QWidget>

class HistoryChart : public QWidget
{
    Q_OBJECT

public:
    explicit HistoryChart(QWidget* parent = nullptr);

    // The runs of one controller, oldest first; none clears the chart.
    void showRuns(const QString& locator, const QVector<RunRecord>& runs);
    // The lines shown, for whoever checks what the chart holds: one per channel, then the failures.
    QStringList seriesNames() const;

private:
    QWidget* view;
};
