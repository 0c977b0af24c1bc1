#include "historychart.h"

#include <QLabel>
#include <QMap>
#include <QStackedLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <limits>

// Qt 5 keeps the charts in a namespace of their own; Qt 6 does not.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
using namespace QtCharts;
#endif

namespace {

using Result = RunRecord::Channel::Result;

// Sixteen colours that stay apart on a white chart and for most colour-blind eyes; the second
// eight also get dashed lines and square markers, so even two similar colours differ.
const char* const Palette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                               "#e377c2", "#17becf", "#393b79", "#bcbd22", "#7f7f7f", "#e7ba52",
                               "#637939", "#843c39", "#5254a3", "#00a087"};
constexpr int PaletteSize = int(sizeof Palette / sizeof Palette[0]);

QChartView* chartView(QWidget* view)
{
    return static_cast<QChartView*>(view);
}

struct Range
{
    qreal low = std::numeric_limits<qreal>::max();
    qreal high = std::numeric_limits<qreal>::lowest();
    void add(qreal value)
    {
        low = qMin(low, value);
        high = qMax(high, value);
    }
};

struct ChannelSeries
{
    QLineSeries* line = nullptr;
    QScatterSeries* markers = nullptr;
    QVector<QPointF> points; // handed over at once: a point appended alone redraws the chart
};

// The runs a chart shows at most, the newest: more would crowd the time axis beyond reading and
// cost a long journal seconds on the GUI thread.
constexpr int ChartedRuns = 100;

ChannelSeries newChannelSeries(quint32 channel)
{
    const QColor colour = QColor(QLatin1String(Palette[channel % PaletteSize]));
    const bool secondEight = (channel / (PaletteSize / 2)) % 2 == 1;
    ChannelSeries series{new QLineSeries, new QScatterSeries, {}};
    series.line->setName(HistoryChart::tr("Ch %1").arg(channel));
    QPen pen(colour, 2);
    pen.setStyle(secondEight ? Qt::DashLine : Qt::SolidLine);
    series.line->setPen(pen);
    series.markers->setName(series.line->name());
    series.markers->setColor(colour);
    series.markers->setBorderColor(colour);
    series.markers->setMarkerShape(secondEight ? QScatterSeries::MarkerShapeRectangle
                                               : QScatterSeries::MarkerShapeCircle);
    series.markers->setMarkerSize(8);
    return series;
}

// The time axis labels runs of one day by the time, of a few weeks by day and time, else by date.
QString timeFormat(qint64 spanMilliseconds)
{
    constexpr qint64 Day = 24 * 3600 * 1000LL;
    if (spanMilliseconds < Day)
        return QStringLiteral("HH:mm");
    if (spanMilliseconds < 3 * Day)
        return QStringLiteral("MM-dd HH:mm");
    if (spanMilliseconds < 300 * Day)
        return QStringLiteral("MMM d");
    return QStringLiteral("yyyy-MM-dd");
}

void fitAxes(QChart* chart, const Range& when, const Range& seconds)
{
    // A lone run still gets a span of time to stand in; points never sit on an axis's edge.
    const qreal timeMargin = qMax((when.high - when.low) * 0.05, 10 * 60000.0);
    const qreal valueSpan = seconds.high - seconds.low;
    const qreal valueMargin = qMax(valueSpan * 0.1, qMax(0.5, seconds.high * 0.05));
    auto* time = new QDateTimeAxis;
    time->setTitleText(HistoryChart::tr("started (local time)"));
    time->setFormat(timeFormat(qint64(when.high - when.low + 2 * timeMargin)));
    time->setTickCount(5);
    time->setRange(QDateTime::fromMSecsSinceEpoch(qint64(when.low - timeMargin)),
                   QDateTime::fromMSecsSinceEpoch(qint64(when.high + timeMargin)));
    auto* value = new QValueAxis;
    value->setTitleText(HistoryChart::tr("seconds to calibrate"));
    value->setLabelFormat(QStringLiteral("%.1f"));
    value->setTickCount(6);
    value->setRange(qMax(0.0, seconds.low - valueMargin), seconds.high + valueMargin);
    chart->addAxis(time, Qt::AlignBottom);
    chart->addAxis(value, Qt::AlignLeft);
    for (QAbstractSeries* series : chart->series()) {
        series->attachAxis(time);
        series->attachAxis(value);
    }
}

} // namespace

HistoryChart::HistoryChart(QWidget* parent)
    : QWidget(parent), pages(new QStackedLayout(this)), view(new QChartView(this)), sentence(new QLabel(this))
{
    chartView(view)->setRenderHint(QPainter::Antialiasing);
    chartView(view)->setMinimumSize(420, 260);
    sentence->setObjectName(QStringLiteral("historyChartMessage"));
    sentence->setAlignment(Qt::AlignCenter);
    sentence->setWordWrap(true);
    sentence->setMargin(24);
    pages->addWidget(view);
    pages->addWidget(sentence);
    showRuns(QString(), {});
}

void HistoryChart::showRuns(const QString& locator, const QVector<RunRecord>& runs)
{
    auto* chart = new QChart;
    chart->setTitle(tr("Seconds each channel took to calibrate: %1").arg(locator));
    // Beside the plot, one entry under the other: sixteen names fit whole at the default size.
    chart->legend()->setAlignment(Qt::AlignRight);
    QFont legendFont = chart->legend()->font();
    legendFont.setPointSizeF(legendFont.pointSizeF() * 0.9);
    chart->legend()->setFont(legendFont);
    chart->setMargins(QMargins(4, 4, 4, 4));
    QMap<quint32, ChannelSeries> channels;
    auto* failures = new QScatterSeries;
    failures->setName(tr("failed"));
    failures->setColor(Qt::transparent);
    failures->setBorderColor(Qt::red);
    failures->setPen(QPen(Qt::red, 2));
    failures->setMarkerSize(16);
    Range when;
    Range seconds;
    for (auto run = runs.size() > ChartedRuns ? runs.end() - ChartedRuns : runs.begin(); run != runs.end();
         ++run) {
        const qreal started = qreal(run->started.toMSecsSinceEpoch());
        for (const RunRecord::Channel& channel : run->channels) {
            // A channel without a sensor, or one stopped by an abort, says nothing of its sensor's pace.
            if (channel.result == Result::NoSensor || channel.result == Result::Aborted)
                continue;
            when.add(started);
            seconds.add(channel.seconds);
            if (channel.result == Result::Failed) {
                failures->append(started, channel.seconds);
                continue;
            }
            ChannelSeries& series = channels[channel.channel];
            if (!series.line)
                series = newChannelSeries(channel.channel);
            series.points.append(QPointF(started, channel.seconds));
        }
    }
    if (when.low > when.high) {
        delete failures;
        sentence->setText(
            locator.isEmpty()
                ? tr("Select a run in the table to see how its controller's channels calibrated "
                     "over time.")
                : tr("No run of %1 calibrated a channel, so there is nothing to chart.").arg(locator));
        pages->setCurrentWidget(sentence);
        delete chart;
        return;
    }
    for (const ChannelSeries& series : channels) {
        series.line->replace(series.points);
        series.markers->replace(series.points);
        chart->addSeries(series.line);
        chart->addSeries(series.markers);
    }
    if (failures->count() > 0)
        chart->addSeries(failures);
    else
        delete failures;
    // One legend entry per channel, its line's; the markers share it.
    for (const ChannelSeries& series : channels)
        for (QLegendMarker* marker : chart->legend()->markers(series.markers))
            marker->setVisible(false);
    fitAxes(chart, when, seconds);
    QChart* previous = chartView(view)->chart();
    chartView(view)->setChart(chart);
    delete previous;
    sentence->clear();
    pages->setCurrentWidget(view);
}

QStringList HistoryChart::seriesNames() const
{
    QStringList names;
    if (pages->currentWidget() != view)
        return names;
    for (const QAbstractSeries* series : chartView(view)->chart()->series()) {
        if (series->type() == QAbstractSeries::SeriesTypeScatter && series->name() != tr("failed"))
            continue; // a channel's markers, counted with its line
        names << QStringLiteral("%1: %2")
                     .arg(series->name())
                     .arg(static_cast<const QXYSeries*>(series)->count());
    }
    return names;
}

QString HistoryChart::message() const
{
    return pages->currentWidget() == sentence ? sentence->text() : QString();
}

#include "moc_historychart.cpp"
