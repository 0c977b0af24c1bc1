#include "windowprogram.h"

#include "historyjournal.h"
#include "historywindow.h"
#include "serialport.h"
#include "signalwatcher.h"
#include "vkrcalibrator.h"

#include <QApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// How long the program waits, once its window has closed, for a run to stop.
constexpr std::chrono::seconds QuitBound{5};

const char Usage[] = "usage: vkr-calibrator [--history] [--debug] [--help] [--version] [Qt options]\n";
const char Help[] =
    "Calibrates the position sensors of every channel of a VKR positioning controller.\n"
    "\n"
    "  --history   open only the calibration history, a window of every run so far\n"
    "  --debug     write the commands sent to a serial controller to standard error\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "In the window: F5 refreshes the list of controllers, Enter in the locator box starts a run,\n"
    "Escape aborts it, Ctrl+H opens the calibration history. See vkr-calibrator(1).\n";

bool given(int argc, char* argv[], const char* option)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0)
            return true;
    }
    return false;
}

// An option of the program's own that it does not know; Qt's options are gone from the list by now.
QString unknownOption()
{
    const QStringList known{QStringLiteral("--history"), QStringLiteral("--debug")};
    const QStringList arguments = QCoreApplication::arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i].startsWith(QLatin1Char('-')) && !known.contains(arguments[i]))
            return arguments[i];
    }
    return QString();
}

int runHistoryOnly(QApplication& application)
{
    HistoryWindow history(HistoryJournal().path(), nullptr);
    history.reload();
    history.show();
    QObject::connect(&application, &QApplication::lastWindowClosed, &application, &QApplication::quit);
    return application.exec();
}

} // namespace

int runWindowProgram(int& argc, char* argv[], const std::function<void(VKRCalibrator&)>& shown)
{
    // Answered before the application object exists, so that they need no display.
    if (given(argc, argv, "--help") || given(argc, argv, "-h")) {
        std::fputs(Usage, stdout);
        std::fputs(Help, stdout);
        return 0;
    }
    if (given(argc, argv, "--version")) {
        std::printf("vkr-calibrator %s\n", VKR_VERSION);
        return 0;
    }
    // A closed pipe or a file size limit reached stops the run properly through the failed write
    // (a lost log aborts the runs), or costs the line that could not be written; never the program.
    SignalWatcher::makeWriteFailuresErrors();
    SignalWatcher::endOnTerminationSignals();
    QApplication application(argc, argv);
    // Each run's history line names the program's version, as the command line's do.
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));
    const QString unknown = unknownOption();
    if (!unknown.isEmpty()) {
        std::fprintf(stderr, "vkr-calibrator: unknown option %s\n%s", qPrintable(unknown), Usage);
        return 64;
    }
    if (QCoreApplication::arguments().contains(QStringLiteral("--history")))
        return runHistoryOnly(application);
    // The commands sent to a serial controller, on standard error, for whoever looks into a fault;
    // QT_LOGGING_RULES still decides over this.
    if (QCoreApplication::arguments().contains(QStringLiteral("--debug")))
        QLoggingCategory::setFilterRules(QStringLiteral("vkr.serial.debug=true"));
    // Ctrl+C, a logout or a lost session close the window as the user would: the run is aborted,
    // its calibrating channel stopped and the connection closed before the process ends. A third
    // signal ends the process at once, also while the program waits for a run stuck in a library call.
    SignalWatcher signalWatcher(SignalWatcher::EndAtOnce{
        3,
        "vkr-calibrator: ended on a third signal without waiting for the run to stop; the controller may "
        "still be calibrating, and the run is not in the calibration history\n",
        3, &SerialPort::removeLockFiles});
    VKRCalibrator window;
    QObject::connect(&signalWatcher, &SignalWatcher::received, &window, &QWidget::close);
    window.show();
    QObject::connect(&application, &QApplication::lastWindowClosed, &application, &QApplication::quit);
    if (shown)
        shown(window);
    const int status = application.exec();
    // The window has closed: a run going on is aborted now. One stuck in a library call that does not
    // return cannot be waited for without end, nor its worker destroyed while it runs.
    if (!window.endRunForQuit(QuitBound)) {
        std::fprintf(
            stderr,
            "vkr-calibrator: the run did not stop within %lld s of the window closing, inside a call "
            "into the controller; the controller may still be calibrating. The run is in the "
            "calibration history as aborted.\n",
            static_cast<long long>(QuitBound.count()));
        std::fflush(stderr);
        SerialPort::removeLockFiles();
        std::_Exit(status);
    }
    return status;
}
