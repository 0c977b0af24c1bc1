// The calibration routine, run by the real worker thread over the real connection, against a
// scripted controller library.
#include "fakecontrollerlibrary.h"
#include "runrecorder.h"
#include "workthread.h"

#include <QtTest>
#include <atomic>
#include <functional>
#include <mutex>

#ifdef VKR_SERIAL_TESTS
#include "simprocess.h"
#endif

// Limits short enough to see each rule act within a moment, far enough apart to tell them apart.
const WorkerLimits shortLimits{std::chrono::milliseconds(1000), std::chrono::milliseconds(20),
                               std::chrono::milliseconds(100), std::chrono::milliseconds(150)};

// What a row makes the scripted library do, on top of its defaults.
using Script = std::function<void(FakeControllerLibrary& fake)>;
Q_DECLARE_METATYPE(Script)

class WorkThreadTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        fake = new FakeControllerLibrary;
        worker = new WorkThread;
        recorder = new RunRecorder(*worker);
    }
    void cleanup()
    {
        delete recorder;
        delete worker;
        delete fake;
    }

    void calibratesEveryChannelAndSkipsOneWithoutSensor()
    {
        fake->calibrateResults[1] = 129;
        fake->statusReads[0] = {{0, 6}, {0, 6}, {0, 0}};
        QVERIFY(recorder->run(QStringLiteral("sim:three")));
        QCOMPARE(recorder->messages,
                 QStringList({"Starting calibration...\n", "Successfully initialized.\n",
                              "\tChannel 0: calibrating... ", "done.\n", "\tChannel 1: no sensor\n",
                              "\tChannel 2: calibrating... ", "done.\n",
                              "\nCalibration routine finished with 0 errors.\n"}));
        QCOMPARE(recorder->finishedCount, 1);
        const QStringList calls = fake->calls();
        QCOMPARE(calls.first(), QStringLiteral("interfaceType sim:three"));
        QCOMPARE(calls.at(1), QStringLiteral("open 0 sim:three sync"));
        QCOMPARE(calls.last(), QStringLiteral("release"));
        QVERIFY(!calls.join(',').contains("setSensorEnabled"));
        QCOMPARE(calls.filter("getStatus 7 0").size(), 3); // polls until the status leaves 6
    }

    void failedOpenEndsTheRunWithoutCloseOrSummary()
    {
        fake->openResult = 4294967295u;
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages,
                 QStringList({"Starting calibration...\n", "Could not initialize! Error: 4294967295\n"}));
        QVERIFY(!fake->calls().contains("release"));
    }

    void failuresBeforeTheChannelLoop_data()
    {
        QTest::addColumn<Script>("script");
        QTest::addColumn<QStringList>("expected");
        const QString start = QStringLiteral("Starting calibration...\n");
        const QString init = QStringLiteral("Successfully initialized.\n");
        const QString powerSave = QStringLiteral("Sensors disabled. Setting to Power Save Mode.\n");
        QTest::newRow("mode not read, counted")
            << Script([](FakeControllerLibrary& fake) { fake.getModeResult = 5; })
            << QStringList{start, init, "Could not read sensor enabled mode! Error: 5\n",
                           "\nCalibration routine finished with 1 errors.\n"};
        QTest::newRow("power-save not set, counted")
            << Script([](FakeControllerLibrary& fake) {
                   fake.sensorMode = 0;
                   fake.setModeResult = 5;
               })
            << QStringList{start, init, powerSave, "Could not set Power Save Mode! Error: 5\n",
                           "\nCalibration routine finished with 1 errors.\n"};
        QTest::newRow("channel count not read, not counted")
            << Script([](FakeControllerLibrary& fake) { fake.channelsResult = 5; })
            << QStringList{start, init, "Could not get number of channels! Error: 5\n",
                           "\nCalibration routine finished with 0 errors.\n"};
        QTest::newRow("no channels") << Script([](FakeControllerLibrary& fake) {
            fake.channels = 0;
        }) << QStringList{start, init, "\nCalibration routine finished with 0 errors.\n"};
    }
    void failuresBeforeTheChannelLoop()
    {
        QFETCH(Script, script);
        QFETCH(QStringList, expected);
        script(*fake);
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages, expected);
        QCOMPARE(fake->calls().last(), QStringLiteral("release"));
        QVERIFY(fake->calls().filter("calibrateSensor").isEmpty());
    }

    void disabledSensorsAreSwitchedToPowerSaveBeforeCountingChannels()
    {
        fake->sensorMode = 0;
        fake->channels = 0;
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages.at(2), QStringLiteral("Sensors disabled. Setting to Power Save Mode.\n"));
        const QStringList calls = fake->calls();
        QCOMPARE(calls.indexOf("setSensorEnabled 7 2") + 1, calls.indexOf("getNumberOfChannels 7"));
    }

    void channelFailuresAreCountedAndTheRunGoesOn()
    {
        fake->channels = 5;
        fake->calibrateResults[4] = 17;
        fake->calibrateResults[0] = 4294967295u;
        fake->statusReads[2] = {{15, 6}};
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(
            recorder->messages.mid(2),
            QStringList({"Could not calibrate channel 0! Error: 4294967295\n", "\tChannel 1: calibrating... ",
                         "done.\n", "\tChannel 2: calibrating... ",
                         "Could not get status of channel 2! Error: 15\n", "\tChannel 3: calibrating... ",
                         "done.\n", "Could not calibrate channel 4! Error: 17\n",
                         "\nCalibration routine finished with 3 errors.\n"}));
        QVERIFY(fake->calls().filter("stop").isEmpty()); // a failed first read leaves the channel alone
        QCOMPARE(fake->calls().filter("getStatus 7 2").size(), 1);
    }

    void failedReadsDuringTheWaitAreNeitherReportedNorCounted()
    {
        fake->channels = 1;
        fake->statusReads[0] = {{0, 6}, {9, 6}, {9, 6}, {0, 6}, {9, 3}};
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages.mid(2), QStringList({"\tChannel 0: calibrating... ", "done.\n",
                                                         "\nCalibration routine finished with 0 errors.\n"}));
        QCOMPARE(fake->calls().filter("getStatus").size(), 5);
    }

    // A controller that answers status reads with an error while a long calibration runs is
    // waited for: neither failures for longer than the silence limit (channel 0) nor one failed
    // read that itself lasts longer (channel 1) end the wait, and failed reads are not polled in a
    // busy loop.
    void statusReadsThatKeepFailingDoNotEndTheWait()
    {
        worker->setLimits(shortLimits);
        const int failures = 2 * int(shortLimits.controllerSilence / shortLimits.failedStatusPause);
        fake->channels = 2;
        fake->statusReads[0] = {{0, 6}};
        for (int i = 0; i < failures; ++i)
            fake->statusReads[0].append({9, 6});
        fake->statusReads[1] = {{0, 6}, {9, 6}};
        fake->onStatusRead = [&](uint32_t channel) {
            if (channel == 1 && fake->calls().filter("getStatus 7 1").size() == 2) // hangs, then fails
                QThread::msleep(static_cast<unsigned long>(shortLimits.controllerSilence.count() + 100));
        };
        QElapsedTimer timer;
        timer.start();
        QVERIFY(recorder->run(QStringLiteral("sim:x"), 20000));
        QCOMPARE(recorder->messages.mid(2),
                 QStringList({"\tChannel 0: calibrating... ", "done.\n", "\tChannel 1: calibrating... ",
                              "done.\n", "\nCalibration routine finished with 0 errors.\n"}));
        QVERIFY(timer.elapsed() >= failures * shortLimits.failedStatusPause.count());
        QVERIFY(fake->calls().filter("stop").isEmpty());
    }

#ifdef VKR_SERIAL_TESTS
    // The wait over a serial line, under short limits: a controller that has sent nothing for the
    // silence limit is given up, told to stop once, and the run goes on; one that holds the line
    // (XOFF) the same, each write failing after the write stall, and the stop never getting
    // through; one that answers anything, even errors, is waited for.
    void theWaitGivesUpOnlyOnAControllerSilentForTheLimit_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("stops");
        const QString calibrating = QStringLiteral("\tChannel 0: calibrating... ");
        QTest::newRow("silent") << "channels=2,time=60000,silentafter=7"
                                << QStringList{calibrating, "Could not get status of channel 0! Error: 15\n",
                                               "Could not calibrate channel 1! Error: 15\n",
                                               "\nCalibration routine finished with 2 errors.\n"}
                                << 1;
        QTest::newRow("line held") << "channels=2,time=60000,noise@GS=\x13"
                                   << QStringList{calibrating,
                                                  "Could not get status of channel 0! Error: 8\n",
                                                  "Could not calibrate channel 1! Error: 8\n",
                                                  "\nCalibration routine finished with 2 errors.\n"}
                                   << 0;
        QTest::newRow("answering errors")
            << "channels=1,time=1500,fail-poll=11"
            << QStringList{calibrating, "done.\n", "\nCalibration routine finished with 0 errors.\n"} << 0;
    }
    void theWaitGivesUpOnlyOnAControllerSilentForTheLimit()
    {
        QFETCH(QString, scenario);
        QFETCH(QStringList, messages);
        QFETCH(int, stops);
        SimProcess sim(scenario);
        QVERIFY(sim.start());
        fake->interfaceType = 0; // a serial locator
        worker->setLimits(shortLimits);
        // When the routine said each text, taken on its own thread.
        std::mutex saidMutex;
        QMap<QString, qint64> said;
        QElapsedTimer clock;
        clock.start();
        connect(
            worker, &WorkThread::logMessage, this,
            [&](const QString& text) {
                const std::lock_guard<std::mutex> lock(saidMutex);
                said.insert(text, clock.elapsed());
            },
            Qt::DirectConnection);
        // A row that fails leaves no run behind to note into what is gone.
        const auto stopRun = qScopeGuard([&] {
            worker->abort();
            worker->wait();
        });
        QVERIFY(recorder->run(sim.locator(), 30000));
        QCOMPARE(recorder->messages.mid(2), messages);
        QTRY_COMPARE_WITH_TIMEOUT(sim.log().count(QLatin1String("in  :S0\n")), stops, 5000);
        // The last byte came after the channel's start was said: a give-up comes a full limit later.
        const std::lock_guard<std::mutex> lock(saidMutex); // the thread's end is hidden from TSan
        const qint64 waited = said.value(messages.at(1)) - said.value(messages.at(0));
        if (messages.at(1) != QLatin1String("done.\n"))
            QVERIFY2(waited >= shortLimits.controllerSilence.count(), qPrintable(QString::number(waited)));
    }
#endif

    void abortDuringAWaitStopsTheChannelAndCloses()
    {
        fake->neverFinishes = {1};
        std::atomic_int reads{0};
        fake->onStatusRead = [&](uint32_t channel) {
            if (channel == 1 && ++reads == 20)
                worker->abort();
        };
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages.mid(2), QStringList({"\tChannel 0: calibrating... ", "done.\n",
                                                         "\tChannel 1: calibrating... ", "Aborting.\n"}));
        const QStringList calls = fake->calls();
        QCOMPARE(calls.mid(calls.size() - 2), QStringList({"stop 7 1", "release"}));
    }

    void abortBetweenChannelsClosesWithoutStopping()
    {
        fake->onStatusRead = [&](uint32_t) { worker->abort(); };
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages.mid(2),
                 QStringList({"\tChannel 0: calibrating... ", "done.\n", "Aborting.\n"}));
        QVERIFY(fake->calls().filter("stop").isEmpty());
        QCOMPARE(fake->calls().last(), QStringLiteral("release"));
    }

    void abortBeforeTheRunStartsIsForgotten()
    {
        fake->channels = 1;
        worker->abort();
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages.last(),
                 QStringLiteral("\nCalibration routine finished with 0 errors.\n"));
    }

    // The destructor's abort can come before the new thread has begun; the worker must still end
    // the run instead of waiting for it to finish alone.
    void destroyingRightAfterTheStartEndsTheRun()
    {
        fake->neverFinishes = {0};
        QElapsedTimer sinceStart;
        // A run whose abort was lost ends on its own after 1.5 s, so a lost abort shows as a slow
        // destruction instead of a hang.
        fake->onStatusRead = [&](uint32_t) {
            if (sinceStart.elapsed() > 1500)
                fake->neverFinishes.clear();
        };
        for (int i = 0; i < 50; ++i) {
            auto* started = new WorkThread;
            started->setLocator(QStringLiteral("sim:x"));
            sinceStart.start();
            started->startRun();
            delete started;
            QVERIFY2(sinceStart.elapsed() < 2000, qPrintable(QString::number(sinceStart.elapsed())));
        }
    }

    void failedCloseKeepsTheConnectionOpenForTheNextRun()
    {
        fake->channels = 0;
        fake->releaseResult = 3;
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages.last(),
                 QStringLiteral("\nCalibration routine finished with 0 errors.\n"));
        fake->clearCalls();
        QVERIFY(recorder->run(QStringLiteral("sim:x")));
        QCOMPARE(recorder->messages,
                 QStringList({"Starting calibration...\n", "Could not initialize! Error: 1\n"}));
        QVERIFY(fake->calls().isEmpty()); // the open connection refuses before asking any library
        fake->releaseResult = 0;
    }

private:
    FakeControllerLibrary* fake = nullptr;
    WorkThread* worker = nullptr;
    RunRecorder* recorder = nullptr;
};

QTEST_GUILESS_MAIN(WorkThreadTest)
#include "tst_workthread.moc"
