// vkr-tango-server: calibrates controllers for a Tango Controls system, one VKRCalibrator device per
// controller. Tango's server_run() owns the main thread, as it must to end on SIGTERM and SIGINT;
// Qt is there for the worker, the controller libraries and the history, with no event loop.
#include "vkrcalibratorclass.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

namespace {

const char* const Usage =
    "Usage: vkr-tango-server INSTANCE [-nodb -dlist DEVICE[,DEVICE...] | -file=FILE] [Tango options]\n"
    "       vkr-tango-server --help | --version\n"
    "\n"
    "A Tango device server: each device of the Tango class VKRCalibrator calibrates the position sensors\n"
    "of one VKR controller, named by its Locator property (or the Locator attribute). Commands:\n"
    "Calibrate, Abort. States: ON idle, RUNNING, ALARM after errors or an abort, FAULT when the\n"
    "controller could not be opened. Without a database, give the port with\n"
    "-ORBendPoint giop:tcp:HOST:PORT and reach a device as tango://HOST:PORT/DEVICE#dbase=no.\n"
    "SIGTERM and SIGINT abort a running calibration, stop its channel and close the connection.\n"
    "Exit status: 0 after a signal or the Kill command, 255 when Tango refused to start the server\n"
    "(its arguments, no database), 1 when the start failed otherwise.\n";

} // namespace

int main(int argc, char* argv[])
{
    // The controller libraries are looked for next to the executable, which needs the application.
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkr-tango-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return std::fputs(Usage, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 74;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::printf("vkr-tango-server %s\n", VKR_VERSION) > 0 && std::fflush(stdout) == 0 ? 0 : 74;

    try {
        Tango::Util* tango = Tango::Util::init(argc, argv);
        tango->server_init();
        std::printf("Ready to accept request\n");
        std::fflush(stdout);
        tango->server_run();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "vkr-tango-server: out of memory\n");
        return 1;
    } catch (const CORBA::Exception& failure) {
        Tango::Except::print_exception(failure);
        return 1;
    }
    Tango::Util::instance()->server_cleanup();
    return 0;
}
