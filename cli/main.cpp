// vkr-calibrate: runs one calibration from the command line, or lists the controllers found.
#include "argumenttext.h"
#include "calibrationbatch.h"
#include "controllerdiscovery.h"
#include "controllerlibrary.h"
#include "conversationrecorder.h"
#include "exitstatus.h"
#include "fileidentity.h"
#include "historyjournal.h"
#include "historyreader.h"
#include "historytable.h"
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

// The calibration history, as a table or as its JSON lines: newest last, only the runs that match.
int showHistory(const HistoryReader::Filter& filter, bool json)
{
    const QString path = HistoryJournal::defaultPath();
    HistoryReader reader(path);
    QVector<HistoryReader::Entry> entries;
    QString error;
    const bool read = reader.read(filter, entries, error);
    for (const QString& warning : reader.warnings())
        std::fprintf(stderr, "vkr-calibrate: %s\n", qPrintable(ArgumentText::shown(warning)));
    if (!read) {
        std::fprintf(stderr, "vkr-calibrate: %s\n", qPrintable(ArgumentText::shown(error)));
        return OutputFailed;
    }
    if (json) {
        QByteArray lines;
        for (const HistoryReader::Entry& entry : entries)
            lines += entry.line + '\n';
        StandardOutput output;
        return output.write(lines) ? 0 : OutputFailed;
    }
    if (entries.isEmpty()) {
        const bool filtered = filter.since.isValid() || !filter.locators.isEmpty();
        return answer(QStringLiteral("No calibration %1 in the history (%2).\n")
                          .arg(filtered ? QStringLiteral("matches") : QStringLiteral("is recorded"),
                               ArgumentText::shown(path)));
    }
    return answer(HistoryTable::format(entries));
}

// --since's date (local midnight) or local date and time; invalid when it is neither.
QDateTime sinceTime(const QString& text)
{
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid())
        return date.startOfDay();
    return QDateTime::fromString(text, Qt::ISODate);
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
#ifdef SIGXFSZ
    // A file size limit (ulimit -f) reached by the report, the history or the recording is a
    // failed write that each of them takes back and reports, not the end of the program with a
    // torn line left behind.
    std::signal(SIGXFSZ, SIG_IGN);
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
        "could not be written, or the history could not be read."));
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
    const int defaultJobs = CalibrationBatch::defaultJobs(openFileLimit);
    const QCommandLineOption jobsOption(
        QStringLiteral("jobs"),
        QStringLiteral("Calibrate at most N controllers at the same time; the others start as runs end "
                       "(default here: %1, from the open file limit).")
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
        QStringLiteral("With --history: only the runs started on DATE (YYYY-MM-DD, or YYYY-MM-DDTHH:MM) or "
                       "later, local time."),
        QStringLiteral("DATE"));
    parser.addOption(sinceOption);
    const QCommandLineOption jsonOption(
        QStringLiteral("json"), QStringLiteral("With --history: print the runs' records as they are stored "
                                               "(JSON Lines)."));
    parser.addOption(jsonOption);
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
    if (parser.isSet(historyOption)) {
        for (const QCommandLineOption* other : {&listOption, &reportOption, &recordOption, &jobsOption}) {
            if (parser.isSet(*other))
                return usageError(QStringLiteral("--history takes no --%1").arg(other->names().constFirst()));
        }
        HistoryReader::Filter filter;
        filter.locators = positional;
        if (parser.isSet(sinceOption)) {
            filter.since = sinceTime(parser.value(sinceOption));
            if (!filter.since.isValid())
                return usageError(QStringLiteral("--since takes a date such as 2026-12-31, not '%1'")
                                      .arg(ArgumentText::shown(parser.value(sinceOption))));
        }
        return showHistory(filter, parser.isSet(jsonOption));
    }
    for (const QCommandLineOption* historyOnly : {&sinceOption, &jsonOption}) {
        if (parser.isSet(*historyOnly))
            return usageError(
                QStringLiteral("--%1 goes with --history").arg(historyOnly->names().constFirst()));
    }
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
    // over this.
    if (parser.isSet(debugOption))
        QLoggingCategory::setFilterRules(QStringLiteral("vkr.serial.debug=true"));

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
    HistoryJournal history(HistoryJournal::Source::CommandLine);
    CalibrationBatch batch(
        locators, parser.isSet(jobsOption) ? parser.value(jobsOption).toInt() : defaultJobs,
        parser.isSet(reportOption) ? &report : nullptr, parser.isSet(noHistoryOption) ? nullptr : &history);
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
