// vkr-sim run as a child process, the way a user runs it: started with a scenario, its printed
// locator read back, its verbose log collected, and stopped with a signal.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

class SimProcess
{
public:
    explicit SimProcess(const QString& scenario = QString());
    // vkr-sim with these arguments instead of a scenario (--replay FILE).
    explicit SimProcess(const QStringList& arguments);
    ~SimProcess(); // stops the simulator if it still runs
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The vkr-sim program of this build.
    static QString executable();

    // Starts vkr-sim --verbose and waits (bounded) for the locator it prints. A simulator that may
    // hang the line up (a hangup scenario, a replay) is reached through a link that it removes as it
    // hangs up: a reopen then fails for want of the port, even when another program on the
    // machine has been given the pseudo-terminal's number meanwhile.
    bool start(int timeoutMs = 10000);
    QString locator() const { return locatorText; }
    // The slave path of the pseudo-terminal, the port name within the locator.
    QString portName() const { return locatorText.section(QLatin1Char(':'), 1); }

    // What the simulator logged so far on stderr; grows while the event loop runs.
    QString log();
    // Sends the signal and waits (bounded) for the simulator to end; false if it did not.
    bool stop(int signal, int timeoutMs = 10000);
    // Waits (bounded) for the simulator to end by itself; true also when it has already ended.
    bool waitForExit(int timeoutMs = 10000);
    QProcess& process() { return child; }

private:
    QStringList argumentList;
    std::unique_ptr<QTemporaryDir> linkFolder;
    QString locatorText;
    QString logText;
    QProcess child;
};
