#include "historyjournal.h"

#include "durablelinefile.h"
#include "runrecordjson.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <cstdio>

namespace {

// Other programs append within milliseconds; a lock held longer belongs to one that hangs, and the
// line then goes in without the rotation check rather than not at all.
constexpr int LockWaitMs = 2000;

} // namespace

QString HistoryJournal::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/vkr-calibrator/history.jsonl");
}

QString HistoryJournal::previousGeneration(const QString& path)
{
    return path + QStringLiteral(".1");
}

bool HistoryJournal::disabledByEnvironment()
{
    const QByteArray value = qgetenv("VKR_NO_HISTORY");
    return !value.isEmpty() && value != "0";
}

HistoryJournal::HistoryJournal(const QString& path, qint64 rotationSize)
    : journalPath(path), rotationSize(rotationSize)
{
}

bool HistoryJournal::append(const RunRecord& record, QString& error)
{
    const QByteArray line = RunRecordJson::toLine(record);

    const QString folder = QFileInfo(journalPath).absolutePath();
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    // Several programs may end runs at once; the lock keeps a rotation from renaming the journal
    // between another's size check and its append.
    QLockFile lock(journalPath + QStringLiteral(".lock"));
    if (lock.tryLock(LockWaitMs))
        rotateIfFull(line.size());

    DurableLineFile file;
    std::string reason;
    if (file.open(QFile::encodeName(journalPath).toStdString(), reason) &&
        file.append(line.toStdString(), reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

bool HistoryJournal::appendFailsFirstTime(const RunRecord& record, QString& error)
{
    if (disabledByEnvironment() || append(record, error) || failedBefore)
        return false;
    failedBefore = true;
    return true;
}

void HistoryJournal::rotateIfFull(qint64 lineSize)
{
    const QFileInfo journal(journalPath);
    if (!journal.isFile() || journal.size() == 0 || journal.size() + lineSize <= rotationSize)
        return;
    const QByteArray from = QFile::encodeName(journalPath);
    const QByteArray to = QFile::encodeName(previousGeneration(journalPath));
    // rename() replaces the old generation at once where the system can (everywhere but Windows).
    if (std::rename(from.constData(), to.constData()) != 0 && QFile::remove(previousGeneration(journalPath)))
        std::rename(from.constData(), to.constData());
}
