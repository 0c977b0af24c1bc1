#include "vkrcalibrator.h"

#include "controllerdiscovery.h"
#include "historywindow.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QTextCursor>

namespace {
const QString StartText = QStringLiteral("Start Calibration");
const QString AbortText = QStringLiteral("Abort");
} // namespace

VKRCalibrator::VKRCalibrator(QWidget* parent, Qt::WindowFlags flags) : QMainWindow(parent, flags)
{
    ui.setupUi(this);
    // The icons live in a static library, whose resources must be registered by hand.
    Q_INIT_RESOURCE(vkrcalibrator);
    setWindowIcon(QIcon(QStringLiteral(":/icons/vkr-calibrator.png")));
    centreOnThePrimaryScreen();
    setUpShortcuts();

    followTheLogsEnd();
    // Return and Enter press the focused button, as Space does; in the locator box they start a
    // run as the button would, but never abort one. The box keeps the list to the locators found.
    ui.calibrateButton->setAutoDefault(true);
    ui.refreshButton->setAutoDefault(true);
    ui.locator->setInsertPolicy(QComboBox::NoInsert);
    connect(ui.locator->lineEdit(), &QLineEdit::returnPressed, this, [this] {
        if (ui.calibrateButton->text() == StartText)
            ui.calibrateButton->click();
    });
    // Queued explicitly rather than automatically: the argument types are then known from the start,
    // and Qt need not look up the worker's meta-object in the worker's thread as the thread ends,
    // past the last point where the window's wait for that thread is seen by ThreadSanitizer.
    connect(&worker, &WorkThread::logMessage, this, &VKRCalibrator::logMessage, Qt::QueuedConnection);
    connect(&worker, &QThread::finished, this, &VKRCalibrator::workThreadFinished, Qt::QueuedConnection);
    // Called on the writer's thread: a queued call that Qt makes and hands across, with no argument;
    // the reason is taken from the writer under its lock.
    historyNotice.setSingleShot(true);
    historyNotice.setInterval(0);
    connect(&historyNotice, &QTimer::timeout, this, &VKRCalibrator::historyWritten);
    historyWriter.setFailureNotifier(
        [this] { QMetaObject::invokeMethod(&historyNotice, "start", Qt::QueuedConnection); });
    ui.refreshButton->click();
}

// A run still going when the window is destroyed is aborted: its calibrating channel is stopped
// and its connection closed. It is then remembered as any run is, also one that ended just before
// and whose end the event loop, now stopped, never delivered.
VKRCalibrator::~VKRCalibrator()
{
    if (!runActive)
        return;
    worker.abort();
    worker.wait();
    remember(worker.lastRecord());
}

bool VKRCalibrator::endRunForQuit(std::chrono::milliseconds bound)
{
    deferredLocator.reset();
    if (!runActive)
        return true;
    worker.abort();
    if (worker.wait(static_cast<unsigned long>(bound.count()))) {
        runActive = false;
        remember(worker.lastRecord());
        return true;
    }
    RunRecord stuck = worker.newRecord();
    stuck.locator = runLocator;
    stuck.started = runStarted;
    stuck.outcome = RunRecord::Outcome::Aborted;
    stuck.note = stuckRunNote();
    remember(stuck);
    historyWriter.waitUntilWritten(JournalWriter::DrainBound);
    return false;
}

QString VKRCalibrator::stuckRunNote()
{
    return tr("the program quit while a call into the controller had not returned; the controller may "
              "still be calibrating");
}

void VKRCalibrator::centreOnThePrimaryScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QSize screenSize = screen->geometry().size();
    const QSize size = geometry().size();
    setGeometry(
        QRect(QPoint(screenSize.width() / 2 - size.width() / 2, screenSize.height() / 2 - size.height() / 2),
              size));
}

void VKRCalibrator::setUpShortcuts()
{
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
        if (ui.calibrateButton->text() == AbortText)
            ui.calibrateButton->click();
    });
    connect(new QShortcut(QKeySequence(Qt::Key_F5), this), &QShortcut::activated, ui.refreshButton,
            &QPushButton::click);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this), &QShortcut::activated, this,
            &VKRCalibrator::showHistory);
}

// Rebuilds the locator list from scratch and keeps what the user had typed or picked. With an
// empty edit field the first locator found fills it.
void VKRCalibrator::on_refreshButton_clicked()
{
    const QString remembered = ui.locator->currentText();
    ui.locator->clear();
    ui.locator->addItems(ControllerDiscovery::findLocators());
    if (!remembered.isEmpty())
        ui.locator->setEditText(remembered);
}

// The button's text alone decides. A start pressed while an aborted run still winds down is
// deferred until that run's end, clearing of the log included, so the new locator never reaches a
// routine that is still going and the new log never holds the old run's last lines; an abort
// pressed before then cancels it.
void VKRCalibrator::on_calibrateButton_clicked()
{
    if (ui.calibrateButton->text() == StartText) {
        const QString locator = ui.locator->currentText();
        if (runActive)
            deferredLocator = locator;
        else if (!startRun(locator))
            return;
        ui.calibrateButton->setText(AbortText);
    } else {
        if (deferredLocator)
            deferredLocator.reset();
        else
            worker.abort();
        ui.calibrateButton->setText(StartText);
    }
}

// A run whose thread the system refuses never starts and never finishes: the window stays idle,
// and the run goes to the history with the reason.
bool VKRCalibrator::startRun(const QString& locator)
{
    ui.log->clear();
    runLocator = locator;
    runStarted = QDateTime::currentDateTimeUtc();
    worker.setLocator(locator);
    worker.setSource(RunRecord::Source::Window);
    runActive = worker.startRun(QThread::InheritPriority);
    if (!runActive) {
        const RunRecord refused = worker.lastRecord();
        qWarning("%s", qPrintable(refused.openFailureReason));
        remember(refused);
    }
    return runActive;
}

// Messages always go to the end of the log, whatever the user has clicked or selected, so the
// record of a run is never written into its middle. Following the end is the scroll bar's job
// (see followTheLogsEnd); here the view only keeps the user's place when they have scrolled up.
void VKRCalibrator::logMessage(const QString& message)
{
    QTextCursor end(ui.log->document());
    end.movePosition(QTextCursor::End);
    end.insertText(message);
    if (ui.log->textCursor().hasSelection())
        return;

    QScrollBar* vertical = ui.log->verticalScrollBar();
    QScrollBar* horizontal = ui.log->horizontalScrollBar();
    const int top = vertical->value();
    const int left = horizontal->value();
    const bool following = logFollowsEnd;
    ui.log->setTextCursor(end); // scrolls to the cursor
    if (!following) {
        vertical->setValue(top);
        horizontal->setValue(left);
    }
}

// The log view follows the newest text while it shows the end, the way terminals do: a user who
// scrolled up to read keeps their place until they scroll back down. The layout grows the
// scroll range after the text is in, so the range change is what moves the view.
void VKRCalibrator::followTheLogsEnd()
{
    QScrollBar* vertical = ui.log->verticalScrollBar();
    connect(vertical, &QScrollBar::valueChanged, this,
            [this, vertical](int value) { logFollowsEnd = value == vertical->maximum(); });
    connect(vertical, &QScrollBar::rangeChanged, this, [this, vertical](int, int maximum) {
        if (logFollowsEnd)
            vertical->setValue(maximum);
    });
}

void VKRCalibrator::workThreadFinished()
{
    runActive = false;
    const RunRecord record = worker.lastRecord();
    // Why the controller could not be opened goes to the desktop's journal too; the log has the code.
    if (!record.openFailureReason.isEmpty())
        qWarning("%s", qPrintable(record.openFailureReason));
    remember(record);
    if (deferredLocator) {
        const QString locator = *deferredLocator;
        deferredLocator.reset();
        if (startRun(locator))
            return;
    }
    ui.calibrateButton->setText(StartText);
}

void VKRCalibrator::remember(const RunRecord& record)
{
    historyWriter.keep(record);
}

// A run went to the journal, or could not: the History window shows it, and its warning stays
// while the journal fails; standard error hears of each spell of failures once.
void VKRCalibrator::historyWritten()
{
    if (const std::optional<QString> error = historyWriter.takeFailure()) {
        journalFailure = tr("The calibration history could not be written (%1): %2")
                             .arg(historyWriter.historyPath(), *error);
        qWarning("%s", qPrintable(journalFailure));
    } else if (!historyWriter.isFailing()) {
        journalFailure.clear();
    }
    if (historyWindow) {
        historyWindow->setJournalWarning(journalFailure);
        historyWindow->reload();
    }
}

void VKRCalibrator::showHistory()
{
    if (!historyWindow) {
        historyWindow = new HistoryWindow(historyWriter.historyPath(), this);
        historyWindow->reload();
    }
    historyWindow->setJournalWarning(journalFailure);
    if (!runLocator.isEmpty())
        historyWindow->setFilter(runLocator);
    historyWindow->show();
    historyWindow->raise();
    historyWindow->activateWindow();
}

#include "moc_vkrcalibrator.cpp"
