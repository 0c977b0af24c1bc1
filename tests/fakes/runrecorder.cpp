#include "runrecorder.h"

#include <QTest>

RunRecorder::RunRecorder(WorkThread& worker) : worker(worker)
{
    connect(&worker, &WorkThread::logMessage, this, [this](const QString& m) { messages << m; });
    connect(&worker, &QThread::finished, this, [this] { ++finishedCount; });
}

bool RunRecorder::run(const QString& locator, int timeoutMs)
{
    messages.clear();
    worker.setLocator(locator);
    worker.startRun();
    return waitForFinished(timeoutMs);
}

bool RunRecorder::waitForFinished(int timeoutMs)
{
    const int target = finishedCount + 1;
    return QTest::qWaitFor([&] { return finishedCount >= target; }, timeoutMs) && worker.wait(timeoutMs);
}
