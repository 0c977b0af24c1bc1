#include "vkrcalibrator.h"

#include "controllerdiscovery.h"
#include "windowplacement.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
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

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        setGeometry(QRect(centredOrigin(screen->geometry().size(), geometry().size()), geometry().size()));

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
    connect(&worker, &WorkThread::logMessage, this, &VKRCalibrator::logMessage);
    connect(&worker, &QThread::finished, this, &VKRCalibrator::workThreadFinished);
    ui.refreshButton->click();
}

// The worker is destroyed after this body; its own destructor aborts a run that is still
// going and waits for the routine to end.
VKRCalibrator::~VKRCalibrator() = default;

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

void VKRCalibrator::on_calibrateButton_clicked()
{
    if (ui.calibrateButton->text() == StartText) {
        statusBar()->clearMessage();
        // Blanks around a locator (pasted from a file, typed by accident) are never part of it.
        const QString locator = ui.locator->currentText().trimmed();
        if (runActive)
            deferredLocator = locator;
        else if (!startRun(locator))
            return;
        ui.calibrateButton->setText(AbortText);
    } else {
        deferredLocator.reset();
        worker.abort();
        ui.calibrateButton->setText(StartText);
    }
}

// A run whose thread the system refuses never starts and never finishes: the window stays idle
// and says why where it says why a controller could not be opened.
bool VKRCalibrator::startRun(const QString& locator)
{
    ui.log->clear();
    runLocator = locator;
    worker.setLocator(locator);
    worker.setSource(RunRecord::Source::Window);
    runActive = worker.startRun(QThread::InheritPriority);
    if (!runActive) {
        showOpenFailureReason();
        remember();
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

// The log shows the code; why the controller could not be opened stays in the status bar until the
// next start, and goes to the desktop's journal as well. A run whose start the user has pressed
// since finished before that start: its reason goes to the journal only.
void VKRCalibrator::showOpenFailureReason()
{
    const QString openFailureReason = worker.lastRecord().openFailureReason;
    if (openFailureReason.isEmpty())
        return;
    if (!deferredLocator)
        statusBar()->showMessage(openFailureReason);
    qWarning("%s", qPrintable(openFailureReason));
}

void VKRCalibrator::workThreadFinished()
{
    showOpenFailureReason();
    remember();
    runActive = false;
    if (deferredLocator) {
        // Every message of the finished run has arrived by now, so the new run's log starts clean.
        const QString locator = *deferredLocator;
        deferredLocator.reset();
        if (startRun(locator))
            return;
    }
    ui.calibrateButton->setText(StartText);
}

void VKRCalibrator::remember()
{
    QString error;
    if (!history.appendFailsFirstTime(worker.lastRecord(), error))
        return;
    // Said beside the reason of a failed open, which stays.
    const QString said =
        tr("The calibration history could not be written (%1): %2").arg(history.path(), error);
    const QString shown = ui.statusBar->currentMessage();
    ui.statusBar->showMessage(shown.isEmpty() ? said : shown + QStringLiteral("; ") + said);
}

#include "moc_vkrcalibrator.cpp"
