// Reads the calibration history on a thread of its own, so that a long journal or a slow disk
// never stalls the window; the runs come back through loaded(), in the loader's thread.
#pragma once

#include "runrecord.h"

#include <QObject>
#include <QStringList>
#include <mutex>
#include <thread>

class HistoryLoader : public QObject
{
    Q_OBJECT

public:
    explicit HistoryLoader(const QString& journalPath, QObject* parent = nullptr);
    // Waits for a read that is going on.
    ~HistoryLoader() override;

    // Reads the journal and its previous generation. A request during a read is carried out
    // once that read has ended, so the last request always sees the journal as it is.
    void load();

signals:
    // The runs in the journal's order; warnings name the lines skipped, error a file that could
    // not be read (with the runs read before it).
    void loaded(const QVector<RunRecord>& runs, const QStringList& warnings, const QString& error);

private slots:
    void deliver();

private:
    struct Result
    {
        QVector<RunRecord> runs;
        QStringList warnings;
        QString error;
    };
    const QString journalPath;
    std::thread reader;
    bool reading = false;
    bool again = false;
    // Written by the reading thread, taken by this object's thread; the lock hands it over.
    std::mutex resultMutex;
    Result result;
};
