// Collects what a worker reports, on the test's own thread, the way the window receives it.
#pragma once

#include "workthread.h"

#include <QObject>
#include <QStringList>

class RunRecorder : public QObject
{
    Q_OBJECT

public:
    explicit RunRecorder(WorkThread& worker);

    // Starts a run on the locator and waits (bounded) until its finished() has arrived.
    bool run(const QString& locator, int timeoutMs = 10000);
    bool waitForFinished(int timeoutMs = 10000);

    QStringList messages;
    int finishedCount = 0;

private:
    WorkThread& worker;
};
