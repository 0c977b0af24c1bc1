// vkr-calibrate run as a child process to its end, the way a user or a script runs it: what it
// wrote on standard output and standard error, and its exit status (-1 when it crashed or did
// not end within the bound). Also whether a signal sent to a child still waits for delivery.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <initializer_list>

struct CalibrateOutcome
{
    QByteArray output;
    QByteArray errors;
    int exitCode = -1;
};

// With a shell prelude (such as "ulimit -n 64"), vkr-calibrate is started by /bin/sh once the
// prelude has run, so that limits apply to it alone; the prelude may add arguments (set -- "$@" …).
inline CalibrateOutcome runVkrCalibrate(const QStringList& arguments, int timeoutMs = 30000,
                                        const QString& prelude = {})
{
    const QString program = QStringLiteral(VKR_CALIBRATE_PATH);
    QProcess process;
    if (prelude.isEmpty())
        process.start(program, arguments);
    else
        process.start("/bin/sh", QStringList{"-c", prelude + "; exec \"$0\" \"$@\"", program} + arguments);
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

// A prelude for runVkrCalibrate under which the system refuses threads: the first allowed calls of
// pthread_create succeed, the next refused ones fail with EAGAIN (-1: all of them), the ones after
// succeed again. With workersOnly, only the worker threads count and are refused. ASan's check that
// its runtime is loaded first would stop a preloaded program.
inline QString refusedThreads(int allowed, int refused = -1, bool workersOnly = false)
{
    return QStringLiteral("export LD_PRELOAD='%1' VKR_THREADS_BEFORE_REFUSAL=%2 VKR_THREADS_REFUSED=%3 "
                          "VKR_THREADS_COUNTED=%4 ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\"")
        .arg(QStringLiteral(VKR_REFUSED_THREADS_PATH))
        .arg(allowed)
        .arg(refused)
        .arg(workersOnly ? QStringLiteral("workers") : QStringLiteral("all"));
}

// Whether one of the process's signal masks (/proc/PID/status fields) holds the signal.
inline bool signalIn(qint64 pid, int signal, std::initializer_list<const char*> fields)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        for (const char* field : fields)
            if (line.startsWith(field) &&
                (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1)
                return true;
    }
    return false;
}

// Whether a signal sent to the process still waits to be delivered: signals of one kind that
// arrive before the first is delivered count once.
inline bool signalPending(qint64 pid, int signal)
{
    return signalIn(pid, signal, {"ShdPnd:", "SigPnd:"});
}

// Whether the process has a handler of its own for the signal.
inline bool signalCaught(qint64 pid, int signal)
{
    return signalIn(pid, signal, {"SigCgt:"});
}
