// The history window, offscreen: the journal's runs read off the GUI thread, newest first, filtered
// by locator, and the chart of the selected controller; opened from the main window and renewed
// when a run ends.
#include "fakecontrollerlibrary.h"
#include "historychart.h"
#include "historymodel.h"
#include "historywindow.h"
#include "runrecordjson.h"
#include "vkrcalibrator.h"

#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QToolButton>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtTest>
#include <algorithm>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
using namespace QtCharts;
#endif

namespace {

// A run's line as the journal holds it, started on a day of January at 10:00 UTC; the channel
// numbered failed fails with code 17.
QByteArray runLine(const QString& locator, int day, const QVector<double>& seconds, int failed = -1)
{
    using Result = RunRecord::Channel::Result;
    RunRecord run;
    run.locator = locator;
    run.outcome = RunRecord::Outcome::Finished;
    run.started = QDateTime(QDate(2026, 1, day), QTime(10, 0), Qt::UTC);
    run.finished = run.started.addSecs(42);
    for (int channel = 0; channel < seconds.size(); ++channel) {
        run.errors += channel == failed;
        run.channels.append({quint32(channel), channel == failed ? Result::Failed : Result::Calibrated,
                             channel == failed ? 17u : 0u, seconds[channel]});
    }
    return RunRecordJson::toLine(run);
}

// Whether the filter's clear button has ended its fade. Qt fades it in and out with an animation
// that has no parent and deletes itself only on a tick after its end; a window destroyed sooner
// leaves it behind.
bool clearButtonSettled(const HistoryWindow* window)
{
    const auto* filter = window->findChild<QLineEdit*>("historyFilter");
    const qreal shown = filter->text().isEmpty() ? 0 : 1;
    const QList<QToolButton*> buttons = filter->findChildren<QToolButton*>();
    return !buttons.isEmpty() && std::all_of(buttons.begin(), buttons.end(), [shown](QToolButton* button) {
        return button->property("opacity").toReal() == shown;
    });
}

} // namespace

class HistoryWindowTest : public QObject
{
    Q_OBJECT

private slots:
    // A journal as it is found: the runs shown newest first, the lines that are no run skipped
    // and said.
    void showsTheJournalsRuns_data()
    {
        QTest::addColumn<QByteArray>("previous"); // the rotated generation; null: none
        QTest::addColumn<QByteArray>("journal");  // null: none
        QTest::addColumn<QStringList>("shown");   // each row's date and locator columns
        QTest::addColumn<int>("skipped");
        const QByteArray a = runLine("sim:a", 1, {10, 12});
        const QByteArray b = runLine("sim:b", 2, {11, 4}, 1);
        const QByteArray c = runLine("sim:c", 3, {14, 13});
        QTest::newRow("no journal yet") << QByteArray() << QByteArray() << QStringList() << 0;
        QTest::newRow("empty") << QByteArray() << QByteArray("") << QStringList() << 0;
        QTest::newRow("one generation") << QByteArray() << a + b << QStringList{"sim:b", "sim:a"} << 0;
        QTest::newRow("rotated") << a + b << c << QStringList{"sim:c", "sim:b", "sim:a"} << 0;
        QTest::newRow("bad lines") << QByteArray() << a + "{\"torn\n" + "not json\n" + b + c.left(20)
                                   << QStringList{"sim:b", "sim:a"} << 3;
    }
    void showsTheJournalsRuns()
    {
        QFETCH(QByteArray, previous);
        QFETCH(QByteArray, journal);
        QFETCH(QStringList, shown);
        QFETCH(int, skipped);
        QTemporaryDir folder;
        const QString path = folder.filePath("history.jsonl");
        const auto write = [](const QString& name, const QByteArray& content) {
            QFile file(name);
            return content.isNull() ||
                   (file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        };
        QVERIFY(write(path + ".1", previous) && write(path, journal));

        HistoryWindow window(path, nullptr);
        QSignalSpy loaded(&window, &HistoryWindow::loaded);
        window.reload();
        QVERIFY(loaded.wait(10000));
        HistoryModel* model = window.model();
        QStringList locators;
        for (int row = 0; row < model->rowCount(); ++row)
            locators << model->index(row, HistoryModel::Locator).data().toString();
        QCOMPARE(locators, shown);
        auto* problems = window.findChild<QLabel*>("historyProblems");
        QCOMPARE(problems->isVisibleTo(&window), skipped > 0);
        QCOMPARE(problems->toolTip().count('\n') + (skipped > 0), skipped);
    }

    // The table filtered by locator; the chart holds every run of the selected controller, each
    // channel a line and the failures marked.
    void filtersAndChartsTheSelectedController()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("history.jsonl");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(runLine("sim:a", 1, {10, 12}) + runLine("sim:b", 2, {11}) +
                   runLine("sim:a", 3, {14, 3}, 1));
        file.close();
        HistoryWindow window(path, nullptr);
        QSignalSpy loaded(&window, &HistoryWindow::loaded);
        window.reload();
        QVERIFY(loaded.wait(10000));
        const HistoryModel* model = window.model();
        QCOMPARE(model->index(0, HistoryModel::FailedChannels).data().toString(), QStringLiteral("1"));
        QCOMPARE(model->index(0, HistoryModel::Duration).data().toString(), QStringLiteral("42.0 s"));

        auto* table = window.findChild<QTableView*>("historyTable");
        window.setFilter("SIM:B");
        QCOMPARE(table->model()->rowCount(), 1);
        window.setFilter("sim:a");
        QCOMPARE(table->model()->rowCount(), 2);
        table->selectRow(1);
        QCOMPARE(window.findChild<HistoryChart*>()->seriesNames(),
                 QStringList({"Ch 0: 2", "Ch 1: 1", "failed: 1"}));
        QTRY_VERIFY_WITH_TIMEOUT(clearButtonSettled(&window), 5000);
    }

    // Journals as a technician meets them: every column shows its whole heading and contents (a long
    // locator elided in the middle, whole in its tooltip), the selected run is told in words with
    // its codes and reasons, and the chart has one line per channel, or a sentence.
    void aTechniciansView_data()
    {
        using Step = RunRecord::Failure::Step;
        QTest::addColumn<QByteArray>("journal");
        QTest::addColumn<QStringList>("details"); // lines the newest run's details hold
        QTest::addColumn<int>("lines");           // the chart's channel lines; -1: a sentence instead
        QTest::addColumn<QString>("placeholder"); // empty: rows shown
        const QString longLocator = QStringLiteral("usb:sn:") + QString(59, QLatin1Char('7'));
        RunRecord notOpened;
        notOpened.locator = QStringLiteral("serial:/dev/ttyUSB0");
        notOpened.started = QDateTime(QDate(2026, 1, 4), QTime(9, 0), Qt::UTC);
        notOpened.openResult = 15;
        notOpened.openFailureReason = QStringLiteral("serial port /dev/ttyUSB0: no controller answered");
        notOpened.failures.append({Step::Open, std::nullopt, 15});
        RunRecord failed;
        failed.locator = QStringLiteral("sim:failing");
        failed.outcome = RunRecord::Outcome::Finished;
        failed.started = QDateTime(QDate(2026, 1, 5), QTime(9, 0), Qt::UTC);
        failed.finished = failed.started.addSecs(30);
        failed.errors = 2;
        failed.channels = {{0, RunRecord::Channel::Result::Calibrated, 0, 12},
                           {1, RunRecord::Channel::Result::NoSensor, 129, 0},
                           {2, RunRecord::Channel::Result::Failed, 10, 3},
                           {3, RunRecord::Channel::Result::Failed, 17, 1}};
        failed.failures = {{Step::GetStatus, 2u, 10}, {Step::CalibrateSensor, 3u, 17}};
        QTest::newRow("empty") << QByteArray() << QStringList() << -1
                               << "No calibration has been recorded yet.";
        QTest::newRow("12 channels")
            << runLine("sim:twelve", 1, QVector<double>(12, 20.5)) +
                   runLine("sim:twelve", 2, QVector<double>(12, 21.5))
            << QStringList{"Errors: 0", "Calibrated channels: 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 and 11"} << 12
            << QString();
        QByteArray sixteen;
        for (int day = 1; day <= 6; ++day) {
            QVector<double> seconds;
            for (int channel = 0; channel < 16; ++channel)
                seconds << 18 + channel * 0.8 + day * 0.3 + (channel % 3) * 0.5;
            sixteen += runLine("sim:sixteen", day, seconds, day == 6 ? 9 : -1);
        }
        QTest::newRow("16 channels")
            << sixteen
            << QStringList{"Outcome: calibrated-with-errors \u2014 1 error: channel 9 failed (code 17)",
                           "Errors: 1"}
            << 16 << QString();
        QTest::newRow("a 66-character locator")
            << runLine(longLocator, 3, {9}) << QStringList{"Locator: " + longLocator} << 1 << QString();
        QTest::newRow("not opened")
            << RunRecordJson::toLine(notOpened) + RunRecordJson::toLine(notOpened)
            << QStringList{"Not opened, code 15: serial port /dev/ttyUSB0: no controller "
                           "answered",
                           "  opening the controller failed, code 15"}
            << -1 << QString();
        QTest::newRow("failures") << RunRecordJson::toLine(failed)
                                  << QStringList{"  channel 2: status read failed, code 10",
                                                 "  channel 3: calibrate failed, code 17",
                                                 "Channels without a sensor: 1", "Duration: 30.0 s",
                                                 "Errors: 2"}
                                  << 1 << QString();
    }
    void aTechniciansView()
    {
        QFETCH(QByteArray, journal);
        QFETCH(QStringList, details);
        QFETCH(int, lines);
        QFETCH(QString, placeholder);
        QTemporaryDir folder;
        const QString path = folder.filePath("history.jsonl");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(journal) == journal.size());
        file.close();
        HistoryWindow window(path, nullptr);
        QSignalSpy loaded(&window, &HistoryWindow::loaded);
        // Opened during the first run of a new controller: nothing matches until the filter goes.
        window.setFilter(QStringLiteral("sim:new"));
        window.reload();
        QVERIFY(loaded.wait(10000));
        window.setFilter(QString());
        window.show();
        auto* table = window.findChild<QTableView*>("historyTable");
        QHeaderView* header = table->horizontalHeader();
        // Every column as wide as its heading and cells, and all of them inside the window.
        const QFontMetrics metrics(table->font());
        for (int column = 0; column < HistoryModel::ColumnCount; ++column) {
            const QString heading = table->model()->headerData(column, Qt::Horizontal).toString();
            QVERIFY2(header->sectionSize(column) > metrics.horizontalAdvance(heading), qPrintable(heading));
            for (int row = 0; row < table->model()->rowCount(); ++row) {
                const QModelIndex cell = table->model()->index(row, column);
                const int needed = metrics.horizontalAdvance(cell.data().toString());
                if (column == HistoryModel::Locator && needed > header->sectionSize(column))
                    QCOMPARE(cell.data(Qt::ToolTipRole).toString(),
                             cell.data().toString()); // elided, whole here
                else
                    QVERIFY2(header->sectionSize(column) > needed, qPrintable(cell.data().toString()));
            }
        }
        // Unless the screen is narrower than the columns (the offscreen one is 800 pixels wide).
        QVERIFY(header->sectionViewportPosition(HistoryModel::Source) +
                        header->sectionSize(HistoryModel::Source) <=
                    table->viewport()->width() ||
                window.width() >= window.screen()->availableGeometry().width());
        auto* shownPlaceholder = window.findChild<QLabel*>("historyPlaceholder");
        QCOMPARE(shownPlaceholder->isVisible(), !placeholder.isEmpty());
        if (!placeholder.isEmpty())
            QCOMPARE(shownPlaceholder->text(), placeholder);

        const QString text = window.findChild<QPlainTextEdit*>("historyDetails")->toPlainText();
        for (const QString& line : details)
            QVERIFY2(text.split('\n').contains(line), qPrintable(text));
        auto* chart = window.findChild<HistoryChart*>();
        if (lines < 0) {
            QVERIFY(!chart->message().isEmpty());
            QVERIFY(chart->seriesNames().isEmpty());
        } else {
            QCOMPARE(chart->seriesNames().filter(QRegularExpression("^Ch \\d+: ")).size(), lines);
        }
        // Sorting by a heading click: the oldest run first.
        if (table->model()->rowCount() > 1) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(HistoryModel::Date) + 5, 5));
            QVERIFY(table->model()->index(0, HistoryModel::Date).data().toString() <=
                    table->model()->index(1, HistoryModel::Date).data().toString());
        }
        // Pictures for whoever looks at the window on a display (under xvfb-run, with the xcb platform).
        const QString pictures = qEnvironmentVariable("VKR_HISTORY_PICTURES");
        if (!pictures.isEmpty())
            QVERIFY(window.grab().save(QStringLiteral("%1/%2.png").arg(pictures, QTest::currentDataTag())));
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
    }

    // Sixteen channels stay told apart: sixteen lines, each of its own colour and dash.
    void sixteenChannelsAreToldApart()
    {
        HistoryChart chart;
        QVector<RunRecord> runs;
        for (int day = 1; day <= 3; ++day) {
            RunRecord run;
            RunRecordJson::fromJson(
                QJsonDocument::fromJson(runLine("sim:sixteen", day, QVector<double>(16, 10 + day))).object(),
                run);
            runs << run;
        }
        chart.showRuns("sim:sixteen", runs);
        QStringList expected;
        for (int channel = 0; channel < 16; ++channel)
            expected << QStringLiteral("Ch %1: 3").arg(channel);
        QCOMPARE(chart.seriesNames(), expected);
        QSet<QString> looks;
        for (const QLineSeries* line : chart.findChild<QChartView*>()->chart()->findChildren<QLineSeries*>())
            looks << line->pen().color().name() + QString::number(int(line->pen().style()));
        QCOMPARE(looks.size(), 16);
    }

    // Ctrl+H in the main window opens the history of the controller last used, and the end of a run
    // adds that run.
    void opensFromTheWindowAndGrowsWithEachRun()
    {
        QTemporaryDir home;
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", dataHome); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
        FakeControllerLibrary fake;
        VKRCalibrator window;
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        window.findChild<QComboBox*>("locator")->setEditText("sim:grows");
        button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_H, Qt::ControlModifier);
        auto* history = window.findChild<HistoryWindow*>("historyWindow");
        QVERIFY(history && history->isVisible());
        QCOMPARE(history->findChild<QLineEdit*>("historyFilter")->text(), QStringLiteral("sim:grows"));
        QTRY_COMPARE(history->model()->rowCount(), 1);

        button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        QTRY_COMPARE(history->model()->rowCount(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(clearButtonSettled(history), 5000);
    }
};

QTEST_MAIN(HistoryWindowTest)
#include "tst_historywindow.moc"
