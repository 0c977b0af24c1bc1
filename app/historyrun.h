// One run of the calibration history as the history window shows it, read from the run's line
// in the journal.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QVector>

struct HistoryRun
{
    struct ChannelTime
    {
        quint32 channel = 0;
        double seconds = 0;
        bool failed = false;
    };

    QDateTime started; // UTC
    QString locator;
    QString outcome; // the journal's word: calibrated, calibrated-with-errors, incomplete, ...
    int errors = 0;
    QVector<quint32> failedChannels;
    double seconds = -1; // from start to end; negative when the line does not tell
    QString source;
    QVector<ChannelTime> channels; // the channels that were calibrated or failed, with their time

    static HistoryRun fromJson(const QJsonObject& record);
};
