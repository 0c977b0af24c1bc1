// The calibration history: every run's record, appended whole and synced to a journal in the
// user's data folder, so that which controller was calibrated, from where, when and with what
// result outlives the window and the terminal.
#pragma once

#include "runrecordsink.h"

#include <QString>

class HistoryJournal : public RunRecordSink
{
public:
    // A journal that would grow past this size is renamed to its previous generation (one is
    // kept) and started anew.
    static constexpr qint64 RotationSize = 10 * 1024 * 1024;

    // $XDG_DATA_HOME/vkr-calibrator/history.jsonl, by default under ~/.local/share.
    static QString defaultPath();
    // The generation before the journal at path.
    static QString previousGeneration(const QString& path);
    // Whether VKR_NO_HISTORY turns the journal off (any value but empty and 0).
    static bool disabledByEnvironment();

    explicit HistoryJournal(const QString& path = defaultPath(), qint64 rotationSize = RotationSize);

    QString path() const override { return journalPath; }

    // Appends the run's object and syncs it. False, with the reason, when the journal could not be
    // written; the journal is then left as it was.
    bool append(const RunRecord& record, QString& error) override;
    // For a program that goes on after a journal it cannot write and says so once: appends, unless
    // VKR_NO_HISTORY turns the journal off, and is true only for its first failure, with the reason.
    bool appendFailsFirstTime(const RunRecord& record, QString& error);

private:
    // Renames a journal that has no room left for a line of the given size.
    void rotateIfFull(qint64 lineSize);

    const QString journalPath;
    const qint64 rotationSize;
    bool failedBefore = false;
};
