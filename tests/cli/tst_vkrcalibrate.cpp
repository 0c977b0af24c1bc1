// vkr-calibrate as a user runs it: a child process against the simulated controller.
#include <QProcess>
#include <QtTest>
#include <csignal>

namespace {
const QString Program = QStringLiteral(VKR_CALIBRATE_PATH);

struct Outcome
{
    QByteArray output;
    int exitCode = -1;
};

Outcome runToEnd(const QStringList& arguments)
{
    QProcess process;
    process.start(Program, arguments);
    Outcome outcome;
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return outcome;
    }
    outcome.output = process.readAllStandardOutput();
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return outcome;
}
} // namespace

class VkrCalibrateTest : public QObject
{
    Q_OBJECT

private slots:
    void printsTheLogAndExitsByTheEnding_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("calibrated") << "sim:demo,time=20"
                                    << QByteArray("Starting calibration...\nSuccessfully initialized.\n"
                                                  "Sensors disabled. Setting to Power Save Mode.\n"
                                                  "\tChannel 0: calibrating... done.\n"
                                                  "\tChannel 1: calibrating... done.\n"
                                                  "\tChannel 2: no sensor\n"
                                                  "\tChannel 3: calibrating... done.\n"
                                                  "\nCalibration routine finished with 0 errors.\n")
                                    << 0;
        QTest::newRow("errors") << "sim:channels=2,time=0,fail-calibrate=17"
                                << QByteArray("Starting calibration...\nSuccessfully initialized.\n"
                                              "Could not calibrate channel 0! Error: 17\n"
                                              "Could not calibrate channel 1! Error: 17\n"
                                              "\nCalibration routine finished with 2 errors.\n")
                                << 1;
        QTest::newRow("not opened") << "sim:fail-open=4294967295"
                                    << QByteArray("Starting calibration...\nCould not initialize! Error: 4294967295\n")
                                    << 2;
        QTest::newRow("no locator form") << "nothing"
                                         << QByteArray("Starting calibration...\nCould not initialize! Error: 21\n")
                                         << 2;
    }
    void printsTheLogAndExitsByTheEnding()
    {
        QFETCH(QString, locator);
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        const Outcome outcome = runToEnd({locator});
        QCOMPARE(outcome.output, output);
        QCOMPARE(outcome.exitCode, exitCode);
    }

    void aSignalDuringAWaitAborts_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("repeats");
        QTest::newRow("Ctrl+C") << int(SIGINT) << 1;
        QTest::newRow("Ctrl+C pressed three times") << int(SIGINT) << 3;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 1;
    }
    void aSignalDuringAWaitAborts()
    {
        QFETCH(int, signal);
        QFETCH(int, repeats);
        QProcess process;
        process.start(Program, {QStringLiteral("sim:channels=3,time=0,stuck=1")});
        QByteArray output;
        QVERIFY(QTest::qWaitFor(
            [&] {
                output += process.readAllStandardOutput();
                return output.endsWith("\tChannel 1: calibrating... ");
            },
            10000));
        for (int i = 0; i < repeats; ++i)
            QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        QVERIFY(process.waitForFinished(10000));
        output += process.readAllStandardOutput();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 3);
        QVERIFY(output.endsWith("\tChannel 1: calibrating... Aborting.\n"));
    }

    void listsWhatDiscoveryFinds()
    {
        const Outcome outcome = runToEnd({QStringLiteral("--list")});
        QCOMPARE(outcome.exitCode, 0);
        QVERIFY(outcome.output.startsWith("sim:demo\n"));
        for (const QByteArray& line : outcome.output.split('\n').mid(1, -1))
            QVERIFY2(line.isEmpty() || line.startsWith("serial:/dev/"), line.constData());
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no locator") << QStringList{};
        QTest::newRow("two locators") << QStringList{"sim:demo", "sim:demo"};
        QTest::newRow("unknown option") << QStringList{"--fast", "sim:demo"};
        QTest::newRow("list with a locator") << QStringList{"--list", "sim:demo"};
    }
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        const Outcome outcome = runToEnd(arguments);
        QCOMPARE(outcome.exitCode, 64);
        QVERIFY(outcome.output.isEmpty());
    }

    void helpAndVersion()
    {
        const Outcome help = runToEnd({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.output.contains("LOCATOR"));
        QVERIFY(help.output.contains("--list"));
        const Outcome version = runToEnd({QStringLiteral("--version")});
        QCOMPARE(version.exitCode, 0);
        QVERIFY(version.output.startsWith("vkr-calibrate "));
    }
};

QTEST_GUILESS_MAIN(VkrCalibrateTest)
#include "tst_vkrcalibrate.moc"
