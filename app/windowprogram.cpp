#include "windowprogram.h"

#include "serialport.h"
#include "signalwatcher.h"
#include "vkrcalibrator.h"

#include <QApplication>
#include <QLoggingCategory>

int runWindowProgram(int& argc, char* argv[], const std::function<void(VKRCalibrator&)>& shown)
{
    // A closed pipe or a file size limit reached stops the run properly through the failed write
    // (a lost log aborts the runs), or costs the line that could not be written; never the program.
    SignalWatcher::makeWriteFailuresErrors();
    QApplication application(argc, argv);
    // Each run's history line names the program's version, as the command line's do.
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));
    // The commands sent to a serial controller, on standard error, for whoever looks into a fault;
    // QT_LOGGING_RULES still decides over this.
    if (QCoreApplication::arguments().contains(QStringLiteral("--debug")))
        QLoggingCategory::setFilterRules(QStringLiteral("vkr.serial.debug=true"));
    // Ctrl+C, a logout or a lost session close the window as the user would: the run is aborted,
    // its calibrating channel stopped and the connection closed before the process ends. A third
    // signal ends the process at once, also while the window waits for a run stuck in a library call.
    SignalWatcher signalWatcher(SignalWatcher::EndAtOnce{
        3,
        "vkr-calibrator: ended on a third signal without waiting for the run to stop; the controller may "
        "still be calibrating, and the run is not in the calibration history\n",
        3, &SerialPort::removeLockFiles});
    VKRCalibrator window;
    QObject::connect(&signalWatcher, &SignalWatcher::received, &window, &VKRCalibrator::closeWithoutAsking);
    window.show();
    QObject::connect(&application, &QApplication::lastWindowClosed, &application, &QApplication::quit);
    if (shown)
        shown(window);
    return application.exec();
}
