#include "historytable.h"

#include "argumenttext.h"
#include "runrecordjson.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

namespace {

// The channels that failed, with their codes: "2 (code 8), 5 (code 10)"; a channel without a sensor
// is none. A controller that could not be opened shows the open's code.
QString failedChannels(const RunRecord& record)
{
    QStringList failed;
    for (const RunRecord::Channel& channel : record.channels) {
        if (channel.result == RunRecord::Channel::Result::Failed)
            failed << QStringLiteral("%1 (code %2)").arg(channel.channel).arg(channel.code);
    }
    if (failed.isEmpty() && record.outcome == RunRecord::Outcome::NotOpened)
        return QStringLiteral("open (code %1)").arg(record.openResult);
    return failed.isEmpty() ? QStringLiteral("-") : failed.join(QStringLiteral(", "));
}

// "0.4 s", "12.0 s", "3 min 05 s", "2 h 01 min".
QString duration(const RunRecord& record)
{
    if (!record.finished.isValid())
        return QStringLiteral("-");
    const qint64 ms = std::max<qint64>(0, record.started.msecsTo(record.finished));
    if (ms < 60000)
        return QStringLiteral("%1 s").arg(ms / 1000.0, 0, 'f', 1);
    const qint64 seconds = ms / 1000;
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString HistoryTable::format(const QVector<HistoryReader::Entry>& entries)
{
    QVector<QStringList> rows{{QStringLiteral("Date"), QStringLiteral("Locator"), QStringLiteral("Outcome"),
                               QStringLiteral("Errors"), QStringLiteral("Failed channels"),
                               QStringLiteral("Duration")}};
    for (const HistoryReader::Entry& entry : entries) {
        const RunRecord& record = entry.record;
        rows.append({record.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                     ArgumentText::shown(record.locator), RunRecordJson::outcomeName(record),
                     QString::number(record.errors), ArgumentText::shown(failedChannels(record)),
                     duration(record)});
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList& row : rows)
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row.at(column).size()));
    // The errors column holds numbers, which read best aligned on the right.
    constexpr int ErrorsColumn = 3;
    QString text;
    for (const QStringList& row : rows) {
        QStringList cells;
        for (int column = 0; column < row.size(); ++column) {
            const bool last = column == row.size() - 1;
            cells << (column == ErrorsColumn ? row.at(column).rightJustified(widths[column])
                      : last                 ? row.at(column)
                                             : row.at(column).leftJustified(widths[column]));
        }
        text += cells.join(QStringLiteral("  ")) + QLatin1Char('\n');
    }
    return text;
}
