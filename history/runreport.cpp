#include "runreport.h"

#include <QCoreApplication>
#include <QJsonArray>

namespace {

QString outcomeName(const RunRecord& record)
{
    switch (record.outcome) {
    case RunRecord::Outcome::NotOpened:
        return QStringLiteral("not-opened");
    case RunRecord::Outcome::Aborted:
        return QStringLiteral("aborted");
    case RunRecord::Outcome::Incomplete:
        return QStringLiteral("incomplete");
    case RunRecord::Outcome::Finished:
        break;
    }
    return record.errors == 0 ? QStringLiteral("calibrated") : QStringLiteral("calibrated-with-errors");
}

QString resultName(RunRecord::Channel::Result result)
{
    switch (result) {
    case RunRecord::Channel::Result::Calibrated:
        return QStringLiteral("calibrated");
    case RunRecord::Channel::Result::NoSensor:
        return QStringLiteral("no-sensor");
    case RunRecord::Channel::Result::Failed:
        return QStringLiteral("failed");
    case RunRecord::Channel::Result::Aborted:
        break;
    }
    return QStringLiteral("aborted");
}

// The failed step under the name of the connection's operation.
QString stepName(RunRecord::Failure::Step step)
{
    using Step = RunRecord::Failure::Step;
    switch (step) {
    case Step::Open:
        return QStringLiteral("open");
    case Step::GetSensorEnabled:
        return QStringLiteral("getSensorEnabled");
    case Step::SetSensorEnabled:
        return QStringLiteral("setSensorEnabled");
    case Step::GetNumberOfChannels:
        return QStringLiteral("getNumberOfChannels");
    case Step::CalibrateSensor:
        return QStringLiteral("calibrateSensor");
    case Step::GetStatus:
        break;
    }
    return QStringLiteral("getStatus");
}

QJsonArray failuresJson(const RunRecord& record)
{
    QJsonArray failures;
    for (const RunRecord::Failure& failure : record.failures) {
        QJsonObject entry{{QStringLiteral("step"), stepName(failure.step)},
                          {QStringLiteral("code"), qint64(failure.code)}};
        if (failure.channel)
            entry.insert(QStringLiteral("channel"), qint64(*failure.channel));
        failures.append(entry);
    }
    return failures;
}

// ISO 8601 in UTC, to the millisecond.
QString timestamp(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

QJsonObject RunReport::toJson(const QString& locator, const RunRecord& record)
{
    QJsonArray channels;
    for (const RunRecord::Channel& channel : record.channels) {
        channels.append(QJsonObject{
            {QStringLiteral("channel"), qint64(channel.channel)},
            {QStringLiteral("result"), resultName(channel.result)},
            {QStringLiteral("code"), qint64(channel.code)},
            {QStringLiteral("seconds"), channel.seconds},
        });
    }
    QJsonObject object{
        {QStringLiteral("locator"), locator},
        {QStringLiteral("outcome"), outcomeName(record)},
        {QStringLiteral("errors"), qint64(record.errors)},
        {QStringLiteral("openResult"), qint64(record.openResult)},
        {QStringLiteral("channels"), channels},
        {QStringLiteral("failures"), failuresJson(record)},
        {QStringLiteral("started"), timestamp(record.started)},
        {QStringLiteral("finished"), timestamp(record.finished)},
        {QStringLiteral("tool"),
         QJsonObject{{QStringLiteral("name"), QCoreApplication::applicationName()},
                     {QStringLiteral("version"), QCoreApplication::applicationVersion()}}},
    };
    if (record.channelCount)
        object.insert(QStringLiteral("channelCount"), qint64(*record.channelCount));
    if (record.outcome == RunRecord::Outcome::NotOpened)
        object.insert(QStringLiteral("reason"), record.openFailureReason);
    return object;
}
