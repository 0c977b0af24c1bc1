#include "vkrcalibrator.h"

#include "controllerdiscovery.h"
#include "historywindow.h"
#include "runverdict.h"
#include "statusline.h"
#include "windowplacement.h"
#include "windowsettings.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <QTextCursor>
#include <QToolButton>

namespace {
const QString StartText = QStringLiteral("Start Calibration");
const QString AbortText = QStringLiteral("Abort");
const QString AbortingText = QStringLiteral("Aborting\u2026");
const QString Title = QStringLiteral("VKR Calibrator");
} // namespace

VKRCalibrator::VKRCalibrator(QWidget* parent, Qt::WindowFlags flags) : QMainWindow(parent, flags)
{
    ui.setupUi(this);
    // The icons live in a static library, whose resources must be registered by hand.
    Q_INIT_RESOURCE(vkrcalibrator);
    setWindowIcon(QIcon(QStringLiteral(":/icons/vkr-calibrator.png")));
    placeWindow();
    setUpStatusBar();
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
    connect(&worker, &WorkThread::channelStarted, &progress, &RunProgress::channelStarted,
            Qt::QueuedConnection);
    connect(&worker, &QThread::finished, this, &VKRCalibrator::workThreadFinished, Qt::QueuedConnection);
    // Called on the writer's thread: only a queued call by name crosses over, with no argument for
    // Qt to hand across; the reason is taken from the writer under its lock.
    historyWriter.setFailureNotifier(
        [this] { QMetaObject::invokeMethod(this, "historyWritten", Qt::QueuedConnection); });
    ui.refreshButton->click();
    // The refresh fills an empty field with the first locator found; the one last used wins.
    const QString lastLocator = WindowSettings::locator();
    if (!lastLocator.isEmpty())
        ui.locator->setEditText(lastLocator);
}

// A run still going when the window goes (closed by the user, or by SIGTERM, SIGHUP or Ctrl+C) is
// aborted: its calibrating channel is stopped and its connection closed. It is then remembered as
// any run is, also one that ended just before and whose end the event loop, now stopped, never
// delivered.
VKRCalibrator::~VKRCalibrator()
{
    if (!runActive)
        return;
    worker.abort();
    worker.wait();
    remember();
}

// Centred on the primary screen at the first start; from then on where the user left it, unless
// that is on no screen any more.
void VKRCalibrator::placeWindow()
{
    QRect firstStart = geometry();
    QVector<QRect> screens;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        firstStart = QRect(centredOrigin(screen->geometry().size(), geometry().size()), geometry().size());
    for (const QScreen* screen : QGuiApplication::screens())
        screens << screen->geometry();
    setGeometry(restoredGeometry(WindowSettings::geometry(), screens, firstStart));
}

void VKRCalibrator::setUpStatusBar()
{
    statusLine = new StatusLine(ui.statusBar);
    statusLine->setObjectName(QStringLiteral("statusLine"));
    ui.statusBar->addWidget(statusLine, 1);
    connect(&progress, &RunProgress::changed, statusLine,
            [this](const QString& text) { statusLine->show(text); });

    journalWarning = new QLabel(ui.statusBar);
    journalWarning->setObjectName(QStringLiteral("journalWarning"));
    const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    journalWarning->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(side, side));
    journalWarning->hide();
    ui.statusBar->addPermanentWidget(journalWarning);

    historyButton = new QToolButton(ui.statusBar);
    historyButton->setObjectName(QStringLiteral("historyButton"));
    historyButton->setText(tr("History"));
    historyButton->setToolTip(tr("Every calibration so far (Ctrl+H)"));
    historyButton->setAutoRaise(true);
    connect(historyButton, &QToolButton::clicked, this, &VKRCalibrator::showHistory);
    ui.statusBar->addPermanentWidget(historyButton);
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

// The button is disabled from an abort until the run has ended, so a start never meets a run
// that is still winding down.
void VKRCalibrator::on_calibrateButton_clicked()
{
    if (ui.calibrateButton->text() == StartText) {
        // Blanks around a locator (pasted from a file, typed by accident) are never part of it.
        const QString locator = ui.locator->currentText().trimmed();
        if (!runActive && startRun(locator))
            ui.calibrateButton->setText(AbortText);
    } else if (ui.calibrateButton->text() == AbortText) {
        worker.abort();
        ui.calibrateButton->setText(AbortingText);
        ui.calibrateButton->setEnabled(false);
    }
}

// A run whose thread the system refuses never starts and never finishes: the window stays idle
// and says why in the status bar.
bool VKRCalibrator::startRun(const QString& locator)
{
    ui.log->clear();
    runLocator = locator;
    worker.setLocator(locator);
    worker.setSource(RunRecord::Source::Window);
    setWindowTitle(locator.isEmpty() ? Title : tr("%1 \u2014 %2").arg(locator, Title));
    runActive = worker.startRun(QThread::InheritPriority);
    if (!runActive) {
        showOpenFailureReason();
        showVerdict();
        remember();
        return false;
    }
    progress.begin(locator);
    showRunning(true);
    return true;
}

void VKRCalibrator::showRunning(bool running)
{
    ui.locator->setEnabled(!running);
    ui.refreshButton->setEnabled(!running);
}

void VKRCalibrator::showVerdict()
{
    const RunVerdict verdict = RunVerdict::of(worker.lastRecord());
    QStyle::StandardPixmap icon = QStyle::SP_DialogApplyButton;
    if (verdict.tone == RunVerdict::Tone::Warning)
        icon = QStyle::SP_MessageBoxWarning;
    else if (verdict.tone == RunVerdict::Tone::Failed)
        icon = QStyle::SP_MessageBoxCritical;
    statusLine->show(verdict.text, style()->standardIcon(icon));
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

// The log shows the code; why the controller could not be opened is in the status bar's verdict,
// and goes to the desktop's journal as well.
void VKRCalibrator::showOpenFailureReason()
{
    const QString openFailureReason = worker.lastRecord().openFailureReason;
    if (!openFailureReason.isEmpty())
        qWarning("%s", qPrintable(openFailureReason));
}

void VKRCalibrator::workThreadFinished()
{
    runActive = false;
    progress.end();
    showOpenFailureReason();
    showVerdict();
    remember();
    showRunning(false);
    ui.calibrateButton->setText(StartText);
    ui.calibrateButton->setEnabled(true);
}

void VKRCalibrator::remember()
{
    historyWriter.keep(worker.lastRecord());
}

// A run went to the journal, or could not: the History window shows it, and the warning icon stays
// while the journal fails; standard error hears of each spell of failures once.
void VKRCalibrator::historyWritten()
{
    if (const std::optional<QString> error = historyWriter.takeFailure()) {
        const QString said = tr("The calibration history could not be written (%1): %2")
                                 .arg(historyWriter.historyPath(), *error);
        journalWarning->setToolTip(said);
        journalWarning->show();
        qWarning("%s", qPrintable(said));
    } else if (!historyWriter.isFailing()) {
        journalWarning->hide();
    }
    if (historyWindow)
        historyWindow->reload();
}

void VKRCalibrator::showHistory()
{
    if (!historyWindow) {
        historyWindow = new HistoryWindow(historyWriter.historyPath(), this);
        historyWindow->reload();
    }
    if (!runLocator.isEmpty())
        historyWindow->setFilter(runLocator);
    historyWindow->show();
    historyWindow->raise();
    historyWindow->activateWindow();
}

void VKRCalibrator::closeWithoutAsking()
{
    closeConfirmed = true;
    close();
}

void VKRCalibrator::closeEvent(QCloseEvent* event)
{
    bool ask = runActive && !closeConfirmed;
#ifndef QT_NO_SESSIONMANAGER
    // A logout closes the window through the session manager; nobody is there to answer.
    ask = ask && !qGuiApp->isSavingSession();
#endif
    if (ask) {
        event->ignore();
        askBeforeClosing();
        return;
    }
    WindowSettings::save(geometry(), ui.locator->currentText().trimmed());
    // The run stops while the window goes; the worker's destructor waits for its end.
    if (runActive)
        worker.abort();
    QMainWindow::closeEvent(event);
}

// Asked without a nested event loop, so the run's messages and its end keep arriving meanwhile.
void VKRCalibrator::askBeforeClosing()
{
    // One question at a time; one that was answered may linger until its deletion.
    if (auto* asked = findChild<QMessageBox*>(QStringLiteral("closeQuestion")); asked && asked->isVisible())
        return asked->raise();
    auto* question =
        new QMessageBox(QMessageBox::Question, Title, tr("A calibration is running. Abort it and quit?"),
                        QMessageBox::Yes | QMessageBox::No, this);
    question->setObjectName(QStringLiteral("closeQuestion"));
    question->setDefaultButton(QMessageBox::No);
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::finished, this, [this, question] {
        if (question->clickedButton() == question->button(QMessageBox::Yes))
            closeWithoutAsking();
    });
    question->open();
}

#include "moc_vkrcalibrator.cpp"
