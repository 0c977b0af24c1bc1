#include "runverdict.h"

#include <QStringList>

namespace {

using Step = RunRecord::Failure::Step;
using Result = RunRecord::Channel::Result;

RunVerdict nothingCalibrated(const RunRecord& record)
{
    QString why = RunVerdict::tr("the run ended before the channels");
    uint32_t code = 0;
    if (!record.failures.isEmpty()) {
        const RunRecord::Failure& failure = record.failures.constLast();
        code = failure.code;
        if (failure.step == Step::GetNumberOfChannels)
            why = RunVerdict::tr("the channel count could not be read");
        else if (failure.step == Step::GetSensorEnabled)
            why = RunVerdict::tr("the sensor mode could not be read");
        else if (failure.step == Step::SetSensorEnabled)
            why = RunVerdict::tr("power-save mode could not be set");
    }
    return {RunVerdict::Tone::Failed, RunVerdict::tr("Nothing calibrated: %1 (code %2)").arg(why).arg(code)};
}

RunVerdict aborted(const RunRecord& record)
{
    if (!record.channels.isEmpty() && record.channels.constLast().result == Result::Aborted)
        return {RunVerdict::Tone::Warning,
                RunVerdict::tr("Aborted: channel %1 stopped").arg(record.channels.constLast().channel)};
    const uint32_t next = record.channels.isEmpty() ? 0 : record.channels.constLast().channel + 1;
    return {RunVerdict::Tone::Warning, RunVerdict::tr("Aborted before channel %1").arg(next)};
}

RunVerdict withErrors(const RunRecord& record)
{
    QStringList channels;
    QStringList codes;
    for (const RunRecord::Channel& channel : record.channels) {
        if (channel.result == Result::Failed) {
            channels << QString::number(channel.channel);
            codes << QString::number(channel.code);
        }
    }
    const QString errors =
        record.errors == 1 ? RunVerdict::tr("1 error") : RunVerdict::tr("%1 errors").arg(record.errors);
    if (channels.isEmpty())
        return {RunVerdict::Tone::Failed, errors};
    const QString failed =
        channels.size() == 1
            ? RunVerdict::tr("channel %1 failed (code %2)").arg(channels.constFirst(), codes.constFirst())
            : RunVerdict::tr("channels %1 failed (codes %2)")
                  .arg(RunVerdict::listed(channels), codes.join(QStringLiteral(", ")));
    return {RunVerdict::Tone::Failed, errors + QStringLiteral(": ") + failed};
}

RunVerdict finished(const RunRecord& record)
{
    if (record.errors > 0)
        return withErrors(record);
    int calibrated = 0;
    int withoutSensor = 0;
    for (const RunRecord::Channel& channel : record.channels) {
        calibrated += channel.result == Result::Calibrated;
        withoutSensor += channel.result == Result::NoSensor;
    }
    if (calibrated == 0)
        return {RunVerdict::Tone::Warning,
                withoutSensor == 0 ? RunVerdict::tr("Nothing calibrated: the controller has no channels")
                                   : RunVerdict::tr("Nothing calibrated: no channel has a sensor")};
    QString text = calibrated == 1 ? RunVerdict::tr("Calibrated: 1 channel")
                                   : RunVerdict::tr("Calibrated: %1 channels").arg(calibrated);
    if (withoutSensor > 0)
        text += RunVerdict::tr(", %1 without a sensor").arg(withoutSensor);
    return {RunVerdict::Tone::Calibrated, text + RunVerdict::tr(", 0 errors")};
}

} // namespace

RunVerdict RunVerdict::of(const RunRecord& record)
{
    switch (record.outcome) {
    case RunRecord::Outcome::NotOpened:
        return {Tone::Failed,
                tr("Not opened: %1")
                    .arg(record.openFailureReason.isEmpty() ? tr("code %1").arg(record.openResult)
                                                            : record.openFailureReason)};
    case RunRecord::Outcome::Aborted:
        return aborted(record);
    case RunRecord::Outcome::Incomplete:
        return nothingCalibrated(record);
    case RunRecord::Outcome::Finished:
        break;
    }
    return finished(record);
}

QString RunVerdict::listed(const QStringList& items)
{
    if (items.size() < 2)
        return items.join(QString());
    return QStringList(items.mid(0, items.size() - 1)).join(QStringLiteral(", ")) + tr(" and ") +
           items.constLast();
}
