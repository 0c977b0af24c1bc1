// The calibration history as a table for people: one row per run, newest last, with aligned
// columns (date and time, source, locator, outcome, errors, failed channels with their codes, duration).
#pragma once

#include "historyreader.h"

#include <QString>
#include <QVector>

class HistoryTable
{
public:
    static QString format(const QVector<HistoryReader::Entry>& entries);
};
