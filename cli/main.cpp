// vkr-calibrate: runs one calibration from the command line, or lists the controllers found.
#include "controllerdiscovery.h"
#include "headlessrun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

constexpr int UsageError = 64;

std::atomic<HeadlessRun*> activeRun{nullptr};

// Ctrl+C and SIGTERM ask the routine to stop; it stops the calibrating channel and closes the
// connection before the program ends. Further signals ask again and never cut the run short.
extern "C" void requestAbort(int)
{
    if (HeadlessRun* run = activeRun.load())
        run->abort();
}

void installAbortHandlers()
{
    std::signal(SIGINT, requestAbort);
    std::signal(SIGTERM, requestAbort);
}

int listLocators()
{
    for (const QString& locator : ControllerDiscovery::findLocators())
        std::printf("%s\n", locator.toUtf8().constData());
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkr-calibrate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Calibrates the position sensors of every channel of a VKR controller and prints the log.\n\n"
        "Exit status: 0 calibrated without errors, 1 calibrated with errors, 2 the controller could "
        "not be opened, 3 aborted, 64 usage error."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption listOption(QStringLiteral("list"), QStringLiteral("List the locators found and exit."));
    parser.addOption(listOption);
    parser.addPositionalArgument(QStringLiteral("LOCATOR"), QStringLiteral("The controller to calibrate."));

    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return UsageError;
    }
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();

    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(listOption)) {
        if (!positional.isEmpty()) {
            std::fprintf(stderr, "--list takes no locator\n");
            return UsageError;
        }
        return listLocators();
    }
    if (positional.size() != 1) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.helpText()));
        return UsageError;
    }

    HeadlessRun run;
    activeRun = &run;
    installAbortHandlers();
    QObject::connect(&run, &HeadlessRun::finished, &application, &QCoreApplication::exit);
    QTimer::singleShot(0, &run, [&] { run.start(positional.first()); });
    const int status = application.exec();
    activeRun = nullptr;
    return status;
}
