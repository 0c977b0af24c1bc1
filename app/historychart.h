// The chart of the history window: for one controller, each channel's calibration time over the
// runs, one line per channel in a colour, dash and marker of its own (sixteen channels stay told
// apart), with the channels that failed ringed, so that a sensor that grows slower from run to run,
// or fails now and then, shows at a glance. Without a controller, or without a channel to show, it
// says so in a sentence instead.
#pragma once

#include "runrecord.h"

#include <QWidget>

class QLabel;
class QStackedLayout;

class HistoryChart : public QWidget
{
    Q_OBJECT

public:
    explicit HistoryChart(QWidget* parent = nullptr);

    // The runs of one controller, oldest first, of which the newest hundred are drawn; none shows
    // the sentence instead.
    void showRuns(const QString& locator, const QVector<RunRecord>& runs);
    // The lines shown with their point counts ("Ch 0: 3"), then the failures ("failed: 1"), for
    // whoever checks what the chart holds; empty while the sentence shows.
    QStringList seriesNames() const;
    // The sentence shown instead of a chart; empty while the chart shows.
    QString message() const;

private:
    QStackedLayout* pages;
    QWidget* view;
    QLabel* sentence;
};
