#include "historychart.h"

#include <QMap>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

// Qt 5 keeps the charts in a namespace of their own; Qt 6 does not.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
using namespace QtCharts;
#endif

namespace {

QChartView* chartView(QWidget* view)
{
    return static_cast<QChartView*>(view);
}

} // namespace

HistoryChart::HistoryChart(QWidget* parent) : QWidget(parent), view(new QChartView(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    chartView(view)->setRenderHint(QPainter::Antialiasing);
    chartView(view)->setMinimumHeight(200);
    showRuns(QString(), {});
}

void HistoryChart::showRuns(const QString& locator, const QVector<RunRecord>& runs)
{
    auto* chart = new QChart;
    chart->setTitle(locator.isEmpty() ? tr("Select a run to see its controller's channels")
                                      : tr("Calibration seconds of each channel: %1").arg(locator));
    QMap<quint32, QLineSeries*> lines;
    auto* failures = new QScatterSeries;
    failures->setName(tr("failed"));
    failures->setColor(Qt::red);
    failures->setMarkerSize(9);
    for (const RunRecord& run : runs) {
        const qreal when = qreal(run.started.toMSecsSinceEpoch());
        for (const RunRecord::Channel& channel : run.channels) {
            // A channel without a sensor, or one stopped by an abort, says nothing of its sensor's pace.
            if (channel.result == RunRecord::Channel::Result::NoSensor ||
                channel.result == RunRecord::Channel::Result::Aborted)
                continue;
            if (channel.result == RunRecord::Channel::Result::Failed) {
                failures->append(when, channel.seconds);
                continue;
            }
            QLineSeries*& line = lines[channel.channel];
            if (!line) {
                line = new QLineSeries;
                line->setName(tr("channel %1").arg(channel.channel));
                line->setPointsVisible(true);
            }
            line->append(when, channel.seconds);
        }
    }
    for (QLineSeries* line : lines)
        chart->addSeries(line);
    chart->addSeries(failures);

    auto* time = new QDateTimeAxis;
    time->setFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
    time->setTitleText(tr("started"));
    auto* seconds = new QValueAxis;
    seconds->setTitleText(tr("seconds"));
    seconds->setLabelFormat(QStringLiteral("%g"));
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(seconds, Qt::AlignLeft);
    for (QAbstractSeries* series : chart->series()) {
        series->attachAxis(time);
        series->attachAxis(seconds);
    }
    if (!runs.isEmpty()) {
        // A lone run still gets a span of time to stand in.
        const QDateTime first = runs.constFirst().started.toLocalTime();
        const QDateTime last = runs.constLast().started.toLocalTime();
        time->setRange(first.addSecs(-60), last.addSecs(60));
        // The labels tell the runs of one day apart by the time, of many days by the date.
        time->setFormat(first.daysTo(last) < 1 ? QStringLiteral("HH:mm:ss") : QStringLiteral("yyyy-MM-dd"));
        qreal longest = 1;
        for (const RunRecord& run : runs)
            for (const RunRecord::Channel& channel : run.channels)
                longest = qMax(longest, channel.seconds);
        seconds->setRange(0, longest * 1.1);
        seconds->applyNiceNumbers();
    }
    QChart* previous = chartView(view)->chart();
    chartView(view)->setChart(chart);
    delete previous;
}

QStringList HistoryChart::seriesNames() const
{
    QStringList names;
    for (const QAbstractSeries* series : chartView(view)->chart()->series())
        names << QStringLiteral("%1: %2")
                     .arg(series->name())
                     .arg(static_cast<const QXYSeries*>(series)->count());
    return names;
}

#include "moc_historychart.cpp"
