// vkr-calibrate with many controllers: more than the open file limit has room for side by side,
// and more than the address space has room for worker threads.
#include "calibrateprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// A sanitizer that reserves terabytes of address space cannot run under a lowered ulimit -v.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool AddressSpaceReserved = true;
#elif defined(__has_feature)
constexpr bool AddressSpaceReserved = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool AddressSpaceReserved = false;
#endif

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

    // 300 threads with 8 MB stacks do not fit in 1.5 GB: the refused runs end as not opened and say
    // why, the others go on, and the batch ends with an object for every run.
    void aRefusedWorkerThreadEndsItsRunOnly()
    {
        if (AddressSpaceReserved)
            QSKIP("the sanitizer's reserved address space leaves no room for a lowered ulimit -v");
        QStringList outcomes;
        const CalibrateOutcome outcome = runBatch(300, "sim:channels=1,time=200", {"--jobs", "300"},
                                                  "ulimit -s 8192; ulimit -v 1500000", outcomes);
        QCOMPARE(outcome.exitCode, 2);
        const int refused = outcome.errors.count(
            "] could not start a worker: the system refused a new thread (memory or thread limit reached)\n");
        QVERIFY(refused > 0 && outcomes.count(QStringLiteral("not-opened")) == refused);
        QCOMPARE(outcomes.count(QStringLiteral("calibrated")), 300 - refused);
    }
};

QTEST_GUILESS_MAIN(ManyControllersTest)
#include "tst_manycontrollers.moc"
