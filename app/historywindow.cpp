#include "historywindow.h"

#include "historychart.h"
#include "historyloader.h"
#include "historymodel.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

HistoryWindow::HistoryWindow(const QString& journalPath, QWidget* parent)
    : QWidget(parent, Qt::Window), loader(new HistoryLoader(journalPath, this)), runs(new HistoryModel(this)),
      filtered(new QSortFilterProxyModel(this)), filter(new QLineEdit(this)), table(new QTableView(this)),
      chart(new HistoryChart(this)), problems(new QLabel(this))
{
    setObjectName(QStringLiteral("historyWindow"));
    setWindowTitle(tr("Calibration history \u2014 VKR Calibrator"));
    resize(900, 600);

    filter->setObjectName(QStringLiteral("historyFilter"));
    filter->setPlaceholderText(tr("Filter by locator"));
    filter->setClearButtonEnabled(true);
    filtered->setSourceModel(runs);
    filtered->setFilterKeyColumn(HistoryModel::Locator);
    filtered->setFilterCaseSensitivity(Qt::CaseInsensitive);
    connect(filter, &QLineEdit::textChanged, filtered, &QSortFilterProxyModel::setFilterFixedString);

    table->setObjectName(QStringLiteral("historyTable"));
    table->setModel(filtered);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStretchLastSection(true);
    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HistoryWindow::showSelectedController);

    problems->setObjectName(QStringLiteral("historyProblems"));
    problems->setWordWrap(true);
    problems->setTextInteractionFlags(Qt::TextSelectableByMouse);
    problems->hide();

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(table);
    split->addWidget(chart);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(filter);
    layout->addWidget(split, 1);
    layout->addWidget(problems);

    connect(loader, &HistoryLoader::loaded, this,
            [this](const QVector<RunRecord>& read, const QStringList& warnings, const QString& error) {
                runs->setRuns(read);
                table->resizeColumnsToContents();
                QStringList said;
                if (!error.isEmpty())
                    said << error;
                if (!warnings.isEmpty())
                    said << tr("%n line(s) of the journal are no run's record and were skipped.", nullptr,
                               warnings.size());
                problems->setText(said.join(QLatin1Char('\n')));
                problems->setToolTip(warnings.join(QLatin1Char('\n')));
                problems->setVisible(!said.isEmpty());
                if (filtered->rowCount() > 0)
                    table->selectRow(0);
                showSelectedController();
                emit loaded();
            });
}

void HistoryWindow::reload()
{
    loader->load();
}

void HistoryWindow::setFilter(const QString& locatorText)
{
    filter->setText(locatorText);
}

void HistoryWindow::showSelectedController()
{
    const QModelIndex current = filtered->mapToSource(table->currentIndex());
    if (!current.isValid()) {
        chart->showRuns(QString(), {});
        return;
    }
    const QString locator = runs->run(current.row()).locator;
    chart->showRuns(locator, runs->runsOf(locator));
}

#include "moc_historywindow.cpp"
