// Reads the calibration history back: the previous generation first, then the journal, each run's
// line as it was written, in the order the runs ended. Runs are handed over one at a time as they
// are read, and lines that are no run's record (torn by a crash, written by something else, or
// longer than any record this tool writes) are skipped, each of the first ones with a warning, so
// that memory stays bounded whatever the files hold.
#pragma once

#include "runrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

class HistoryReader
{
public:
    // Longer lines are no run's record (the tool writes at most 64 KiB); they are skipped, with a
    // warning, without being held in memory.
    static constexpr qint64 LineLimit = 1024 * 1024;
    // The skipped lines that each get a warning; the others are only counted (skippedLines()).
    static constexpr int WarningsShown = 10;

    struct Entry
    {
        QByteArray line; // as written, without its line feed
        RunRecord record;
    };

    // Runs started at since or later (none when invalid) on one of the locators (any when empty).
    struct Filter
    {
        QDateTime since;
        QStringList locators;
    };

    using EntryHandler = std::function<void(Entry&& entry)>;
    // One line for a skipped line, naming its file and line number.
    using WarningHandler = std::function<void(const QString& warning)>;

    explicit HistoryReader(const QString& journalPath);

    // Hands every matching run to onEntry and the first WarningsShown skipped lines to onWarning,
    // as they are read. False, with the reason, when a file that exists could not be read; a
    // journal that does not exist yet holds no runs.
    bool read(const Filter& filter, const EntryHandler& onEntry, const WarningHandler& onWarning,
              QString& error);
    // The lines skipped by the last read, warned of or not.
    qint64 skippedLines() const { return skipped; }

private:
    bool readFile(const QString& path, const Filter& filter, const EntryHandler& onEntry,
                  const WarningHandler& onWarning, QString& error);

    const QString journalPath;
    qint64 skipped = 0;
};
