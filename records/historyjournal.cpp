#include "historyjournal.h"

#include "durablelinefile.h"
#include "runrecordjson.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>

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

HistoryJournal::HistoryJournal(const QString& path, qint64 rotationSize, std::chrono::milliseconds lockWait)
    : journalPath(path), rotationSize(rotationSize), lockWait(lockWait)
{
}

bool HistoryJournal::appendAll(const QVector<RunRecord>& records, QString& error)
{
    const std::string lines = RunRecordJson::toLines(records).toStdString();
    const QString folder = QFileInfo(journalPath).absolutePath();
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    const std::string path = QFile::encodeName(journalPath).toStdString();
    std::string reason;
    // Another program may rotate the journal between this open and the lock: the file then no
    // longer has the journal's name, and the journal is opened anew. Twice is plenty: a rotation
    // comes only every RotationSize bytes.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DurableLineFile file;
        if (!file.open(path, DurableLineFile::Accepts::RegularFile, reason) || !file.lock(reason, lockWait))
            break;
        if (!file.stillAt(path))
            continue;
        if (file.size() > rotationSize) {
            if (!rotate(error))
                return false;
            continue; // the lock goes with the old file; the new one is locked in its turn
        }
        if (file.append(lines, reason))
            return true;
        break;
    }
    if (reason.empty())
        reason = "the journal was renamed away again and again";
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

bool HistoryJournal::rotate(QString& error)
{
    const std::string from = QFile::encodeName(journalPath).toStdString();
    const std::string to = QFile::encodeName(previousGeneration(journalPath)).toStdString();
    bool exists = false;
    const FileCalls::Kind kind = FileCalls::kindAt(to, exists);
    if (exists && kind != FileCalls::Kind::Regular) {
        error = QStringLiteral("the previous generation %1 is %2, not a regular file")
                    .arg(previousGeneration(journalPath), QString::fromStdString(FileCalls::kindName(kind)));
        return false;
    }
    if (FileCalls::rename(from, to) == 0)
        return true;
    error =
        QStringLiteral("cannot rename the full journal to %1: %2")
            .arg(previousGeneration(journalPath), QString::fromLocal8Bit(FileCalls::reason(errno).c_str()));
    return false;
}
