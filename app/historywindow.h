// The window of the calibration history: every run in the journal, newest first, filtered by a
// locator text, and the chart of the selected controller's channels over its runs.
#pragma once

#include <QWidget>

class HistoryChart;
class HistoryLoader;
class HistoryModel;
class QLabel;
class QLineEdit;
class QSortFilterProxyModel;
class QTableView;

class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    // A window of its own that belongs to parent (closed with it).
    HistoryWindow(const QString& journalPath, QWidget* parent);

    // Reads the journal again, off this thread; loaded() when the table holds it.
    void reload();
    void setFilter(const QString& locatorText);

    HistoryModel* model() const { return runs; }

signals:
    void loaded();

private:
    void showSelectedController();

    HistoryLoader* loader;
    HistoryModel* runs;
    QSortFilterProxyModel* filtered;
    QLineEdit* filter;
    QTableView* table;
    HistoryChart* chart;
    QLabel* problems;
};
