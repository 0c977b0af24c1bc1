// Where a run's record goes when the run has ended: a report file, the calibration history. Every
// front-end takes the record from its worker and hands it to its sinks as it is.
#pragma once

#include "runrecord.h"

#include <QString>
#include <QVector>

class RunRecordSink
{
public:
    virtual ~RunRecordSink() = default;
    // Writes the record whole, and syncs it. False, with the reason, when it could not be
    // written; the sink is then left as it was.
    bool append(const RunRecord& record, QString& error) { return appendAll({record}, error); }
    // Writes the records whole, in their order, with one write and one sync for them all, so that
    // runs that end together cost one sync on a slow disk instead of one each. False, with the
    // reason, when they could not be written; the sink is then left as it was.
    virtual bool appendAll(const QVector<RunRecord>& records, QString& error) = 0;
    // Where the records go, for messages.
    virtual QString path() const = 0;
};
