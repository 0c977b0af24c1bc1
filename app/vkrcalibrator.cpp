#include "vkrcalibrator.h"

#include "controllerdiscovery.h"
#include "windowplacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
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
        if (runActive)
            deferredLocator = ui.locator->currentText();
        else
            startRun(ui.locator->currentText());
        ui.calibrateButton->setText(AbortText);
    } else {
        deferredLocator.reset();
        worker.abort();
        ui.calibrateButton->setText(StartText);
    }
}

void VKRCalibrator::startRun(const QString& locator)
{
    ui.log->clear();
    worker.setLocator(locator);
    worker.startRun(QThread::InheritPriority);
    runActive = true;
}

// Messages always go to the end of the log, whatever the user has clicked or selected, so the
// record of a run is never written into its middle.
void VKRCalibrator::logMessage(const QString& message)
{
    QTextCursor end(ui.log->document());
    end.movePosition(QTextCursor::End);
    end.insertText(message);

    if (ui.log->textCursor().hasSelection()) {
        ui.log->verticalScrollBar()->setValue(ui.log->verticalScrollBar()->maximum());
    } else {
        ui.log->setTextCursor(end);
        ui.log->ensureCursorVisible();
    }
}

void VKRCalibrator::workThreadFinished()
{
    runActive = false;
    if (deferredLocator) {
        // Every message of the finished run has arrived by now, so the new run's log starts clean.
        startRun(*deferredLocator);
        deferredLocator.reset();
        return;
    }
    ui.calibrateButton->setText(StartText);
}
