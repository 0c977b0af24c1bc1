// vkr-calibrate with many controllers: more than the open file limit has room for side by side,
// and more than the system will start worker threads for.
#include "calibrateprocess.h"
#include "calibrationbatch.h"
#include "reportfile.h"

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
    // (64 - 32) / 4 = 8 at a time), with more at a time once the soft limit is raised, or with
    // more asked for than the limit holds, which is said and kept to the limit.
    void moreControllersThanTheFileLimitHasRoomFor_data()
    {
        QTest::addColumn<QString>("limit");
        QTest::addColumn<QStringList>("jobs");
        QTest::addColumn<QByteArray>("note");
        QTest::newRow("a hard limit, the default jobs") << "ulimit -n 64" << QStringList() << QByteArray();
        QTest::newRow("a soft limit, raised to the hard one")
            << "ulimit -Sn 64" << QStringList{"--jobs", "100"} << QByteArray();
        QTest::newRow("a hard limit, more jobs asked for")
            << "ulimit -n 64" << QStringList{"--jobs", "99999"}
            << QByteArray("vkr-calibrate: --jobs 99999 is more than the open file limit (64) has room for; "
                          "8 at a time\n");
    }
    void moreControllersThanTheFileLimitHasRoomFor()
    {
        QFETCH(QString, limit);
        QFETCH(QStringList, jobs);
        QFETCH(QByteArray, note);
        QStringList outcomes;
        const CalibrateOutcome outcome = runBatch(100, "sim:channels=1,time=50", jobs, limit, outcomes);
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.errors, note);
        QCOMPARE(outcome.output.count("Calibration routine finished with 0 errors.\n"), 100);
        QCOMPARE(outcomes.count(QStringLiteral("calibrated")), 100);
    }

    // The aftermath outlives its batch, and its writers call their notifier after each hand-over:
    // a record kept once the batch has gone must not call into the batch's freed memory.
    void anAftermathThatOutlivesItsBatchDoesNotCallItBack()
    {
        QTemporaryDir folder;
        auto report = std::make_shared<ReportFile>();
        QString error;
        QVERIFY2(report->open(folder.filePath(QStringLiteral("report.jsonl")), error), qPrintable(error));
        RunAftermath aftermath(nullptr, report);
        delete new CalibrationBatch(QStringList(), 1, &aftermath);
        aftermath.keep(RunRecord());
        QVERIFY(aftermath.waitUntilWritten(std::chrono::seconds(10)));
        QCoreApplication::sendPostedEvents();
    }

    // The system refuses worker threads (the calls after the allowed ones, as many as refused): a
    // run refused while others run waits for one of them to end and tries again; only a run
    // refused while none runs ends as not opened, saying why, and the batch goes on.
    void aRefusedWorkerThreadWaitsForARunningOne_data()
    {
        QTest::addColumn<int>("runs");
        QTest::addColumn<QString>("jobs");
        QTest::addColumn<int>("allowed");
        QTest::addColumn<int>("refused");
        QTest::addColumn<QStringList>("outcomes");
        QTest::addColumn<bool>("waited"); // whether a refused run waited for a running one
        QStringList twenty;
        for (int i = 0; i < 20; ++i)
            twenty << QStringLiteral("calibrated");
        QTest::newRow("the eleventh of twenty, once") << 20 << "20" << 10 << 1 << twenty << true;
        QTest::newRow("the eleventh of twenty, until none runs")
            << 20 << "20" << 10 << 11 << (QStringList(twenty.mid(0, 19)) << "not-opened") << true;
        QTest::newRow("the second of three, one at a time")
            << 3 << "1" << 1 << 1 << QStringList{"calibrated", "not-opened", "calibrated"} << false;
    }
    void aRefusedWorkerThreadWaitsForARunningOne()
    {
        QFETCH(int, runs);
        QFETCH(QString, jobs);
        QFETCH(int, allowed);
        QFETCH(int, refused);
        QFETCH(QStringList, outcomes);
        QFETCH(bool, waited);
        QStringList reported;
        const CalibrateOutcome outcome = runBatch(runs, "sim:channels=1,time=200", {"--jobs", jobs},
                                                  refusedThreads(allowed, refused, true), reported);
        // A crash shows what the program (or the sanitizer) said, whole.
        const int status = outcomes.contains("not-opened") ? 2 : 0;
        if (outcome.exitCode != status)
            qInfo("%s", outcome.errors.constData());
        QCOMPARE(outcome.exitCode, status);
        reported.sort(); // in the order the runs ended
        outcomes.sort();
        QCOMPARE(reported, outcomes);
        QCOMPARE(outcome.errors.count("] could not start a worker: the system refused a new thread "
                                      "(memory or thread limit reached)\n"),
                 outcomes.count("not-opened"));
        QCOMPARE(outcome.errors.count("the runs left start as running ones end\n"), waited ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(ManyControllersTest)
#include "tst_manycontrollers.moc"
