#include "rundescription.h"

#include "runrecordjson.h"
#include "runverdict.h"

#include <QStringList>

namespace {

using Step = RunRecord::Failure::Step;
using Result = RunRecord::Channel::Result;

QString stepName(Step step)
{
    switch (step) {
    case Step::Open:
        return RunDescription::tr("opening the controller failed");
    case Step::GetSensorEnabled:
        return RunDescription::tr("reading the sensor mode failed");
    case Step::SetSensorEnabled:
        return RunDescription::tr("setting power-save mode failed");
    case Step::GetNumberOfChannels:
        return RunDescription::tr("reading the channel count failed");
    case Step::CalibrateSensor:
        return RunDescription::tr("calibrate failed");
    case Step::GetStatus:
        return RunDescription::tr("status read failed");
    }
    return QString();
}

QStringList channelsWith(const RunRecord& record, Result result)
{
    QStringList channels;
    for (const RunRecord::Channel& channel : record.channels) {
        if (channel.result == result)
            channels << QString::number(channel.channel);
    }
    return channels;
}

QString duration(const RunRecord& record)
{
    if (!record.finished.isValid())
        return RunDescription::tr("not known");
    return RunDescription::tr("%1 s").arg(record.started.msecsTo(record.finished) / 1000.0, 0, 'f', 1);
}

QString listedOrNone(const QStringList& channels)
{
    return channels.isEmpty() ? RunDescription::tr("none") : RunVerdict::listed(channels);
}

} // namespace

QString RunDescription::failedStep(const RunRecord::Failure& failure)
{
    const QString step = tr("%1, code %2").arg(stepName(failure.step)).arg(failure.code);
    return failure.channel ? tr("channel %1: %2").arg(*failure.channel).arg(step) : step;
}

QString RunDescription::of(const RunRecord& record)
{
    QStringList lines;
    lines << tr("Outcome: %1 \u2014 %2").arg(RunRecordJson::outcomeName(record), RunVerdict::of(record).text);
    lines << tr("Locator: %1").arg(record.locator);
    lines << tr("Started: %1 (local time)")
                 .arg(record.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    lines << tr("Duration: %1").arg(duration(record));
    if (record.outcome == RunRecord::Outcome::NotOpened) {
        lines << tr("Not opened, code %1: %2")
                     .arg(record.openResult)
                     .arg(record.openFailureReason.isEmpty() ? tr("no reason recorded")
                                                             : record.openFailureReason);
    } else {
        if (record.channelCount)
            lines << tr("Channels reported: %1").arg(*record.channelCount);
        lines << tr("Calibrated channels: %1").arg(listedOrNone(channelsWith(record, Result::Calibrated)));
        lines
            << tr("Channels without a sensor: %1").arg(listedOrNone(channelsWith(record, Result::NoSensor)));
        const QStringList aborted = channelsWith(record, Result::Aborted);
        if (!aborted.isEmpty())
            lines << tr("Stopped by the abort: channel %1").arg(RunVerdict::listed(aborted));
    }
    lines << tr("Errors: %1").arg(record.errors);
    if (!record.failures.isEmpty()) {
        lines << tr("Failed steps:");
        for (const RunRecord::Failure& failure : record.failures)
            lines << QStringLiteral("  ") + failedStep(failure);
    }
    if (!record.note.isEmpty())
        lines << tr("Note: %1").arg(record.note);
    lines << tr("Source: %1").arg(RunRecordJson::sourceName(record.source));
    if (!record.client.isEmpty())
        lines << tr("Client: %1").arg(record.client);
    lines << tr("Host: %1").arg(record.host.isEmpty() ? tr("not recorded") : record.host);
    lines << tr("Tool: %1").arg(record.tool.isEmpty() ? tr("not recorded") : record.tool);
    return lines.join(QLatin1Char('\n'));
}
