// vkr-calibrate: runs calibrations from the command line, lists the controllers found, or prints
// the calibration history. main() reads the command line and hands it to its mode.
#include "argumenttext.h"
#include "calibratemode.h"
#include "calibrationbatch.h"
#include "exitstatus.h"
#include "fileidentity.h"
#include "historymode.h"
#include "openfilelimit.h"
#include "options.h"
#include "signalwatcher.h"
#include "standardoutput.h"
#include "threadlimit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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

// Reads the command line into options. Returns -1 when a mode is to run, else the exit status of
// what was done instead: help, the version, or a usage error.
int readCommandLine(int argc, char* argv[], int defaultJobs, Options& options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Calibrates the position sensors of every channel of a VKR controller and prints the log.\n"
        "Several controllers are calibrated side by side; each log line then starts with [LOCATOR].\n\n"
        "Exit status (the largest of the runs'): 0 calibrated without errors, 1 calibrated with errors, "
        "2 a controller could not be opened, 3 aborted (a third signal ends the program at once), 64 "
        "usage error, 69 --list without the controller libraries, 74 standard output, the report or "
        "the history could not be written, or the history could not be read."));
    // Not addHelpOption(): it also offers --help-all for Qt's own options, which a program without
    // a window does not take.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Displays help on commandline options."));
    parser.addOption(helpOption);
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
    const QCommandLineOption jobsOption(
        QStringLiteral("jobs"),
        QStringLiteral("Calibrate at most N controllers at the same time; the others start as runs end "
                       "(default here: %1, from the open file and thread limits).")
            .arg(defaultJobs),
        QStringLiteral("N"));
    parser.addOption(jobsOption);
    const QCommandLineOption noHistoryOption(
        QStringLiteral("no-history"),
        QStringLiteral("Do not add the runs to the calibration history (VKR_NO_HISTORY=1 does the same)."));
    parser.addOption(noHistoryOption);
    const QCommandLineOption historyOption(
        QStringLiteral("history"),
        QStringLiteral("Print the calibration history, newest run last, and exit; with locators, only "
                       "their runs."));
    parser.addOption(historyOption);
    const QCommandLineOption sinceOption(
        QStringLiteral("since"),
        QStringLiteral("With --history: only the runs started on DATE (YYYY-MM-DD, YYYY-MM-DDTHH:MM or "
                       "YYYY-MM-DDTHH:MM:SS) or later, local time."),
        QStringLiteral("DATE"));
    parser.addOption(sinceOption);
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("With --history: print the runs' records as they are stored "
                                               "(JSON Lines)."));
    parser.addOption(jsonOption);
    const QCommandLineOption lastOption(QStringLiteral("last"),
                                        QStringLiteral("With --history: only the last N runs that match."),
                                        QStringLiteral("N"));
    parser.addOption(lastOption);
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
    for (const QString& given : positional) {
        // Blanks around a locator (pasted from a file, typed by accident) are never part of it.
        options.locators << given.trimmed();
        if (options.locators.last().isEmpty())
            return usageError(QStringLiteral("a locator is blank"));
    }
    if (parser.isSet(historyOption)) {
        options.mode = Options::Mode::History;
        for (const QCommandLineOption* other : {&listOption, &reportOption, &recordOption, &jobsOption}) {
            if (parser.isSet(*other))
                return usageError(QStringLiteral("--history takes no --%1").arg(other->names().constFirst()));
        }
        for (const QCommandLineOption* once : {&sinceOption, &lastOption}) {
            if (parser.values(*once).size() > 1)
                return usageError(
                    QStringLiteral("--%1 is given more than once").arg(once->names().constFirst()));
        }
        if (parser.isSet(sinceOption)) {
            options.since = Options::sinceTime(parser.value(sinceOption));
            if (!options.since.isValid())
                return usageError(
                    QStringLiteral("--since takes a date such as 2026-12-31, 2026-12-31T14:30 or "
                                   "2026-12-31T14:30:05, not '%1'")
                        .arg(ArgumentText::shown(parser.value(sinceOption))));
        }
        if (parser.isSet(lastOption)) {
            bool number = false;
            options.last = parser.value(lastOption).toInt(&number);
            if (!number || *options.last < 1)
                return usageError(QStringLiteral("--last takes a number from 1 up, not '%1'")
                                      .arg(ArgumentText::shown(parser.value(lastOption))));
        }
        options.json = parser.isSet(jsonOption);
        return -1;
    }
    for (const QCommandLineOption* historyOnly : {&sinceOption, &jsonOption, &lastOption}) {
        if (parser.isSet(*historyOnly))
            return usageError(
                QStringLiteral("--%1 goes with --history").arg(historyOnly->names().constFirst()));
    }
    const bool listing = parser.isSet(listOption);
    if (listing && !positional.isEmpty())
        return usageError(QStringLiteral("--list takes no locator"));
    if (!listing && positional.isEmpty())
        return usageError(QStringLiteral("no locator given"));
    // One recording holds one conversation: controllers side by side would interleave theirs.
    if (parser.isSet(recordOption) && options.locators.size() > 1)
        return usageError(QStringLiteral("--record takes one locator"));
    const QString problem = optionProblem(parser, reportOption, recordOption, jobsOption);
    if (!problem.isEmpty())
        return usageError(problem);
    options.mode = listing ? Options::Mode::List : Options::Mode::Calibrate;
    options.debug = parser.isSet(debugOption);
    // A listing writes no report.
    options.report = listing ? QString() : parser.value(reportOption);
    options.record = parser.value(recordOption);
    options.jobs = parser.isSet(jobsOption) ? parser.value(jobsOption).toInt() : defaultJobs;
    options.noHistory = parser.isSet(noHistoryOption);
    return -1;
}

} // namespace

int main(int argc, char* argv[])
{
    // A closed pipe or a file size limit reached stops the run properly through the failed write
    // (a lost log aborts the runs), or costs the line that could not be written; never the program.
    SignalWatcher::makeWriteFailuresErrors();
    SignalWatcher::endOnTerminationSignals();
    // Many controllers side by side each hold a port and their thread's descriptors.
    const std::uint64_t openFileLimit = OpenFileLimit::raiseToHardLimit();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkr-calibrate"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VKR_VERSION));

    Options options;
    const int answered = readCommandLine(
        argc, argv, CalibrationBatch::defaultJobs(openFileLimit, ThreadLimit::estimate()), options);
    if (answered >= 0)
        return answered;
    switch (options.mode) {
    case Options::Mode::History:
        return HistoryMode::run(options);
    case Options::Mode::List:
        return CalibrateMode::list(options);
    case Options::Mode::Calibrate:
        break;
    }
    return CalibrateMode::calibrate(options, application, openFileLimit);
}
