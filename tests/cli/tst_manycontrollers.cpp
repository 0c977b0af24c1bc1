// vkr-calibrate with many controllers: more than the open file limit has room for side by side,
// and more than the system will start worker threads for.
#include "calibrateprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// A batch of identical controllers with a report, under the shell's limits: its outcome and the
// outcome of each run in the report.
CalibrateOutcome runBatch(int controllers, const QString& locator, const QStringList& jobs,
                          const QString& limits, QStringList& outcomes)
{
    QTemporaryDir folder;
    const QString report = folder.filePath(QStringLiteral("report.jsonl"));
    QStringList arguments = jobs + QStringList{"--report", report};
    for (int i = 0; i < controllers; ++i)
        arguments << locator;
    const CalibrateOutcome outcome = runVkrCalibrate(arguments, 90000, limits);
    QFile reportFile(report);
    for (const QByteArray& line : reportFile.open(QIODevice::ReadOnly)
                                      ? reportFile.readAll().trimmed().split('\n')
                                      : QList<QByteArray>())
        outcomes << QJsonDocument::fromJson(line).object().value("outcome").toString();
    return outcome;
}

} // namespace

class ManyControllersTest : public QObject
{
    Q_OBJECT

private slots:
    // A hundred runs, each holding descriptors, under a limit of 64 open files: by default (here
    // (64 - 32) / 4 = 8 at a time), or with more at a time once the soft limit is raised.
    void moreControllersThanTheFileLimitHasRoomFor_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<QStringList>("jobs");
        QTest::newRow("a hard limit, the default jobs") << "ulimit -n 64" << QStringList();
        QTest::newRow("a soft limit, raised to the hard one")
            << "ulimit -Sn 64" << QStringList{"--jobs", "100"};
    }
    void moreControllersThanTheFileLimitHasRoomFor()
    {
        QFETCH(QString, limit);
        QFETCH(QStringList, jobs);
        QStringList outcomes;
        const CalibrateOutcome outcome = runBatch(100, "sim:channels=1,time=50", jobs, limit, outcomes);
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.output.count("Calibration routine finished with 0 errors.\n"), 100);
        QCOMPARE(outcomes.count(QStringLiteral("calibrated")), 100);
    }

    // The system refuses the eleventh worker thread, once: that run ends as not opened and says
    // why, the others go on, and the batch ends with an object for every run.
    void aRefusedWorkerThreadEndsItsRunOnly()
    {
        QStringList outcomes;
        const CalibrateOutcome outcome =
            runBatch(20, "sim:channels=1,time=200", {"--jobs", "20"}, refusedThreads(10, 1), outcomes);
        QCOMPARE(outcome.exitCode, 2);
        QCOMPARE(outcome.errors.count("] could not start a worker: the system refused a new thread "
                                      "(memory or thread limit reached)\n"),
                 1);
        QCOMPARE(outcomes.count(QStringLiteral("not-opened")), 1);
        QCOMPARE(outcomes.count(QStringLiteral("calibrated")), 19);
    }
};

QTEST_GUILESS_MAIN(ManyControllersTest)
#include "tst_manycontrollers.moc"
