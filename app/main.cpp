#include "signalwatcher.h"
#include "vkrcalibrator.h"

#include <QApplication>
#include <csignal>

int main(int argc, char* argv[])
{
#ifdef SIGPIPE
    // A closed pipe on stderr must not end a calibration; the lost line is all that is lost.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QApplication application(argc, argv);
    // Ctrl+C, a logout or a lost session close the window as the user would: the run is aborted,
    // its calibrating channel stopped and the connection closed before the process ends.
    SignalWatcher signalWatcher;
    VKRCalibrator window;
    QObject::connect(&signalWatcher, &SignalWatcher::received, &window, &QWidget::close);
    window.show();
    QObject::connect(&application, &QApplication::lastWindowClosed, &application, &QApplication::quit);
    return application.exec();
}
