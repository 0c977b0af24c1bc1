// The main window: picks a controller's locator, starts or aborts the calibration and shows
// the routine's log. It talks to no controller itself; its worker does. Each run goes to the
// calibration history, which opens in a window of its own (Ctrl+H).
#pragma once

#include "journalwriter.h"
#include "runaftermath.h"
#include "ui_vkrcalibrator.h"
#include "workthread.h"

#include <QDateTime>
#include <QMainWindow>
#include <QTimer>
#include <chrono>
#include <optional>

class HistoryWindow;

class VKRCalibrator : public QMainWindow
{
    Q_OBJECT

public:
    explicit VKRCalibrator(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    // A run still going is aborted and waited for, then remembered.
    ~VKRCalibrator() override;

    // For the program's end, once the window has closed: aborts the run going on, if any, and waits
    // at most bound for its worker; the run goes to the history either way. False when the worker is
    // still inside a call that has not returned: the run was remembered as aborted with a note that
    // the controller may still be calibrating, and the process must end without destroying the window.
    bool endRunForQuit(std::chrono::milliseconds bound);

    // The note a run stuck in a controller call carries in the history when the program quits.
    static QString stuckRunNote();

    // Opens the History window, filtered to the controller of the last run (Ctrl+H).
    void showHistory();

private slots:
    void on_refreshButton_clicked();
    void on_calibrateButton_clicked();
    void logMessage(const QString& message);
    void workThreadFinished();

private:
    // A run reached the calibration history, or could not.
    void historyWritten();
    void setUpShortcuts();
    void centreOnThePrimaryScreen();
    // Clears the log and starts a run; false when the system refused the worker's thread.
    bool startRun(const QString& locator);
    // Adds the last run to the calibration history, off the GUI thread; a journal that cannot be
    // written is said in the History window and on standard error, and never stops a calibration.
    void remember(const RunRecord& record);

    Ui::VKRCalibratorClass ui;
    WorkThread worker;
    // True from a start until that run's finished() arrives.
    bool runActive = false;
    // A start pressed while an aborted run winds down: its locator, started once that run has ended.
    std::optional<QString> deferredLocator;
    QDateTime runStarted;
    // Whether the log view shows its end, and so keeps showing the newest text.
    bool logFollowsEnd = true;
    QString runLocator;     // the locator of the run going on, or of the last one
    QString journalFailure; // why the journal could not be written, while it cannot
    // Started from the history writer's thread by name, so that Qt alone carries the call across:
    // its timeout tells the window that a record was written or failed.
    QTimer historyNotice;
    // Writes what is still queued when the window goes, for at most its drain bound.
    RunAftermath historyWriter;
    HistoryWindow* historyWindow = nullptr;

    void followTheLogsEnd();
};
