// The history window, offscreen: the journal's runs read off the GUI thread, newest first, filtered
// by locator, and the chart of the selected controller; opened from the main window and renewed
// when a run ends.
#include "fakecontrollerlibrary.h"
#include "historychart.h"
#include "historymodel.h"
#include "historywindow.h"
#include "runrecordjson.h"
#include "vkrcalibrator.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QToolButton>
#include <QtTest>
#include <algorithm>

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
                 QStringList({"channel 0: 2", "channel 1: 1", "failed: 1"}));
        QTRY_VERIFY_WITH_TIMEOUT(clearButtonSettled(&window), 5000);
    }

    // The main window's History button opens the history of the controller last used, and the end
    // of a run adds that run.
    void opensFromTheWindowAndGrowsWithEachRun()
    {
        QTemporaryDir home;
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", dataHome); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
        FakeControllerLibrary fake;
        VKRCalibrator window;
        auto* button = window.findChild<QPushButton*>("calibrateButton");
        window.findChild<QComboBox*>("locator")->setEditText("sim:grows");
        button->click();
        QTRY_COMPARE(button->text(), QStringLiteral("Start Calibration"));
        window.findChild<QToolButton*>("historyButton")->click();
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
