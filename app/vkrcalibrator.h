// The main window: picks a controller's locator, starts or aborts the calibration and shows
// the routine's log. It talks to no controller itself; its worker does. The status bar says what
// the run is doing, then the verdict; the calibration history opens in a window of its own.
#pragma once

#include "journalwriter.h"
#include "runaftermath.h"
#include "runprogress.h"
#include "ui_vkrcalibrator.h"
#include "workthread.h"

#include <QMainWindow>

class HistoryWindow;
class QLabel;
class QToolButton;
class StatusLine;

class VKRCalibrator : public QMainWindow
{
    Q_OBJECT

public:
    explicit VKRCalibrator(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~VKRCalibrator() override;

public slots:
    // Closes without asking, also during a run, which is then aborted: for a termination signal,
    // where nobody is there to answer.
    void closeWithoutAsking();
    void showHistory();

protected:
    // A run going on is aborted before the window closes; a user is asked first.
    void closeEvent(QCloseEvent* event) override;

private slots:
    void on_refreshButton_clicked();
    void on_calibrateButton_clicked();
    void logMessage(const QString& message);
    void workThreadFinished();
    // A run reached the calibration history, or could not.
    void historyWritten();

private:
    void setUpStatusBar();
    void setUpShortcuts();
    void placeWindow();
    // Clears the log and starts a run; false when the system refused the worker's thread.
    bool startRun(const QString& locator);
    // Locator and Refresh are for choosing the next run's controller, so they rest during one.
    void showRunning(bool running);
    void showVerdict();
    void followTheLogsEnd();
    void showOpenFailureReason();
    void askBeforeClosing();
    // Adds the last run to the calibration history, off the GUI thread; a journal that cannot be
    // written shows a warning in the status bar until a write succeeds, and never stops a
    // calibration.
    void remember();

    Ui::VKRCalibratorClass ui;
    WorkThread worker;
    // True from a start until that run's finished() arrives.
    bool runActive = false;
    bool closeConfirmed = false;
    // Whether the log view shows its end, and so keeps showing the newest text.
    bool logFollowsEnd = true;
    QString runLocator; // the locator of the run going on, or of the last one
    // Writes what is still queued when the window goes, for at most its drain bound.
    RunAftermath historyWriter;
    RunProgress progress;
    StatusLine* statusLine = nullptr;
    QLabel* journalWarning = nullptr;
    QToolButton* historyButton = nullptr;
    HistoryWindow* historyWindow = nullptr;
};
