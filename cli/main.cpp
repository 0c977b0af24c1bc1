// vkr-calibrate: runs one calibration from the command line, or lists the controllers found.
#include "argumenttext.h"
#include "calibrationbatch.h"
#include "controllerdiscovery.h"
#include "controllerlibrary.h"
#include "conversationrecorder.h"
#include "exitstatus.h"
#include "fileidentity.h"
#include "openfilelimit.h"
#include "recordingcontrollerlibrary.h"
#include "reportfile.h"
#include "signalwatcher.h"
#include "standardoutput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>

namespace {

// Writes text that is the whole of the program's answer (help, version, locator list): 0, or
// the output failure's status when it could not be written.
int answer(const QString& text)
{
    StandardOutput output;
    return output.write(text.toUtf8()) ? 0 : OutputFailed;
}

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

// What is wrong with the options that name files or a number, before anything is opened; empty when
// nothing is. An option given twice would leave one of its values unused; the report and the
// recording in one file would spoil both (the recording is created anew, the report appended to).
QString optionProblem(const QCommandLineParser& parser, const QCommandLineOption& report,
                      const QCommandLineOption& record, const QCommandLineOption& jobs)
{
    for (const QCommandLineOption* option : {&report, &record, &jobs}) {
        if (parser.values(*option).size() > 1)
            return QStringLiteral("--%1 is given more than once").arg(option->names().constFirst());
    }
    if (parser.isSet(report) && parser.isSet(record) &&
        FileIdentity(parser.value(report)) == FileIdentity(parser.value(record)))
        return QStringLiteral("--report and --record name the same file (%1, %2)")
            .arg(ArgumentText::shown(parser.value(report)), ArgumentText::shown(parser.value(record)));
    if (parser.isSet(jobs)) {
        bool number = false;
        if (parser.value(jobs).toInt(&number) < 1 || !number)
            return QStringLiteral("--jobs takes a number from 1 up, not '%1'")
                .arg(ArgumentText::shown(parser.value(jobs)));
    }
    return QString();
}

} // namespace

int main(int argc, char* argv[])
{
#ifdef SIGPIPE
    // A reader that went away is noticed as a failed write, which stops the run properly.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Many controllers side by side each hold a port and their thread's descriptors.
    const std::uint64_t openFileLimit = OpenFileLimit::raiseToHardLimit();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkr-calibrate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Calibrates the position sensors of every channel of a VKR controller and prints the log.\n"
        "Several controllers are calibrated side by side; each log line then starts with [LOCATOR].\n\n"
        "Exit status (the largest of the runs'): 0 calibrated without errors, 1 calibrated with errors, "
        "2 a controller could not be opened, 3 aborted (a third signal ends the program at once), 64 "
        "usage error, 69 --list without the controller libraries, 74 standard output or the report "
        "could not be written."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption listOption(QStringLiteral("list"),
                                        QStringLiteral("List the locators found and exit."));
    parser.addOption(listOption);
    const QCommandLineOption debugOption(
        QStringLiteral("debug"),
        QStringLiteral("Log every command sent to a serial controller on standard error."));
    parser.addOption(debugOption);
    const QCommandLineOption reportOption(
        QStringLiteral("report"), QStringLiteral("Append one JSON object per run to FILE (JSON Lines)."),
        QStringLiteral("FILE"));
    parser.addOption(reportOption);
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Record the conversation with the controller in FILE (JSON Lines), for replaying it."),
        QStringLiteral("FILE"));
    parser.addOption(recordOption);
    const int defaultJobs = CalibrationBatch::defaultJobs(openFileLimit);
    const QCommandLineOption jobsOption(
        QStringLiteral("jobs"),
        QStringLiteral("Calibrate at most N controllers at the same time; the others start as runs end "
                       "(default here: %1, from the open file limit).")
            .arg(defaultJobs),
        QStringLiteral("N"));
    parser.addOption(jobsOption);
    parser.addPositionalArgument(QStringLiteral("LOCATOR"), QStringLiteral("The controllers to calibrate."),
                                 QStringLiteral("LOCATOR..."));

    // The arguments with every byte the user gave, so that a locator which is not UTF-8 (or holds
    // control characters) is shown as it is rather than with U+FFFD in place of its bytes.
    if (!parser.parse(ArgumentText::fromCommandLine(argc, argv)))
        return usageError(parser.errorText());
    if (parser.isSet(helpOption))
        return answer(parser.helpText());
    if (parser.isSet(versionOption))
        return answer(QCoreApplication::applicationName() + QLatin1Char(' ') +
                      QCoreApplication::applicationVersion() + QLatin1Char('\n'));

    const QStringList positional = parser.positionalArguments();
    const bool listing = parser.isSet(listOption);
    if (listing && !positional.isEmpty())
        return usageError(QStringLiteral("--list takes no locator"));
    if (!listing && positional.isEmpty())
        return usageError(QStringLiteral("no locator given"));
    QStringList locators;
    for (const QString& given : positional) {
        // Blanks around a locator (pasted from a file, typed by accident) are never part of it.
        locators << given.trimmed();
        if (locators.last().isEmpty())
            return usageError(QStringLiteral("a locator is blank"));
    }
    // One recording holds one conversation: controllers side by side would interleave theirs.
    if (parser.isSet(recordOption) && locators.size() > 1)
        return usageError(QStringLiteral("--record takes one locator"));
    const QString problem = optionProblem(parser, reportOption, recordOption, jobsOption);
    if (!problem.isEmpty())
        return usageError(problem);
    ReportFile report;
    if (!listing && parser.isSet(reportOption)) {
        QString error;
        if (!report.open(parser.value(reportOption), error))
            return usageError(
                QStringLiteral("cannot write the report %1: %2").arg(parser.value(reportOption), error));
    }
    ConversationRecorder recorder;
    RecordingControllerLibrary recordingLibrary(ControllerLibrary::instance(), recorder);
    if (parser.isSet(recordOption)) {
        QString error;
        if (!recorder.open(parser.value(recordOption), QCoreApplication::applicationName(),
                           QCoreApplication::applicationVersion(), error))
            return usageError(
                QStringLiteral("cannot write the recording %1: %2").arg(parser.value(recordOption), error));
        ConversationRecorder::install(&recorder);
        ControllerLibrary::setInstance(&recordingLibrary);
    }
    // Every way out from here on writes what the recording still holds, also after an abort.
    const auto finishRecording = [&](int status) {
        ControllerLibrary::setInstance(nullptr);
        ConversationRecorder::install(nullptr);
        QString error;
        if (recorder.finish(error))
            return status;
        std::fprintf(stderr, "vkr-calibrate: cannot write the recording: %s\n", qPrintable(error));
        return std::max(status, int(OutputFailed));
    };
    if (listing)
        return finishRecording(listLocators());

    // The command lines sent are for whoever looks into a fault; QT_LOGGING_RULES still decides
    // over this default.
    if (!parser.isSet(debugOption))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    // Ctrl+C, SIGTERM and a lost terminal ask every run to stop; each stops its calibrating
    // channel and closes its connection before the program ends. A second signal asks again and
    // does not cut a run short; a third ends the program at once, for a run stuck in a library call
    // that would otherwise keep it waiting. Installed before anything can start a run; until here
    // a signal simply ends the program, as it should during a listing.
    SignalWatcher signalWatcher(SignalWatcher::EndAtOnce{
        3,
        "vkr-calibrate: ended on a third signal without waiting for the runs to stop; the controller "
        "may still be calibrating\n",
        Aborted});
    CalibrationBatch batch(locators,
                           parser.isSet(jobsOption) ? parser.value(jobsOption).toInt() : defaultJobs,
                           parser.isSet(reportOption) ? &report : nullptr);
    // The abort is noted before the runs are told, so that it comes before the stop it causes; what
    // was recorded up to it goes to the file now, ahead of its regular write.
    QObject::connect(&signalWatcher, &SignalWatcher::received, &batch, [&] {
        recorder.abortRequested();
        recorder.flushNow();
    });
    QObject::connect(&signalWatcher, &SignalWatcher::received, &batch, &CalibrationBatch::abort);
    QObject::connect(&batch, &CalibrationBatch::finished, &application, &QCoreApplication::exit);
    QTimer::singleShot(0, &batch, [&] { batch.start(); });
    const int status = application.exec();
    return finishRecording(status);
}
