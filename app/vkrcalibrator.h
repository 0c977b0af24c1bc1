// The main window: picks a controller's locator, starts or aborts the calibration and shows
// the routine's log. It talks to no controller itself; its worker does.
#pragma once

#include "historyjournal.h"
#include "ui_vkrcalibrator.h"
#include "workthread.h"

#include <QMainWindow>
#include <optional>

class VKRCalibrator : public QMainWindow
{
    Q_OBJECT

public:
    explicit VKRCalibrator(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~VKRCalibrator() override;

private slots:
    void on_refreshButton_clicked();
    void on_calibrateButton_clicked();
    void logMessage(const QString& message);
    void workThreadFinished();

private:
    // Clears the log and starts a run; false when the system refused the worker's thread.
    bool startRun(const QString& locator);
    void followTheLogsEnd();
    void showOpenFailureReason();
    // Adds the last run to the calibration history; a journal that cannot be written is said once
    // in the status bar and never stops a calibration.
    void remember();

    Ui::VKRCalibratorClass ui;
    WorkThread worker;
    // True from a start until that run's finished() arrives. A start pressed while an aborted
    // run is still winding down is kept here and carried out when that run has finished.
    bool runActive = false;
    std::optional<QString> deferredLocator;
    // Whether the log view shows its end, and so keeps showing the newest text.
    bool logFollowsEnd = true;
    QString runLocator; // the locator of the run going on, or of the last one
    HistoryJournal history;
};
