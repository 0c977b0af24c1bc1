#include "calibratemode.h"

#include "argumenttext.h"
#include "calibrationbatch.h"
#include "controllerdiscovery.h"
#include "controllerlibrary.h"
#include "conversationrecorder.h"
#include "exitstatus.h"
#include "filecalls.h"
#include "recordingcontrollerlibrary.h"
#include "reportfile.h"
#include "runaftermath.h"
#include "serialport.h"
#include "signalwatcher.h"
#include "standardoutput.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

// The conversation with the controllers, recorded to --record's file while it exists: the
// library's calls go through the recording library, the serial line is observed by the recorder.
class Recording
{
public:
    explicit Recording(const Options& options) : wanted(!options.record.isEmpty()), path(options.record) {}
    ~Recording() { ControllerLibrary::setInstance(nullptr); }

    // False, with the reason, when the file cannot be created.
    bool start(QString& error)
    {
        if (!wanted)
            return true;
        if (!recorder.open(path, QCoreApplication::applicationName(), QCoreApplication::applicationVersion(),
                           error))
            return false;
        ControllerLibrary::setInstance(&library);
        return true;
    }
    ConversationRecorder* observer() { return wanted ? &recorder : nullptr; }
    // Writes what the recording still holds, also after an abort: the status, or OutputFailed
    // when the recording could not be written.
    int finish(int status)
    {
        ControllerLibrary::setInstance(nullptr);
        QString error;
        if (recorder.finish(error))
            return status;
        std::fprintf(stderr, "vkr-calibrate: cannot write the recording: %s\n", qPrintable(error));
        return std::max(status, int(OutputFailed));
    }

private:
    const bool wanted;
    const QString path;
    ConversationRecorder recorder;
    RecordingControllerLibrary library{ControllerLibrary::instance(), recorder};
};

int failedToStart(const QString& problem, int status)
{
    std::fprintf(stderr, "vkr-calibrate: %s\n", qPrintable(problem));
    if (status == UsageError)
        std::fprintf(stderr, "Try 'vkr-calibrate --help' for more information.\n");
    return status;
}

// Runs beyond what the open file limit holds would fail for want of a descriptor, some of them
// where no result code can say so: a larger --jobs is lowered, with a note.
int jobsWithinFileLimit(const Options& options, std::uint64_t openFileLimit)
{
    const int jobs = options.jobs.value_or(1);
    const int room = CalibrationBatch::jobsWithinFileLimit(openFileLimit);
    if (jobs <= room || jobs <= 1 || options.locators.size() <= room)
        return jobs;
    std::fprintf(stderr,
                 "vkr-calibrate: --jobs %d is more than the open file limit (%llu) has room for; %d at a "
                 "time\n",
                 jobs, static_cast<unsigned long long>(openFileLimit), room);
    return room;
}

} // namespace

int CalibrateMode::list(const Options& options)
{
    Recording recording(options);
    QString error;
    if (!recording.start(error))
        return failedToStart(QStringLiteral("cannot write the recording %1: %2").arg(options.record, error),
                             UsageError);
    QString text;
    for (const QString& locator : ControllerDiscovery::findLocators())
        text += locator + QLatin1Char('\n');
    StandardOutput output;
    const int written = output.write(text.toUtf8()) ? 0 : OutputFailed;
    const QString loadError = ControllerLibrary::instance().loadError();
    if (loadError.isEmpty() || written != 0)
        return recording.finish(written);
    std::fprintf(
        stderr,
        "vkr-calibrate: the controller libraries could not be loaded (%s); the list may be incomplete\n",
        qPrintable(loadError));
    return recording.finish(LibrariesMissing);
}

int CalibrateMode::calibrate(const Options& options, QCoreApplication& application,
                             std::uint64_t openFileLimit)
{
    std::shared_ptr<ReportFile> report;
    if (!options.report.isEmpty()) {
        report = std::make_shared<ReportFile>();
        QString error;
        if (!report->open(options.report, error)) {
            // A FIFO that no program reads is no mistake of the command line: its reader is missing.
            bool exists = false;
            const bool fifo = FileCalls::kindAt(QFile::encodeName(options.report).toStdString(), exists) ==
                              FileCalls::Kind::Fifo;
            return failedToStart(QStringLiteral("cannot write the report %1: %2").arg(options.report, error),
                                 fifo ? OutputFailed : UsageError);
        }
    }
    Recording recording(options);
    QString error;
    if (!recording.start(error))
        return failedToStart(QStringLiteral("cannot write the recording %1: %2").arg(options.record, error),
                             UsageError);

    // The command lines sent are for whoever looks into a fault; QT_LOGGING_RULES still decides
    // over this.
    if (options.debug)
        QLoggingCategory::setFilterRules(QStringLiteral("vkr.serial.debug=true"));

    // Ctrl+C, SIGTERM and a lost terminal ask every run to stop; each stops its calibrating
    // channel and closes its connection before the program ends. A second signal asks again and
    // does not cut a run short; a third ends the program at once, for a run stuck in a library call
    // that would otherwise keep it waiting. A write waiting for a report or standard output that
    // nobody reads gives up soon after the first signal. Installed before anything can start a run; until
    // here a signal simply ends the program, as it should during a listing. When the watcher goes, after
    // the runs have ended and their records are written, a signal has nothing left to stop, and is
    // ignored rather than ending the program by the signal, which would lose the status the runs made.
    SignalWatcher signalWatcher(SignalWatcher::EndAtOnce{
        3,
        "vkr-calibrate: ended on a third signal without waiting for the runs to stop; the controller "
        "may still be calibrating\n",
        Aborted, &SerialPort::removeLockFiles, &FileCalls::endWaitingWrites});
    signalWatcher.ignoreWhenGone();
    RunAftermath aftermath(options.noHistory ? nullptr : RunAftermath::defaultHistory(), report);
    CalibrationBatch batch(options.locators, jobsWithinFileLimit(options, openFileLimit), &aftermath,
                           recording.observer());
    // The abort is noted before the runs are told, so that it comes before the stop it causes; what
    // was recorded up to it goes to the file now, ahead of its regular write.
    QObject::connect(&signalWatcher, &SignalWatcher::received, &batch, [&] {
        if (ConversationRecorder* recorder = recording.observer()) {
            recorder->abortRequested();
            recorder->flushNow();
        }
    });
    QObject::connect(&signalWatcher, &SignalWatcher::received, &batch, &CalibrationBatch::abort);
    QObject::connect(&batch, &CalibrationBatch::finished, &application, &QCoreApplication::exit);
    QTimer::singleShot(0, &batch, [&] { batch.start(); });
    return recording.finish(application.exec());
}
