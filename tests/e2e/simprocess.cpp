#include "simprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

#include <csignal>

SimProcess::SimProcess(const QString& scenario) : argumentList{QStringLiteral("--scenario"), scenario} {}

SimProcess::SimProcess(const QStringList& arguments) : argumentList(arguments) {}

SimProcess::~SimProcess()
{
    if (child.state() != QProcess::NotRunning && !stop(SIGTERM)) {
        child.kill();
        child.waitForFinished(5000);
    }
}

QString SimProcess::executable()
{
    return QStringLiteral(VKR_SIM_EXECUTABLE);
}

bool SimProcess::start(int timeoutMs)
{
    child.setProgram(executable());
    QStringList arguments = QStringList{QStringLiteral("--verbose")} + argumentList;
    if (arguments.join(QLatin1Char(' ')).contains(QRegularExpression(QStringLiteral("hangup|--replay")))) {
        linkFolder = std::make_unique<QTemporaryDir>();
        arguments << QStringLiteral("--link") << linkFolder->filePath(QStringLiteral("ttyVKR"));
    }
    child.setArguments(arguments);
    child.start(QIODevice::ReadOnly);
    if (!child.waitForStarted(timeoutMs))
        return false;

    const QDeadlineTimer deadline(timeoutMs);
    const QByteArray prefix = "locator: ";
    while (!deadline.hasExpired()) {
        while (child.canReadLine()) {
            const QByteArray line = child.readLine().trimmed();
            if (line.startsWith(prefix)) {
                locatorText = QString::fromLocal8Bit(line.mid(prefix.size()));
                return true;
            }
        }
        if (!child.waitForReadyRead(int(deadline.remainingTime())))
            return false;
    }
    return false;
}

QString SimProcess::log()
{
    logText += QString::fromLocal8Bit(child.readAllStandardError());
    return logText;
}

bool SimProcess::stop(int signal, int timeoutMs)
{
    if (child.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(child.processId()), signal);
    return waitForExit(timeoutMs);
}

bool SimProcess::waitForExit(int timeoutMs)
{
    const bool ended = child.state() == QProcess::NotRunning || child.waitForFinished(timeoutMs);
    log();
    return ended;
}
