// The one-line verdict on a finished run for the window's status bar, taken from the run's
// record: what was calibrated, which channels failed and with which codes, or why nothing was.
#pragma once

#include "runrecord.h"

#include <QCoreApplication>
#include <QString>

struct RunVerdict
{
    Q_DECLARE_TR_FUNCTIONS(RunVerdict)

public:
    // How the run went, as far as the icon beside the text goes.
    enum class Tone
    {
        Calibrated, // every channel reached was calibrated or has no sensor
        Warning,    // the run ended without errors but calibrated nothing, or was aborted
        Failed      // errors, or the controller was not opened
    };

    Tone tone = Tone::Calibrated;
    QString text;

    static RunVerdict of(const RunRecord& record);
    // "1", "1 and 3", "0, 1 and 3": numbers as a sentence lists them.
    static QString listed(const QStringList& items);
};
