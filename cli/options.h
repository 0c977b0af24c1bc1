// What vkr-calibrate's command line asks for, read and checked once: the mode (calibrate, list,
// history) and its settings. Each mode takes these and nothing from the parser.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

struct Options
{
    enum class Mode
    {
        Calibrate,
        List,
        History
    };

    Mode mode = Mode::Calibrate;
    QStringList locators;    // trimmed; the runs' with Calibrate, the history's filter with History
    bool debug = false;      // log every command sent on standard error
    QString report;          // --report FILE, empty when not given
    QString record;          // --record FILE, empty when not given
    std::optional<int> jobs; // --jobs N
    bool noHistory = false;
    QDateTime since;         // --since, invalid when not given
    std::optional<int> last; // --last N
    bool json = false;

    // --since's text as a local date (midnight) or date and time: YYYY-MM-DD, YYYY-MM-DDTHH:MM or
    // YYYY-MM-DDTHH:MM:SS. Invalid when it is none of these.
    static QDateTime sinceTime(const QString& text);
};
