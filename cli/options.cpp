#include "options.h"

#include <QRegularExpression>

QDateTime Options::sinceTime(const QString& text)
{
    // The forms exactly, digits only: Qt's own ISO parsing takes more than these (a zone, a
    // fraction) and ignores some of what it does not take.
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d)(?:T(\\d\\d:\\d\\d(?::\\d\\d)?))?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return QDateTime();
    const QDate date = QDate::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd"));
    const QString clock = match.captured(2);
    const QTime time = clock.isEmpty()     ? QTime(0, 0)
                       : clock.size() == 5 ? QTime::fromString(clock, QStringLiteral("HH:mm"))
                                           : QTime::fromString(clock, QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    return QDateTime(date, time, Qt::LocalTime);
}
