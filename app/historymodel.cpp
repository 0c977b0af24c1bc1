#include "historymodel.h"

#include <QStringList>
#include <algorithm>

void HistoryModel::setRuns(const QVector<HistoryRun>& journalOrder)
{
    beginResetModel();
    runs = journalOrder;
    // Runs are journalled as they end; a long run that started first may end last.
    std::stable_sort(runs.begin(), runs.end(),
                     [](const HistoryRun& a, const HistoryRun& b) { return a.started > b.started; });
    endResetModel();
}

QVector<HistoryRun> HistoryModel::runsOf(const QString& locator) const
{
    QVector<HistoryRun> found;
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
    const HistoryRun& run = runs.at(index.row());
    if (role == Qt::TextAlignmentRole && (index.column() == Errors || index.column() == Duration))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    switch (index.column()) {
    case Date:
        return run.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case Locator:
        return run.locator;
    case Outcome:
        return run.outcome;
    case Errors:
        return run.errors;
    case FailedChannels: {
        QStringList channels;
        for (quint32 channel : run.failedChannels)
            channels << QString::number(channel);
        return channels.join(QStringLiteral(", "));
    }
    case Duration:
        return run.seconds < 0 ? QString() : tr("%1 s").arg(run.seconds, 0, 'f', 1);
    case Source:
        return run.source;
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
