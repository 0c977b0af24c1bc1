#include "historywindow.h"

#include "historychart.h"
#include "historyloader.h"
#include "historymodel.h"
#include "rundescription.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

namespace {

// The rows a column's width is measured over: enough for a screenful and more, few enough that a
// journal of many thousand runs loads without a pause.
constexpr int MeasuredRows = 500;

} // namespace

HistoryWindow::HistoryWindow(const QString& journalPath, QWidget* parent)
    : QWidget(parent, Qt::Window), loader(new HistoryLoader(journalPath, this)), runs(new HistoryModel(this)),
      filtered(new QSortFilterProxyModel(this)), filter(new QLineEdit(this)),
      journalWarning(new QLabel(this)), table(new QTableView(this)),
      placeholder(new QLabel(table->viewport())), details(new QPlainTextEdit(this)),
      chart(new HistoryChart(this)), problems(new QLabel(this))
{
    setObjectName(QStringLiteral("historyWindow"));
    setWindowTitle(tr("Calibration History \u2014 VKR Calibrator"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/vkr-calibrator.png")));
    resize(900, 780);

    filter->setObjectName(QStringLiteral("historyFilter"));
    filter->setPlaceholderText(tr("Filter by locator"));
    filter->setClearButtonEnabled(true);
    connect(filter, &QLineEdit::textChanged, this, [this](const QString& text) {
        filtered->setFilterFixedString(text);
        fitColumns();
        showPlaceholderIfEmpty();
        // The run told and charted is one the table shows.
        selectingFirstRow = true;
        if (!table->currentIndex().isValid() && filtered->rowCount() > 0)
            table->selectRow(0);
        selectingFirstRow = false;
        showSelectedRun();
    });

    journalWarning->setObjectName(QStringLiteral("historyJournalWarning"));
    journalWarning->setWordWrap(true);
    journalWarning->setTextInteractionFlags(Qt::TextSelectableByMouse);
    journalWarning->setStyleSheet(
        QStringLiteral("QLabel { background: #fff3cd; color: #5c4400; padding: 4px; }"));
    journalWarning->hide();

    setUpTable();

    details->setObjectName(QStringLiteral("historyDetails"));
    details->setReadOnly(true);
    details->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    details->setPlaceholderText(tr("Select a run to see what it did."));

    problems->setObjectName(QStringLiteral("historyProblems"));
    problems->setWordWrap(true);
    problems->setTextInteractionFlags(Qt::TextSelectableByMouse);
    problems->hide();

    auto* lower = new QSplitter(Qt::Horizontal, this);
    lower->addWidget(details);
    lower->addWidget(chart);
    lower->setStretchFactor(0, 2);
    lower->setStretchFactor(1, 3);
    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(table);
    split->addWidget(lower);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(journalWarning);
    layout->addWidget(filter);
    layout->addWidget(split, 1);
    layout->addWidget(problems);
    setUpShortcuts();

    connect(loader, &HistoryLoader::loaded, this,
            [this](const QVector<RunRecord>& read, const QStringList& warnings, const QString& error) {
                runs->setRuns(read);
                fitColumns();
                if (!everLoaded)
                    showEveryColumn();
                everLoaded = true;
                showPlaceholderIfEmpty();
                QStringList said;
                if (!error.isEmpty())
                    said << error;
                if (!warnings.isEmpty())
                    said << tr("%n line(s) of the journal are no run's record and were skipped.", nullptr,
                               warnings.size());
                problems->setText(said.join(QLatin1Char('\n')));
                problems->setToolTip(warnings.join(QLatin1Char('\n')));
                problems->setVisible(!said.isEmpty());
                selectingFirstRow = true; // told and charted once, below
                if (filtered->rowCount() > 0)
                    table->selectRow(0);
                selectingFirstRow = false;
                showSelectedRun();
                emit loaded();
            });
}

void HistoryWindow::setUpTable()
{
    filtered->setSourceModel(runs);
    filtered->setFilterKeyColumn(HistoryModel::Locator);
    filtered->setFilterCaseSensitivity(Qt::CaseInsensitive);
    filtered->setSortRole(HistoryModel::SortRole);
    table->setObjectName(QStringLiteral("historyTable"));
    table->setModel(filtered);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setTextElideMode(Qt::ElideMiddle);
    table->setWordWrap(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    table->setSortingEnabled(true);
    table->sortByColumn(HistoryModel::Date, Qt::DescendingOrder);
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        if (!selectingFirstRow)
            showSelectedRun();
    });

    placeholder->setObjectName(QStringLiteral("historyPlaceholder"));
    placeholder->setAlignment(Qt::AlignCenter);
    placeholder->setWordWrap(true);
    placeholder->setEnabled(false); // drawn in the style's muted colour
    placeholder->hide();
    // Laid out on the viewport, so it stays centred as the table is resized.
    (new QVBoxLayout(table->viewport()))->addWidget(placeholder);
}

void HistoryWindow::setUpShortcuts()
{
    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);
}

void HistoryWindow::reload()
{
    loader->load();
}

void HistoryWindow::setFilter(const QString& locatorText)
{
    filter->setText(locatorText);
}

void HistoryWindow::setJournalWarning(const QString& warning)
{
    journalWarning->setText(warning);
    journalWarning->setVisible(!warning.isEmpty());
}

// Every column as wide as its header and the widest of its first rows, so nothing is cut; only a
// long locator is held to a width and elided in the middle, where two locators of one kind differ.
void HistoryWindow::fitColumns()
{
    QHeaderView* header = table->horizontalHeader();
    const QFontMetrics cells(table->font());
    const QFontMetrics headings(header->font());
    const int padding = 2 * table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 12;
    // Room for the sort arrow beside a heading.
    const int arrow = table->style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header) + 12;
    const int rows = qMin(filtered->rowCount(), MeasuredRows);
    for (int column = 0; column < HistoryModel::ColumnCount; ++column) {
        int width =
            headings.horizontalAdvance(filtered->headerData(column, Qt::Horizontal).toString()) + arrow;
        for (int row = 0; row < rows; ++row)
            width = qMax(width,
                         cells.horizontalAdvance(filtered->index(row, column).data().toString()) + padding);
        if (column == HistoryModel::Locator)
            width = qMin(width, cells.averageCharWidth() * LocatorColumnCharacters + padding);
        header->resizeSection(column, width);
    }
}

void HistoryWindow::showEveryColumn()
{
    QHeaderView* header = table->horizontalHeader();
    int needed = 2 * table->frameWidth() + table->verticalScrollBar()->sizeHint().width();
    for (int column = 0; column < HistoryModel::ColumnCount; ++column)
        needed += header->sectionSize(column);
    const QMargins margins = layout()->contentsMargins();
    needed += margins.left() + margins.right();
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen)
        needed = qMin(needed, screen->availableGeometry().width());
    if (width() < needed)
        resize(needed, height());
}

void HistoryWindow::showPlaceholderIfEmpty()
{
    const bool empty = filtered->rowCount() == 0;
    if (empty) {
        placeholder->setText(
            runs->rowCount() == 0
                ? tr("No calibration has been recorded yet.")
                : tr("No calibration of a controller matching \u201c%1\u201d.").arg(filter->text()));
    }
    placeholder->setVisible(empty);
}

void HistoryWindow::showSelectedRun()
{
    const QModelIndex current = filtered->mapToSource(table->currentIndex());
    if (!current.isValid()) {
        details->clear();
        chart->showRuns(QString(), {});
        return;
    }
    const RunRecord& run = runs->run(current.row());
    details->setPlainText(RunDescription::of(run));
    chart->showRuns(run.locator, runs->runsOf(run.locator));
}

#include "moc_historywindow.cpp"
