#include "historyreader.h"

#include "historyjournal.h"
#include "runrecordjson.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <cstring>
#include <vector>

namespace {

// The record a line stands for, or nothing when it is not a run's record.
bool parseRecord(const QByteArray& line, HistoryReader::Entry& entry)
{
    QJsonParseError problem;
    const QJsonDocument document = QJsonDocument::fromJson(line, &problem);
    if (problem.error != QJsonParseError::NoError || !document.isObject())
        return false;
    return RunRecordJson::fromJson(document.object(), entry.record);
}

bool matches(const HistoryReader::Entry& entry, const HistoryReader::Filter& filter)
{
    if (filter.since.isValid() && entry.record.started < filter.since)
        return false;
    return filter.locators.isEmpty() || filter.locators.contains(entry.record.locator);
}

} // namespace

HistoryReader::HistoryReader(const QString& journalPath) : journalPath(journalPath) {}

bool HistoryReader::read(const Filter& filter, const EntryHandler& onEntry, const WarningHandler& onWarning,
                         QString& error)
{
    skipped = 0;
    return readFile(HistoryJournal::previousGeneration(journalPath), filter, onEntry, onWarning, error) &&
           readFile(journalPath, filter, onEntry, onWarning, error);
}

bool HistoryReader::readFile(const QString& path, const Filter& filter, const EntryHandler& onEntry,
                             const WarningHandler& onWarning, QString& error)
{
    const QFileInfo info(path);
    if (!info.exists())
        return true;
    QFile file(path);
    // Only a regular file is read: a FIFO would wait for a writer, a device might never end.
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2")
                    .arg(path, info.isDir()     ? QStringLiteral("it is a folder")
                               : !info.isFile() ? QStringLiteral("it is not a regular file")
                                                : file.errorString());
        return false;
    }
    const auto skip = [&](qint64 number, const QString& why) {
        if (++skipped <= WarningsShown)
            onWarning(QStringLiteral("%1, line %2: %3, skipped").arg(path).arg(number).arg(why));
    };
    // One buffer for every line: a line is copied out at its own size.
    std::vector<char> buffer(std::size_t(LineLimit) + 2);
    for (qint64 number = 1; !file.atEnd(); ++number) {
        const qint64 size = file.readLine(buffer.data(), qint64(buffer.size()));
        if (size < 0)
            break;
        const bool whole = size > 0 && buffer[std::size_t(size - 1)] == '\n';
        if (!whole && size > LineLimit) {
            // The rest of an overlong line is passed over in pieces, up to its line feed.
            for (qint64 piece; (piece = file.read(buffer.data(), qint64(buffer.size()))) > 0;) {
                const auto* end =
                    static_cast<const char*>(std::memchr(buffer.data(), '\n', std::size_t(piece)));
                if (end) {
                    file.seek(file.pos() - (piece - (end - buffer.data() + 1)));
                    break;
                }
            }
            skip(number, QStringLiteral("longer than 1 MiB, which no run's record is"));
            continue;
        }
        Entry entry;
        const QByteArray line(buffer.data(), int(whole ? size - 1 : size));
        if (!parseRecord(line, entry)) {
            skip(number, QStringLiteral("not a run's record"));
            continue;
        }
        if (matches(entry, filter)) {
            entry.line = line;
            onEntry(std::move(entry));
        }
    }
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
