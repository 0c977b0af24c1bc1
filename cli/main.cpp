// vkr-calibrate: runs one calibration from the command line, or lists the controllers found.
#include "controllerdiscovery.h"
#include "controllerlibrary.h"
#include "headlessrun.h"
#include "signalwatcher.h"
#include "standardoutput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>
#include <csignal>
#include <cstdio>

namespace {

constexpr int UsageError = 64;

// Writes text that is the whole of the program's answer (help, version, locator list): 0, or
// the output failure's status when it could not be written.
int answer(const QString& text)
{
    StandardOutput output;
    return output.write(text.toUtf8()) ? 0 : HeadlessRun::OutputFailed;
}

// Status of a listing that could not ask every library.
constexpr int LibrariesMissing = 69;

// One short line on what is wrong, and where to read more.
int usageError(const QString& problem)
{
    std::fprintf(stderr, "vkr-calibrate: %s\nTry 'vkr-calibrate --help' for more information.\n",
                 qPrintable(problem));
    return UsageError;
}

int listLocators()
{
    QString text;
    for (const QString& locator : ControllerDiscovery::findLocators())
        text += locator + QLatin1Char('\n');
    const int written = answer(text);
    const QString loadError = ControllerLibrary::instance().loadError();
    if (loadError.isEmpty() || written != 0)
        return written;
    std::fprintf(
        stderr,
        "vkr-calibrate: the controller libraries could not be loaded (%s); the list may be incomplete\n",
        qPrintable(loadError));
    return LibrariesMissing;
}

} // namespace

int main(int argc, char* argv[])
{
#ifdef SIGPIPE
    // A reader that went away is noticed as a failed write, which stops the run properly.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkr-calibrate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Calibrates the position sensors of every channel of a VKR controller and prints the log.\n\n"
        "Exit status: 0 calibrated without errors, 1 calibrated with errors, 2 the controller could "
        "not be opened, 3 aborted, 64 usage error, 69 --list without the controller libraries, 74 "
        "standard output could not be written."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("List the locators found and exit."));
    parser.addOption(listOption);
    const QCommandLineOption debugOption(
        QStringLiteral("debug"),
        QStringLiteral("Log every command sent to a serial controller on standard error."));
    parser.addOption(debugOption);
    parser.addPositionalArgument(QStringLiteral("LOCATOR"), QStringLiteral("The controller to calibrate."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption))
        return answer(parser.helpText());
    if (parser.isSet(versionOption))
        return answer(QCoreApplication::applicationName() + QLatin1Char(' ') +
                      QCoreApplication::applicationVersion() + QLatin1Char('\n'));

    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(listOption)) {
        if (!positional.isEmpty())
            return usageError(QStringLiteral("--list takes no locator"));
        return listLocators();
    }
    if (positional.isEmpty())
        return usageError(QStringLiteral("no locator given"));
    if (positional.size() > 1)
        return usageError(QStringLiteral("one locator at a time (got %1)").arg(positional.size()));
    // Blanks around a locator (pasted from a file, typed by accident) are never part of it.
    const QString locator = positional.first().trimmed();
    if (locator.isEmpty())
        return usageError(QStringLiteral("the locator is blank"));

    // The command lines sent are for whoever looks into a fault; QT_LOGGING_RULES still decides
    // over this default.
    if (!parser.isSet(debugOption))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    // Ctrl+C, SIGTERM and a lost terminal ask the routine to stop; it stops the calibrating channel
    // and closes the connection before the program ends. Further signals ask again and never cut
    // the run short. Installed before anything can start a run; until here a signal simply ends
    // the program, as it should during a listing.
    SignalWatcher signalWatcher;
    HeadlessRun run;
    QObject::connect(&signalWatcher, &SignalWatcher::received, &run, &HeadlessRun::abort);
    QObject::connect(&run, &HeadlessRun::finished, &application, &QCoreApplication::exit);
    QTimer::singleShot(0, &run, [&] { run.start(locator); });
    return application.exec();
}
