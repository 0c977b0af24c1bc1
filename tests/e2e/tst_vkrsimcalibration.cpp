// Whole calibrations over a serial line: the real routine and connection against vkr-sim on a
// pseudo-terminal, with the exact log texts the user sees.
#include "runrecorder.h"
#include "serialport.h"
#include "simprocess.h"
#include "workthread.h"

#include <QtTest>

#include <csignal>

namespace {

const QString starting = QStringLiteral("Starting calibration...\n");
const QString initialized = QStringLiteral("Successfully initialized.\n");
const QString powerSave = QStringLiteral("Sensors disabled. Setting to Power Save Mode.\n");
const QString done = QStringLiteral("done.\n");
const QString aborting = QStringLiteral("Aborting.\n");

QString calibrating(int channel)
{
    return QStringLiteral("\tChannel %1: calibrating... ").arg(channel);
}

QString summary(int errors)
{
    return QStringLiteral("\nCalibration routine finished with %1 errors.\n").arg(errors);
}

// Three channels, sensors off at first, none on channel 1, a short calibration.
const QString threeChannels = QStringLiteral("channels=3,nosensor=1,mode=0,time=50");

QStringList normalRunOfThreeChannels()
{
    return {starting,       initialized, powerSave,
            calibrating(0), done,        QStringLiteral("\tChannel 1: no sensor\n"),
            calibrating(2), done,        summary(0)};
}

} // namespace

class TestVkrSimCalibration : public QObject
{
    Q_OBJECT

private slots:
    void runLogsEveryStep_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("messages");

        QTest::newRow("normal run") << threeChannels << normalRunOfThreeChannels();
        QTest::newRow("channel failures") << "channels=3,time=50,fail-calibrate@1=17,fail-status@2=5"
                                          << QStringList{starting,
                                                         initialized,
                                                         calibrating(0),
                                                         done,
                                                         "Could not calibrate channel 1! Error: 17\n",
                                                         calibrating(2),
                                                         "Could not get status of channel 2! Error: 14\n",
                                                         summary(2)};
        QTest::newRow("power save refused")
            << "mode=0,fail-setmode=6"
            << QStringList{starting, initialized, powerSave, "Could not set Power Save Mode! Error: 6\n",
                           summary(1)};
        QTest::newRow("channel count acknowledged instead of answered")
            << "fail-channels=9"
            << QStringList{starting, initialized, "Could not get number of channels! Error: 14\n",
                           summary(0)};
        QTest::newRow("open refused")
            << "fail-open=7" << QStringList{starting, "Could not initialize! Error: 7\n"};
        QTest::newRow("silent controller")
            << "silentafter=0" << QStringList{starting, "Could not initialize! Error: 15\n"};
        QTest::newRow("version answered with a value too few")
            << "wrongcount=GIV" << QStringList{starting, "Could not initialize! Error: 14\n"};
        QTest::newRow("noisy, slow line")
            << threeChannels + ",noise=~~,slowbytes=40" << normalRunOfThreeChannels();
        // Each status reply comes after its time-out, ahead of the next command's reply.
        QTest::newRow("status replies later than the time-out")
            << "channels=2,latency=700"
            << QStringList{starting,       initialized,
                           calibrating(0), "Could not get status of channel 0! Error: 15\n",
                           calibrating(1), "Could not get status of channel 1! Error: 15\n",
                           summary(2)};
    }

    void runLogsEveryStep()
    {
        QFETCH(QString, scenario);
        QFETCH(QStringList, messages);

        SimProcess sim(scenario);
        QVERIFY(sim.start());
        WorkThread worker;
        // A slow line's bytes come well within the time-out, but a starved simulator can send one
        // late, which this row is not about: it gets a wait no machine overruns.
        if (scenario.contains(QLatin1String("slowbytes"))) {
            WorkerLimits patient;
            patient.replyByteTimeout = std::chrono::seconds(10);
            worker.setLimits(patient);
        }
        RunRecorder recorder(worker);
        QVERIFY(recorder.run(sim.locator(), 30000));
        if (recorder.messages != messages)
            qInfo() << recorder.messages;
        QCOMPARE(recorder.messages, messages);
        // Every open that fails says why.
        QCOMPARE(worker.lastRecord().openFailureReason.isEmpty(),
                 !messages.last().startsWith(QLatin1String("Could not initialize!")));
    }

    void secondRunOnTheSameSimulatorSucceeds()
    {
        // The controller stays at 115200 baud after the first run: the second handshake's zero
        // byte and speed change arrive at the wrong speed, and GIV must still be answered.
        SimProcess sim(threeChannels);
        QVERIFY(sim.start());
        WorkThread worker;
        RunRecorder recorder(worker);
        QVERIFY(recorder.run(sim.locator(), 30000));
        QCOMPARE(recorder.messages, normalRunOfThreeChannels());

        WorkThread secondWorker;
        RunRecorder secondRecorder(secondWorker);
        QVERIFY(secondRecorder.run(sim.locator(), 30000));
        QStringList second = normalRunOfThreeChannels();
        second.removeAll(powerSave); // the first run left the sensors in power-save mode
        QCOMPARE(secondRecorder.messages, second);
    }

    void abortDuringAWaitStopsTheChannel()
    {
        SimProcess sim(QStringLiteral("channels=2,stuck=0"));
        QVERIFY(sim.start());
        WorkThread worker;
        RunRecorder recorder(worker);
        worker.setLocator(sim.locator());
        worker.startRun();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.messages.contains(calibrating(0)), 10000);
        worker.abort();
        QVERIFY(recorder.waitForFinished(10000));

        QCOMPARE(recorder.messages, (QStringList{starting, initialized, calibrating(0), aborting}));
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("in  :S0\n")), 5000);
        QVERIFY(sim.log().contains(QLatin1String("out :E0,0\\n")));
        QVERIFY(!sim.log().contains(QLatin1String("in  :CS1")));
    }

    // A controller that is gone ends the wait: a line that hangs up at once (the read fails with
    // 10, writing to the dead line then with 8) takes no command. (A silent controller, given up
    // after the silence limit, is in tst_workthread, under short limits.)
    void aControllerThatIsGoneEndsTheWait_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("stops");
        QTest::newRow("line hung up") << "channels=2,time=50,hangup=GS"
                                      << QStringList{starting,
                                                     initialized,
                                                     calibrating(0),
                                                     "Could not get status of channel 0! Error: 10\n",
                                                     "Could not calibrate channel 1! Error: 8\n",
                                                     summary(2)}
                                      << 0;
    }
    void aControllerThatIsGoneEndsTheWait()
    {
        QFETCH(QString, scenario);
        QFETCH(QStringList, messages);
        QFETCH(int, stops);
        SimProcess sim(scenario);
        QVERIFY(sim.start());
        WorkThread worker;
        RunRecorder recorder(worker);
        QVERIFY(recorder.run(sim.locator(), 60000));
        QCOMPARE(recorder.messages, messages);
        QTRY_COMPARE_WITH_TIMEOUT(sim.log().count(QLatin1String("in  :S0\n")), stops, 5000);
        QVERIFY(stops > 0 || (sim.waitForExit() && sim.process().exitCode() == 0)); // it hung up and ended
    }

    void hostOpensTheLineExclusively()
    {
        SimProcess sim;
        QVERIFY(sim.start());
        const std::string port = sim.portName().toStdString();
        SerialPort first;
        QVERIFY(first.open(port, 9600));
        SerialPort second;
        QVERIFY(!second.open(port, 9600));
        first.close();
        QVERIFY(second.open(port, 9600));
    }

    void endsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("hostOnLine");
        // A reply larger than the line holds, which the host leaves unread when it closes the line.
        QTest::addColumn<bool>("replyPending");
        QTest::newRow("SIGINT, line idle") << int(SIGINT) << false << false;
        QTest::newRow("SIGTERM, line idle") << int(SIGTERM) << false << false;
        QTest::newRow("SIGTERM, host on the line") << int(SIGTERM) << true << false;
        QTest::newRow("SIGTERM, host gone from a reply it did not read") << int(SIGTERM) << false << true;
        QTest::newRow("SIGINT, host reading nothing of a reply") << int(SIGINT) << true << true;
    }

    void endsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        QFETCH(bool, hostOnLine);
        QFETCH(bool, replyPending);

        SimProcess sim(replyPending ? QStringLiteral("noise=") + QString(120000, QLatin1Char('~'))
                                    : QString());
        QVERIFY(sim.start());
        SerialPort port;
        if (hostOnLine || replyPending) {
            QVERIFY(port.open(sim.portName().toStdString(), 9600));
            QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("host opened the line")), 5000);
        }
        if (replyPending) {
            QVERIFY(port.write(":GIV\n", 5));
            QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("in  :GIV")), 5000);
        }
        if (replyPending && !hostOnLine) {
            // The write loop takes the hang-up for the end of the line, and waits for the next host.
            port.close();
            QTRY_VERIFY_WITH_TIMEOUT(
                sim.log().contains(QLatin1String("host closed the line during the reply")), 5000);
        }
        // A hang guard on top of stop()'s own: the write loop never holds a stop request up.
        QElapsedTimer clock;
        clock.start();
        QVERIFY(sim.stop(signal));
        qInfo("ended %lld ms after the signal", clock.elapsed());
        QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process().exitCode(), 0);
    }

    void rejectsABadCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("malformed scenario")
            << QStringList{"--scenario", "wrongname=NOPE"} << "wrongname=NOPE";
        QTest::newRow("scenario without its text") << QStringList{"--scenario"} << "--scenario";
        QTest::newRow("unknown option") << QStringList{"--fast"} << "fast";
        QTest::newRow("an argument") << QStringList{"demo"} << "demo";
        QTest::newRow("a known item with a wrong value")
            << QStringList{"--scenario", "noise=a:b"} << "bad value in: noise=a:b";
        QTest::newRow("speed factor beyond the range")
            << QStringList{"--replay", "r.jsonl", "--speed", "1e300"}
            << "--speed takes a number from 0.001 to 1000";
        QTest::newRow("speed factor below the range")
            << QStringList{"--replay", "r.jsonl", "--speed", "1e-300"}
            << "--speed takes a number from 0.001 to 1000";
    }
    void rejectsABadCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, complaint);
        QProcess sim;
        sim.start(SimProcess::executable(), arguments);
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 2);
        const QString errors = QString::fromLocal8Bit(sim.readAllStandardError());
        QVERIFY2(errors.contains(complaint), qPrintable(errors));
        QVERIFY(sim.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestVkrSimCalibration)
#include "tst_vkrsimcalibration.moc"
