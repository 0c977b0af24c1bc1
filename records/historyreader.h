// Reads the calibration history back: the previous generation first, then the journal, each run's
// line as it was written, in the order the runs ended. Lines that are no run's record (torn by a
// crash, or written by something else) are skipped, each with a warning.
#pragma once

#include "runrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringList>
#include <QVector>

class HistoryReader
{
public:
    // Longer lines are no run's record; they are skipped without being held in memory.
    static constexpr qint64 LineLimit = 1024 * 1024;

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

    explicit HistoryReader(const QString& journalPath);

    // The matching runs. False, with the reason, when a file that exists could not be read; a
    // journal that does not exist yet holds no runs.
    bool read(const Filter& filter, QVector<Entry>& entries, QString& error);
    // One line for each line that was skipped, naming its file and line number.
    QStringList warnings() const { return skipped; }

private:
    bool readFile(const QString& path, const Filter& filter, QVector<Entry>& entries, QString& error);

    const QString journalPath;
    QStringList skipped;
};
