#include "historymodel.h"

#include "runrecordjson.h"

#include <QStringList>
#include <algorithm>

void HistoryModel::setRuns(const QVector<RunRecord>& journalOrder)
{
    beginResetModel();
    runs = journalOrder;
    // Runs are journalled as they end; a long run that started first may end last.
    std::stable_sort(runs.begin(), runs.end(),
                     [](const RunRecord& a, const RunRecord& b) { return a.started > b.started; });
    endResetModel();
}

QVector<RunRecord> HistoryModel::runsOf(const QString& locator) const
{
    QVector<RunRecord> found;
    for (auto run = runs.crbegin(); run != runs.crend(); ++run) {
        if (run->locator == locator)
            found << *run;
    }
    return found;
}

int HistoryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : runs.size();
}

int HistoryModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= runs.size())
        return QVariant();
    const RunRecord& run = runs.at(index.row());
    if (role == Qt::TextAlignmentRole && (index.column() == Errors || index.column() == Duration))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == SortRole) {
        if (index.column() == Date)
            return run.started;
        if (index.column() == Errors)
            return run.errors;
        if (index.column() == Duration)
            return run.finished.isValid() ? run.started.msecsTo(run.finished) : -1;
        role = Qt::DisplayRole;
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    switch (index.column()) {
    case Date:
        return run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case Locator:
        return run.locator;
    case Outcome:
        return RunRecordJson::outcomeName(run);
    case Errors:
        return run.errors;
    case FailedChannels: {
        QStringList channels;
        for (const RunRecord::Channel& channel : run.channels) {
            if (channel.result == RunRecord::Channel::Result::Failed)
                channels << QString::number(channel.channel);
        }
        return channels.join(QStringLiteral(", "));
    }
    case Duration:
        if (!run.finished.isValid())
            return QString();
        return tr("%1 s").arg(run.started.msecsTo(run.finished) / 1000.0, 0, 'f', 1);
    case Source:
        return RunRecordJson::sourceName(run.source);
    default:
        return QVariant();
    }
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Date:
        return tr("Date");
    case Locator:
        return tr("Locator");
    case Outcome:
        return tr("Outcome");
    case Errors:
        return tr("Errors");
    case FailedChannels:
        return tr("Failed channels");
    case Duration:
        return tr("Duration");
    case Source:
        return tr("Source");
    default:
        return QVariant();
    }
}

#include "moc_historymodel.cpp"
