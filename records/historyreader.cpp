#include "historyreader.h"

#include "historyjournal.h"
#include "runrecordjson.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

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

bool HistoryReader::read(const Filter& filter, QVector<Entry>& entries, QString& error)
{
    skipped.clear();
    return readFile(HistoryJournal::previousGeneration(journalPath), filter, entries, error) &&
           readFile(journalPath, filter, entries, error);
}

bool HistoryReader::readFile(const QString& path, const Filter& filter, QVector<Entry>& entries,
                             QString& error)
{
    const QFileInfo info(path);
    if (!info.exists())
        return true;
    QFile file(path);
    if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2")
                    .arg(path, info.isDir() ? QStringLiteral("it is a folder") : file.errorString());
        return false;
    }
    for (qint64 number = 1; !file.atEnd(); ++number) {
        QByteArray line = file.readLine(LineLimit + 2);
        bool whole = line.endsWith('\n');
        if (!whole && line.size() > LineLimit) {
            // The rest of an overlong line is passed over in pieces.
            while (!file.atEnd() && !file.readLine(LineLimit + 2).endsWith('\n')) {
            }
        }
        if (whole)
            line.chop(1);
        Entry entry;
        if (line.size() > LineLimit || !parseRecord(line, entry)) {
            skipped << QStringLiteral("%1, line %2: not a run's record, skipped").arg(path).arg(number);
            continue;
        }
        if (matches(entry, filter)) {
            entry.line = line;
            entries.append(entry);
        }
    }
    if (file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
