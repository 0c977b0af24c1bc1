#include "runrecordjson.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <array>
#include <utility>

namespace {

using Outcome = RunRecord::Outcome;
using Result = RunRecord::Channel::Result;
using Step = RunRecord::Failure::Step;
using Source = RunRecord::Source;

// Each value with its word; the words are what reports and the history have always held.
constexpr std::array<std::pair<Result, const char*>, 4> ResultWords{{
    {Result::Calibrated, "calibrated"},
    {Result::NoSensor, "no-sensor"},
    {Result::Failed, "failed"},
    {Result::Aborted, "aborted"},
}};
// The failed step under the name of the connection's operation.
constexpr std::array<std::pair<Step, const char*>, 6> StepWords{{
    {Step::Open, "open"},
    {Step::GetSensorEnabled, "getSensorEnabled"},
    {Step::SetSensorEnabled, "setSensorEnabled"},
    {Step::GetNumberOfChannels, "getNumberOfChannels"},
    {Step::CalibrateSensor, "calibrateSensor"},
    {Step::GetStatus, "getStatus"},
}};
constexpr std::array<std::pair<Source, const char*>, 3> SourceWords{{
    {Source::Window, "window"},
    {Source::CommandLine, "command-line"},
    {Source::Tango, "tango"},
}};
constexpr const char* CalibratedWord = "calibrated";
constexpr const char* CalibratedWithErrorsWord = "calibrated-with-errors";
constexpr std::array<std::pair<Outcome, const char*>, 3> UnfinishedOutcomeWords{{
    {Outcome::NotOpened, "not-opened"},
    {Outcome::Aborted, "aborted"},
    {Outcome::Incomplete, "incomplete"},
}};

template <typename Value, std::size_t Size>
QString wordOf(const std::array<std::pair<Value, const char*>, Size>& words, Value value)
{
    for (const auto& [known, word] : words) {
        if (known == value)
            return QLatin1String(word);
    }
    return QString();
}

template <typename Value, std::size_t Size>
bool valueOf(const std::array<std::pair<Value, const char*>, Size>& words, const QJsonValue& word,
             Value& value)
{
    for (const auto& [known, text] : words) {
        if (word.toString() == QLatin1String(text)) {
            value = known;
            return true;
        }
    }
    return false;
}

// ISO 8601 in UTC, to the millisecond.
QString timestamp(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime timeOf(const QJsonValue& value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}

// A count or a code: a whole number from 0 to 4294967295, else 0.
uint32_t numberOf(const QJsonValue& value)
{
    const double number = value.toDouble(-1);
    return number >= 0 && number <= 4294967295.0 ? uint32_t(number) : 0;
}

QJsonArray channelsJson(const RunRecord& record)
{
    QJsonArray channels;
    for (const RunRecord::Channel& channel : record.channels) {
        channels.append(QJsonObject{
            {QStringLiteral("channel"), qint64(channel.channel)},
            {QStringLiteral("result"), RunRecordJson::resultName(channel.result)},
            {QStringLiteral("code"), qint64(channel.code)},
            {QStringLiteral("seconds"), channel.seconds},
        });
    }
    return channels;
}

QJsonArray failuresJson(const RunRecord& record)
{
    QJsonArray failures;
    for (const RunRecord::Failure& failure : record.failures) {
        QJsonObject entry{{QStringLiteral("step"), wordOf(StepWords, failure.step)},
                          {QStringLiteral("code"), qint64(failure.code)}};
        if (failure.channel)
            entry.insert(QStringLiteral("channel"), qint64(*failure.channel));
        failures.append(entry);
    }
    return failures;
}

void readChannels(const QJsonArray& array, RunRecord& record)
{
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        RunRecord::Channel channel;
        channel.channel = numberOf(object.value(QStringLiteral("channel")));
        if (!valueOf(ResultWords, object.value(QStringLiteral("result")), channel.result))
            channel.result = Result::Failed;
        channel.code = numberOf(object.value(QStringLiteral("code")));
        channel.seconds = object.value(QStringLiteral("seconds")).toDouble();
        record.channels.append(channel);
    }
}

void readFailures(const QJsonArray& array, RunRecord& record)
{
    for (const QJsonValue& value : array) {
        const QJsonObject object = value.toObject();
        RunRecord::Failure failure;
        if (!valueOf(StepWords, object.value(QStringLiteral("step")), failure.step))
            continue;
        failure.code = numberOf(object.value(QStringLiteral("code")));
        if (object.contains(QStringLiteral("channel")))
            failure.channel = numberOf(object.value(QStringLiteral("channel")));
        record.failures.append(failure);
    }
}

} // namespace

QString RunRecordJson::outcomeName(const RunRecord& record)
{
    if (record.outcome != Outcome::Finished)
        return wordOf(UnfinishedOutcomeWords, record.outcome);
    return QLatin1String(record.errors == 0 ? CalibratedWord : CalibratedWithErrorsWord);
}

QString RunRecordJson::resultName(RunRecord::Channel::Result result)
{
    return wordOf(ResultWords, result);
}

QString RunRecordJson::sourceName(RunRecord::Source source)
{
    return wordOf(SourceWords, source);
}

QJsonObject RunRecordJson::toJson(const RunRecord& record)
{
    QJsonObject object{
        {QStringLiteral("locator"), record.locator},
        {QStringLiteral("outcome"), outcomeName(record)},
        {QStringLiteral("errors"), qint64(record.errors)},
        {QStringLiteral("openResult"), qint64(record.openResult)},
        {QStringLiteral("channels"), channelsJson(record)},
        {QStringLiteral("failures"), failuresJson(record)},
        {QStringLiteral("started"), timestamp(record.started)},
        {QStringLiteral("finished"), timestamp(record.finished)},
        {QStringLiteral("source"), sourceName(record.source)},
        {QStringLiteral("host"), record.host},
        {QStringLiteral("tool"),
         QJsonObject{{QStringLiteral("name"), QCoreApplication::applicationName()},
                     {QStringLiteral("version"), QCoreApplication::applicationVersion()}}},
    };
    if (record.channelCount)
        object.insert(QStringLiteral("channelCount"), qint64(*record.channelCount));
    if (record.outcome == Outcome::NotOpened)
        object.insert(QStringLiteral("reason"), record.openFailureReason);
    if (!record.client.isEmpty())
        object.insert(QStringLiteral("client"), record.client);
    if (!record.note.isEmpty())
        object.insert(QStringLiteral("note"), record.note);
    return object;
}

QByteArray RunRecordJson::toLines(const QVector<RunRecord>& records)
{
    QByteArray lines;
    for (const RunRecord& record : records)
        lines += toLine(record);
    return lines;
}

QByteArray RunRecordJson::toLine(const RunRecord& record)
{
    // Whatever was cut, a text or a list, the record says so.
    const auto line = [&record](const RunRecord& shown) {
        QJsonObject object = toJson(shown);
        if (shown.channels.size() != record.channels.size() ||
            shown.failures.size() != record.failures.size() || shown.locator != record.locator ||
            shown.host != record.host || shown.openFailureReason != record.openFailureReason)
            object.insert(QStringLiteral("shortened"), true);
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    };
    QByteArray whole = line(record);
    if (whole.size() <= LineLimit)
        return whole;
    RunRecord shortened = record;
    for (QString* text : {&shortened.locator, &shortened.host, &shortened.openFailureReason}) {
        if (text->size() > ShortenedFieldLength)
            *text = text->left(ShortenedFieldLength) + QLatin1String(ShortenedMark);
    }
    whole = line(shortened);
    while (whole.size() > LineLimit && (!shortened.channels.isEmpty() || !shortened.failures.isEmpty())) {
        shortened.channels.resize(shortened.channels.size() / 2);
        shortened.failures.resize(shortened.failures.size() / 2);
        whole = line(shortened);
    }
    return whole;
}

bool RunRecordJson::fromJson(const QJsonObject& object, RunRecord& record)
{
    record = RunRecord();
    const QJsonValue locator = object.value(QStringLiteral("locator"));
    const QJsonValue outcome = object.value(QStringLiteral("outcome"));
    record.started = timeOf(object.value(QStringLiteral("started")));
    if (!locator.isString() || !record.started.isValid())
        return false;
    record.locator = locator.toString();
    record.errors = numberOf(object.value(QStringLiteral("errors")));
    if (outcome.toString() == QLatin1String(CalibratedWord) ||
        outcome.toString() == QLatin1String(CalibratedWithErrorsWord))
        record.outcome = Outcome::Finished;
    else if (!valueOf(UnfinishedOutcomeWords, outcome, record.outcome))
        return false;
    record.openResult = numberOf(object.value(QStringLiteral("openResult")));
    record.openFailureReason = object.value(QStringLiteral("reason")).toString();
    readChannels(object.value(QStringLiteral("channels")).toArray(), record);
    readFailures(object.value(QStringLiteral("failures")).toArray(), record);
    if (object.contains(QStringLiteral("channelCount")))
        record.channelCount = numberOf(object.value(QStringLiteral("channelCount")));
    record.finished = timeOf(object.value(QStringLiteral("finished")));
    // Every journal's record names its source; a report written before reports did reads as the
    // window's.
    valueOf(SourceWords, object.value(QStringLiteral("source")), record.source);
    record.host = object.value(QStringLiteral("host")).toString();
    record.client = object.value(QStringLiteral("client")).toString();
    record.note = object.value(QStringLiteral("note")).toString();
    const QJsonObject tool = object.value(QStringLiteral("tool")).toObject();
    record.tool = (tool.value(QStringLiteral("name")).toString() + QLatin1Char(' ') +
                   tool.value(QStringLiteral("version")).toString())
                      .trimmed();
    return true;
}
