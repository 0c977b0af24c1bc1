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

// With a shell prelude (such as "ulimit -n 64"), vkr-calibrate is started by /bin/sh once the
// prelude has run, so that limits apply to it alone; the prelude may add arguments with
// set -- "$@" ….
inline void startVkrCalibrate(QProcess& process, const QStringList& arguments, const QString& prelude = {})
{
    const QString program = QStringLiteral(VKR_CALIBRATE_PATH);
    if (prelude.isEmpty())
        process.start(program, arguments);
    else
        process.start(QStringLiteral("/bin/sh"),
                      QStringList{"-c", prelude + QStringLiteral("; exec \"$0\" \"$@\""), program} +
                          arguments);
}

inline CalibrateOutcome runVkrCalibrate(const QStringList& arguments, int timeoutMs = 30000,
                                        const QString& prelude = {})
{
    QProcess process;
    startVkrCalibrate(process, arguments, prelude);
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
