#include "historymode.h"

#include "argumenttext.h"
#include "exitstatus.h"
#include "historyjournal.h"
#include "historyreader.h"
#include "historytable.h"
#include "standardoutput.h"

#include <QVector>
#include <cstdio>
#include <deque>

namespace {

void warn(const QString& text)
{
    std::fprintf(stderr, "vkr-calibrate: %s\n", qPrintable(ArgumentText::shown(text)));
}

} // namespace

int HistoryMode::run(const Options& options)
{
    const QString path = HistoryJournal::defaultPath();
    HistoryReader reader(path);
    HistoryReader::Filter filter{options.since, options.locators};
    StandardOutput output;
    // With --json and no --last the lines go out as they are read; otherwise only the runs shown
    // are held: the last N, or those of the table.
    const bool streaming = options.json && !options.last;
    std::deque<HistoryReader::Entry> held;
    qint64 matched = 0;
    const auto take = [&](HistoryReader::Entry&& entry) {
        ++matched;
        if (streaming) {
            output.write(entry.line + '\n');
            return;
        }
        if (!options.json)
            entry.line.clear();
        held.push_back(std::move(entry));
        if (options.last && held.size() > std::size_t(*options.last))
            held.pop_front();
    };
    QString error;
    const bool read = reader.read(filter, take, warn, error);
    if (reader.skippedLines() > HistoryReader::WarningsShown)
        warn(QStringLiteral("%1 more lines that are no run's record were skipped")
                 .arg(reader.skippedLines() - HistoryReader::WarningsShown));
    if (!read) {
        warn(error);
        return OutputFailed;
    }
    if (options.json) {
        for (const HistoryReader::Entry& entry : held)
            output.write(entry.line + '\n');
        return output.failed() ? OutputFailed : 0;
    }
    if (matched == 0) {
        const bool filtered = options.since.isValid() || !options.locators.isEmpty();
        const QString text = QStringLiteral("No calibration %1 in the history (%2).\n")
                                 .arg(filtered ? QStringLiteral("matches") : QStringLiteral("is recorded"),
                                      ArgumentText::shown(path));
        return output.write(text.toUtf8()) ? 0 : OutputFailed;
    }
    return output.write(
               HistoryTable::format(QVector<HistoryReader::Entry>(held.begin(), held.end())).toUtf8())
               ? 0
               : OutputFailed;
}
