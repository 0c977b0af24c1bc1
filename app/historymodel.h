// The calibration history as a table for the history window: one row per run, newest first.
#pragma once

#include "runrecord.h"

#include <QAbstractTableModel>

class HistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        Date,
        Locator,
        Outcome,
        Errors,
        FailedChannels,
        Duration,
        Source,
        ColumnCount
    };

    // What the columns sort by: times, counts and seconds as numbers, texts as texts.
    static constexpr int SortRole = Qt::UserRole;

    using QAbstractTableModel::QAbstractTableModel;

    // The runs in the order the journal holds them, oldest first.
    void setRuns(const QVector<RunRecord>& journalOrder);
    const RunRecord& run(int row) const { return runs.at(row); }
    // Every run of one controller, oldest first.
    QVector<RunRecord> runsOf(const QString& locator) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QVector<RunRecord> runs; // newest first
};
