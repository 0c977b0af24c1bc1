#include "historyloader.h"

#include "historyreader.h"

HistoryLoader::HistoryLoader(const QString& journalPath, QObject* parent)
    : QObject(parent), journalPath(journalPath)
{
}

HistoryLoader::~HistoryLoader()
{
    if (reader.joinable())
        reader.join();
}

void HistoryLoader::load()
{
    if (reading) {
        again = true;
        return;
    }
    if (reader.joinable())
        reader.join(); // ended: its result has been delivered
    reading = true;
    reader = std::thread([this] {
        Result read;
        HistoryReader history(journalPath);
        history.read(
            HistoryReader::Filter(), [&read](HistoryReader::Entry&& entry) { read.runs << entry.record; },
            [&read](const QString& warning) { read.warnings << warning; }, read.error);
        if (history.skippedLines() > read.warnings.size())
            read.warnings << tr("%n line(s) skipped in all", nullptr, int(history.skippedLines()));
        {
            const std::lock_guard<std::mutex> lock(resultMutex);
            result = std::move(read);
        }
        // By name: a functor would be built here and read in the receiving thread, a hand-over
        // inside Qt's event queue that ThreadSanitizer cannot see; the result itself is under the lock.
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    });
}

void HistoryLoader::deliver()
{
    Result delivered;
    {
        const std::lock_guard<std::mutex> lock(resultMutex);
        delivered = std::move(result);
    }
    reading = false;
    if (again) {
        again = false;
        load();
    }
    emit loaded(delivered.runs, delivered.warnings, delivered.error);
}

#include "moc_historyloader.cpp"
