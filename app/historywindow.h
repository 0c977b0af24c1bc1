// The window of the calibration history, a technician's view of every run: the journal's runs,
// newest first, filtered by a locator text and sortable by any column; the selected run told in
// words; and the chart of the selected controller's channels over its runs. Its own top-level
// window, opened from the main window (Ctrl+H) or alone (vkr-calibrator --history).
#pragma once

#include <QWidget>

class HistoryChart;
class HistoryLoader;
class HistoryModel;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSortFilterProxyModel;
class QTableView;

class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    // A window of its own that belongs to parent (closed with it), or stands alone without one.
    HistoryWindow(const QString& journalPath, QWidget* parent);

    // Reads the journal again, off this thread; loaded() when the table holds it.
    void reload();
    void setFilter(const QString& locatorText);
    // Why the journal cannot be written, shown at the top until it can again (empty).
    void setJournalWarning(const QString& warning);

    HistoryModel* model() const { return runs; }

    // The widest a locator column grows, in average characters; longer locators are elided in the
    // middle, whole in their tooltip.
    static constexpr int LocatorColumnCharacters = 36;

signals:
    void loaded();

private:
    void setUpTable();
    void setUpShortcuts();
    void fitColumns();
    // Widens the window, within its screen, until every column shows.
    void showEveryColumn();
    void showPlaceholderIfEmpty();
    void showSelectedRun();

    HistoryLoader* loader;
    HistoryModel* runs;
    QSortFilterProxyModel* filtered;
    QLineEdit* filter;
    QLabel* journalWarning;
    QTableView* table;
    QLabel* placeholder;
    QPlainTextEdit* details;
    HistoryChart* chart;
    QLabel* problems;
    bool everLoaded = false;
    // While the window itself selects the first row, whose run it then shows once.
    bool selectingFirstRow = false;
};
