// vkr-calibrate: runs one calibration from the command line, or lists the controllers found.
#include "controllerdiscovery.h"
#include "headlessrun.h"
#include "signalwatcher.h"
#include "standardoutput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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

QString locatorList()
{
    QString text;
    for (const QString& locator : ControllerDiscovery::findLocators())
        text += locator + QLatin1Char('\n');
    return text;
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
        "not be opened, 3 aborted, 64 usage error, 74 standard output could not be written."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("List the locators found and exit."));
    parser.addOption(listOption);
    parser.addPositionalArgument(QStringLiteral("LOCATOR"), QStringLiteral("The controller to calibrate."));

    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
        return UsageError;
    }
    if (parser.isSet(helpOption))
        return answer(parser.helpText());
    if (parser.isSet(versionOption))
        return answer(QCoreApplication::applicationName() + QLatin1Char(' ') +
                      QCoreApplication::applicationVersion() + QLatin1Char('\n'));

    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(listOption)) {
        if (!positional.isEmpty()) {
            std::fprintf(stderr, "--list takes no locator\n");
            return UsageError;
        }
        return answer(locatorList());
    }
    if (positional.size() != 1) {
        std::fprintf(stderr, "%s\n", qPrintable(parser.helpText()));
        return UsageError;
    }

    // Ctrl+C, SIGTERM and a lost terminal ask the routine to stop; it stops the calibrating channel
    // and closes the connection before the program ends. Further signals ask again and never cut
    // the run short. Installed before anything can start a run; until here a signal simply ends
    // the program, as it should during a listing.
    SignalWatcher signalWatcher;
    HeadlessRun run;
    QObject::connect(&signalWatcher, &SignalWatcher::received, &run, &HeadlessRun::abort);
    QObject::connect(&run, &HeadlessRun::finished, &application, &QCoreApplication::exit);
    QTimer::singleShot(0, &run, [&] { run.start(positional.first()); });
    return application.exec();
}
