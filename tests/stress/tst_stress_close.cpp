// Closing the window at random moments of a run, each time in a fresh process, as a user would:
// the process must end promptly and cleanly every time, never with the worker still running.
// The seed is printed; VKR_STRESS_SEED replays a run.
#include "runlog.h"
#include "stressseed.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString Helper = QStringLiteral(VKR_CLOSE_HELPER_PATH);

// Runs long enough that most closes land in their middle; no single library call takes long,
// so an abort is always noticed quickly.
const QStringList Locators = {
    QStringLiteral("sim:channels=4,time=60"),           QStringLiteral("sim:demo,time=80"),
    QStringLiteral("sim:stuck=1,channels=3,time=20"),   QStringLiteral("sim:time=0,latency=100,channels=3"),
    QStringLiteral("sim:channels=6,time=10,latency=5"),
};

struct Outcome
{
    bool finished = false;
    bool exitedNormally = false;
    int exitCode = -1;
    QString output;
    QString errors;
};

// Started with posix_spawn rather than QProcess: the ThreadSanitizer run of clang 14 aborts in
// its fork handling when QProcess forks from a process with threads, while posix_spawn never
// goes through it. The outputs go to files, so the child never blocks on a full pipe.
Outcome runHelper(const QStringList& arguments, const QTemporaryDir& folder, int timeoutMs)
{
    const QByteArray outPath = folder.filePath(QStringLiteral("out")).toLocal8Bit();
    const QByteArray errPath = folder.filePath(QStringLiteral("err")).toLocal8Bit();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    QList<QByteArray> storage{Helper.toLocal8Bit()};
    for (const QString& argument : arguments)
        storage << argument.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    Outcome outcome;
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return outcome;

    // A pidfd becomes readable when the child ends, so the wait is bounded without polling.
    const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    pollfd ended{pidfd, POLLIN, 0};
    if (pidfd < 0 || poll(&ended, 1, timeoutMs) != 1)
        kill(pid, SIGKILL);
    else
        outcome.finished = true;
    if (pidfd >= 0)
        close(pidfd);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.exitedNormally = WIFEXITED(status);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

    QFile out(QString::fromLocal8Bit(outPath));
    QFile err(QString::fromLocal8Bit(errPath));
    if (out.open(QIODevice::ReadOnly))
        outcome.output = QString::fromLocal8Bit(out.readAll());
    if (err.open(QIODevice::ReadOnly))
        outcome.errors = QString::fromLocal8Bit(err.readAll());
    return outcome;
}

} // namespace

class StressCloseTest : public QObject
{
    Q_OBJECT

private slots:
    void closingMidRunExitsCleanly()
    {
        QRandomGenerator random(stressSeed());

        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        static const QRegularExpression shutDown(QStringLiteral("shut down after close: (\\d+) ms"));
        int closedMidRun = 0;
        int slowestShutDown = 0;
        const int iterations = 30;
        for (int i = 0; i < iterations; ++i) {
            const QString locator = Locators.at(int(random.bounded(quint32(Locators.size()))));
            const int delay = int(random.bounded(300));
            const QString what = QStringLiteral("%1 closed after %2 ms").arg(locator).arg(delay);

            const Outcome helper = runHelper(
                {QStringLiteral("-platform"), QStringLiteral("offscreen"), locator, QString::number(delay)},
                folder, 20000);
            const QString& output = helper.output;
            const QString& errors = helper.errors;
            const QString report = QStringLiteral("%1\n%2%3").arg(what, output, errors);

            QVERIFY2(helper.finished, qPrintable(what + ": still running after 20 s"));
            QVERIFY2(helper.exitedNormally, qPrintable(report));
            QVERIFY2(helper.exitCode == 0, qPrintable(report));
            QVERIFY2(!errors.contains(QLatin1String("QThread")), qPrintable(report));
            const QRegularExpressionMatch match = shutDown.match(output);
            QVERIFY2(match.hasMatch(), qPrintable(report));
            QVERIFY2(match.captured(1).toInt() < 2000, qPrintable(report)); // typically a few ms
            slowestShutDown = qMax(slowestShutDown, match.captured(1).toInt());

            const int logStart = output.indexOf(QLatin1String("log at close:\n")) + 14;
            const QString logAtClose =
                output.mid(logStart, output.lastIndexOf(QLatin1String("\nshut down")) - logStart);
            QVERIFY2(logAtClose.isEmpty() || RunLog::isValidPrefix(logAtClose), qPrintable(report));
            if (!RunLog::isComplete(logAtClose))
                ++closedMidRun;
        }
        // The closes must really land in running calibrations, or nothing was exercised.
        qInfo("%d of %d closes landed mid-run; slowest shut-down %d ms", closedMidRun, iterations,
              slowestShutDown);
        QVERIFY(closedMidRun >= iterations / 2);
    }
};

QTEST_MAIN(StressCloseTest)
#include "tst_stress_close.moc"
