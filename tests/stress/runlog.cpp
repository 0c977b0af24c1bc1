#include "runlog.h"

#include <QRegularExpression>
#include <QStringList>

namespace RunLog {

namespace {

const QRegularExpression& runExpression()
{
    static const QString powerSave = QStringLiteral("Sensors disabled\\. Setting to Power Save Mode\\.\\n");
    static const QString failedBeforeChannels =
        QStringLiteral("(?:Could not read sensor enabled mode! Error: \\d+\\n"
                       "|%1Could not set Power Save Mode! Error: \\d+\\n"
                       "|(?:%1)?Could not get number of channels! Error: \\d+\\n)")
            .arg(powerSave);
    static const QString channel =
        QStringLiteral("(?:\\tChannel \\d+: no sensor\\n"
                       "|Could not calibrate channel \\d+! Error: \\d+\\n"
                       "|\\tChannel \\d+: calibrating\\.\\.\\. "
                       "(?:done\\.\\n|Could not get status of channel \\d+! Error: \\d+\\n))");
    static const QString summary = QStringLiteral("\\nCalibration routine finished with \\d+ errors\\.\\n");
    static const QString aborted =
        QStringLiteral("(?:\\tChannel \\d+: calibrating\\.\\.\\. )?Aborting\\.\\n");
    static const QRegularExpression expression(
        QStringLiteral("^Starting calibration\\.\\.\\.\\n"
                       "(?:Could not initialize! Error: \\d+\\n"
                       "|Successfully initialized\\.\\n"
                       "(?:%1%4|(?:%2)?%3*(?:%4|%5)))\\z")
            .arg(failedBeforeChannels, powerSave, channel, summary, aborted));
    return expression;
}

// Channel numbers in the order the lines name them: the first one of every line.
bool channelsCountUp(const QString& text)
{
    static const QRegularExpression number(QStringLiteral("[Cc]hannel (\\d+)"));
    int expected = 0;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = number.match(line);
        if (match.hasMatch() && match.captured(1).toInt() != expected++)
            return false;
    }
    return true;
}

bool summaryCountsTheErrors(const QString& text)
{
    static const QRegularExpression summary(QStringLiteral("finished with (\\d+) errors"));
    static const QRegularExpression counted(QStringLiteral(
        "Could not (?:read sensor enabled mode|set Power Save Mode|calibrate channel|get status)"));
    const QRegularExpressionMatch match = summary.match(text);
    if (!match.hasMatch())
        return true;
    int errors = 0;
    for (auto it = counted.globalMatch(text); it.hasNext(); it.next())
        ++errors;
    return match.captured(1).toInt() == errors;
}

} // namespace

QString problem(const QString& text)
{
    if (!runExpression().match(text).hasMatch())
        return QStringLiteral("not a whole run");
    if (!channelsCountUp(text))
        return QStringLiteral("channels out of order");
    if (!summaryCountsTheErrors(text))
        return QStringLiteral("the summary does not count the failures shown");
    return {};
}

bool isComplete(const QString& text)
{
    return problem(text).isEmpty();
}

bool isValidPrefix(const QString& text)
{
    const QRegularExpressionMatch match =
        runExpression().match(text, 0, QRegularExpression::PartialPreferCompleteMatch);
    return (match.hasMatch() || match.hasPartialMatch()) && channelsCountUp(text);
}

} // namespace RunLog
