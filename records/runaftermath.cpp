#include "runaftermath.h"

#include "historyjournal.h"

#include <QDateTime>

std::shared_ptr<RunRecordSink> RunAftermath::defaultHistory()
{
    if (HistoryJournal::disabledByEnvironment())
        return nullptr;
    return std::make_shared<HistoryJournal>();
}

RunAftermath::RunAftermath(std::shared_ptr<RunRecordSink> history, std::shared_ptr<RunRecordSink> report)
    : history(std::move(history)), report(std::move(report))
{
    // Qt sets up what it formats dates with on first use, and two writers formatting their first
    // records at once were seen to write a run with empty times ("started": ""), which no reader
    // takes. A date formatted here, before the writers' threads exist, sets it up for them.
    QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    if (this->history)
        historyWriter = std::make_unique<JournalWriter>(this->history);
    if (this->report)
        reportWriter = std::make_unique<JournalWriter>(this->report);
}

void RunAftermath::keep(const RunRecord& record)
{
    if (reportWriter)
        reportWriter->append(record);
    if (historyWriter)
        historyWriter->append(record);
}

void RunAftermath::setFailureNotifier(const std::function<void()>& notifier)
{
    if (reportWriter)
        reportWriter->setFailureNotifier(notifier);
    if (historyWriter)
        historyWriter->setFailureNotifier(notifier);
}

std::optional<QString> RunAftermath::take(JournalWriter* writer)
{
    const QStringList lines = writer ? writer->takeNotWritten() : QStringList();
    if (lines.isEmpty())
        return std::nullopt;
    return lines.join(QLatin1Char('\n'));
}

std::optional<QString> RunAftermath::takeFailure()
{
    return take(historyWriter.get());
}

std::optional<QString> RunAftermath::takeReportFailure()
{
    return take(reportWriter.get());
}

bool RunAftermath::isFailing()
{
    return historyWriter && historyWriter->isFailing();
}

int RunAftermath::reportRecordsLost()
{
    return reportWriter ? reportWriter->notWrittenCount() : 0;
}

int RunAftermath::historyRecordsLost()
{
    return historyWriter ? historyWriter->notWrittenCount() : 0;
}

bool RunAftermath::waitUntilWritten(std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                     std::chrono::steady_clock::now());
    };
    const bool reportDone = !reportWriter || reportWriter->waitUntilWritten(left());
    return reportDone && (!historyWriter || historyWriter->waitUntilWritten(left()));
}

QString RunAftermath::historyPath() const
{
    return history ? history->path() : HistoryJournal::defaultPath();
}

QString RunAftermath::reportPath() const
{
    return report ? report->path() : QString();
}
