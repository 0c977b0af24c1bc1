#include "historyrun.h"

#include <QJsonArray>

HistoryRun HistoryRun::fromJson(const QJsonObject& record)
{
    HistoryRun run;
    run.started = QDateTime::fromString(record.value(QStringLiteral("started")).toString(), Qt::ISODateWithMs);
    run.locator = record.value(QStringLiteral("locator")).toString();
    run.outcome = record.value(QStringLiteral("outcome")).toString();
    run.errors = record.value(QStringLiteral("errors")).toInt();
    run.source = record.value(QStringLiteral("source")).toString();
    const QDateTime finished =
        QDateTime::fromString(record.value(QStringLiteral("finished")).toString(), Qt::ISODateWithMs);
    if (run.started.isValid() && finished.isValid())
        run.seconds = run.started.msecsTo(finished) / 1000.0;
    for (const QJsonValue& value : record.value(QStringLiteral("channels")).toArray()) {
        const QJsonObject channel = value.toObject();
        const QString result = channel.value(QStringLiteral("result")).toString();
        const auto number = static_cast<quint32>(channel.value(QStringLiteral("channel")).toDouble());
        const bool failed = result == QLatin1String("failed");
        if (failed)
            run.failedChannels << number;
        // A channel without a sensor or one stopped by an abort says nothing of its sensor's pace.
        if (failed || result == QLatin1String("calibrated"))
            run.channels.append({number, channel.value(QStringLiteral("seconds")).toDouble(), failed});
    }
    return run;
}
