// vkr-calibrate run as a child process to its end, the way a user or a script runs it: what it
// wrote on standard output and standard error, and its exit status (-1 when it crashed or did
// not end within the bound).
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

struct CalibrateOutcome
{
    QByteArray output;
    QByteArray errors;
    int exitCode = -1;
};

inline CalibrateOutcome runVkrCalibrate(const QStringList& arguments, int timeoutMs = 30000)
{
    QProcess process;
    process.start(QStringLiteral(VKR_CALIBRATE_PATH), arguments);
    CalibrateOutcome outcome;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return outcome;
    }
    outcome.output = process.readAllStandardOutput();
    outcome.errors = process.readAllStandardError();
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return outcome;
}
