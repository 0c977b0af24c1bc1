// The calibration history: every run's record, appended whole and synced to a journal in the
// user's data folder, so that which controller was calibrated, from where, when and with what
// result outlives the window and the terminal.
#pragma once

#include "durablelinefile.h"
#include "runrecordsink.h"

#include <QString>

class HistoryJournal : public RunRecordSink
{
public:
    // A journal over this size is renamed to its previous generation (one is kept) and started
    // anew before the next run is appended. A run's line is at most RunRecordJson::LineLimit, so no
    // run can push the history out.
    static constexpr qint64 RotationSize = 10 * 1024 * 1024;

    // $XDG_DATA_HOME/vkr-calibrator/history.jsonl, by default under ~/.local/share.
    static QString defaultPath();
    // The generation before the journal at path.
    static QString previousGeneration(const QString& path);
    // Whether VKR_NO_HISTORY turns the journal off (any value but empty and 0).
    static bool disabledByEnvironment();

    // The lock is waited for at most lockWait on each append; a miss is tried again, in full, by
    // the next append.
    explicit HistoryJournal(const QString& path = defaultPath(), qint64 rotationSize = RotationSize,
                            std::chrono::milliseconds lockWait = DurableLineFile::LockWait);

    QString path() const override { return journalPath; }

    // Appends the run's object and syncs it, under the journal's lock, which other programs
    // appending to it take too. False, with the reason, when the journal could not be written; the
    // journal is then left as it was. A journal or previous generation that is no regular file (a
    // FIFO, a device, a folder) is refused at once; a journal locked by a program that hangs is
    // refused when the lock wait has passed.
    bool appendAll(const QVector<RunRecord>& records, QString& error) override;

private:
    // Renames the locked journal to its previous generation; false, with the reason, when that
    // generation is no regular file or the rename failed.
    bool rotate(QString& error);

    const QString journalPath;
    const qint64 rotationSize;
    const std::chrono::milliseconds lockWait;
};
