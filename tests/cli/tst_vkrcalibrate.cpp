// vkr-calibrate as a user runs it: a child process against the simulated controllers.
#include "calibrateprocess.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString Program = QStringLiteral(VKR_CALIBRATE_PATH);
} // namespace

class VkrCalibrateTest : public QObject
{
    Q_OBJECT

    QTemporaryDir folder; // for the usage errors: a file with content, and links

private slots:
    void initTestCase()
    {
        QFile kept(folder.filePath(QStringLiteral("kept")));
        QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("kept\n") == 5 && kept.flush());
        const auto path = [this](const char* name) { return QFile::encodeName(folder.filePath(name)); };
        QCOMPARE(::link(path("kept").constData(), path("hard link").constData()), 0);
        QCOMPARE(::symlink("new", path("dangling link").constData()), 0);
    }

    void printsTheLogAndExitsByTheEnding_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("errors"); // standard error: why the controller was not opened
        QTest::newRow("calibrated") << "sim:demo,time=20"
                                    << QByteArray("Starting calibration...\nSuccessfully initialized.\n"
                                                  "Sensors disabled. Setting to Power Save Mode.\n"
                                                  "\tChannel 0: calibrating... done.\n"
                                                  "\tChannel 1: calibrating... done.\n"
                                                  "\tChannel 2: no sensor\n"
                                                  "\tChannel 3: calibrating... done.\n"
                                                  "\nCalibration routine finished with 0 errors.\n")
                                    << 0 << QByteArray();
        QTest::newRow("errors") << "sim:channels=2,time=0,fail-calibrate=17"
                                << QByteArray("Starting calibration...\nSuccessfully initialized.\n"
                                              "Could not calibrate channel 0! Error: 17\n"
                                              "Could not calibrate channel 1! Error: 17\n"
                                              "\nCalibration routine finished with 2 errors.\n")
                                << 1 << QByteArray();
        QTest::newRow("not opened")
            << "sim:fail-open=4294967295"
            << QByteArray("Starting calibration...\nCould not initialize! Error: 4294967295\n") << 2
            << QByteArray("vkr-calibrate: the controller library refused to open it: code 4294967295\n");
        QTest::newRow("no locator form")
            << "nothing" << QByteArray("Starting calibration...\nCould not initialize! Error: 21\n") << 2
            << QByteArray("vkr-calibrate: \"nothing\" is no locator: a serial locator is a prefix, ':' and "
                          "the port, "
                          "such as serial:/dev/ttyUSB0\n");
        QTest::newRow("no such serial port")
            << "serial:/dev/vkr-no-such-port"
            << QByteArray("Starting calibration...\nCould not initialize! Error: 1\n") << 2
            << QByteArray("vkr-calibrate: serial port /dev/vkr-no-such-port: No such file or directory (is "
                          "the adapter "
                          "plugged in? The locator list shows the ports found)\n");
        QTest::newRow("blanks around the locator, pasted from a file")
            << " sim:channels=1,time=0\t\r\n"
            << QByteArray(
                   "Starting calibration...\nSuccessfully initialized.\n"
                   "\tChannel 0: calibrating... done.\n\nCalibration routine finished with 0 errors.\n")
            << 0 << QByteArray();
    }
    void printsTheLogAndExitsByTheEnding()
    {
        QFETCH(QString, locator);
        QFETCH(QByteArray, output);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, errors);
        const CalibrateOutcome outcome = runVkrCalibrate({locator});
        QCOMPARE(outcome.output, output);
        QCOMPARE(outcome.exitCode, exitCode);
        QCOMPARE(outcome.errors, errors);
    }

    // A report or standard output whose reader stopped reading (a FIFO opened and left full)
    // holds the program up until one signal: the write gives up, the run is said not written, 74.
    void aReaderThatStopsReadingHoldsUpNothingAfterOneSignal_data()
    {
        QTest::addColumn<bool>("report"); // else standard output
        QTest::newRow("report") << true;
        QTest::newRow("standard output") << false;
    }
    void aReaderThatStopsReadingHoldsUpNothingAfterOneSignal()
    {
        QFETCH(bool, report);
        QTemporaryDir folder;
        const QByteArray fifo = QFile::encodeName(folder.filePath(QStringLiteral("stuck")));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        // Its reader, which never reads, and the bytes that fill the pipe.
        const int held = ::open(fifo.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(held >= 0);
        const QByteArray filler(4096, 'x');
        while (::write(held, filler.constData(), std::size_t(filler.size())) > 0) {
        }
        QProcess process;
        QStringList arguments{QStringLiteral("--no-history"), QStringLiteral("sim:channels=1,time=0")};
        if (report)
            arguments.prepend(QString::fromLocal8Bit(fifo)), arguments.prepend(QStringLiteral("--report"));
        else
            process.setStandardOutputFile(QString::fromLocal8Bit(fifo));
        process.start(Program, arguments);
        QVERIFY(process.waitForStarted());
        const qint64 pid = process.processId();
        // Once the run has ended (the report) or the program watches for signals (standard output,
        // whose first line already waits).
        if (report)
            QVERIFY(process.waitForReadyRead(10000) &&
                    QTest::qWaitFor([&] { return process.peek(4096).contains("finished with"); }, 10000));
        else
            QTRY_VERIFY_WITH_TIMEOUT(signalCaught(pid, SIGTERM), 10000);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
        QVERIFY(process.waitForFinished(15000));
        ::close(held);
        QVERIFY2(clock.elapsed() < 12000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(process.exitCode(), 74);
        const QByteArray said = process.readAllStandardError();
        QVERIFY2(said.contains("its reader took nothing once the program was asked to stop"),
                 said.constData());
        QCOMPARE(said.contains("is not in it"), report);
    }

    // Against vkr-sim, so that the stop the controller receives can be seen.
    void aSignalDuringAWaitAbortsAndStopsTheChannel_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("repeats");
        QTest::newRow("Ctrl+C") << int(SIGINT) << 1;
        QTest::newRow("Ctrl+C pressed twice") << int(SIGINT) << 2;
        QTest::newRow("SIGTERM") << int(SIGTERM) << 1;
        QTest::newRow("SIGHUP, the terminal went away") << int(SIGHUP) << 1;
        // The third while the stop's reply comes slowly: the program ends at once, without the run.
        QTest::newRow("three SIGTERMs") << int(SIGTERM) << 3;
    }
    void aSignalDuringAWaitAbortsAndStopsTheChannel()
    {
        QFETCH(int, signal);
        QFETCH(int, repeats);
        const bool atOnce = repeats == 3;
        SimProcess sim(atOnce ? QStringLiteral("channels=3,time=0,stuck=1,slowbytes@S=400")
                              : QStringLiteral("channels=3,time=0,stuck=1"));
        QVERIFY(sim.start());
        QTemporaryDir locks; // the port's lock file is there while the run has the port, and only then
        QFile lock(locks.filePath("LCK.." + sim.portName().mid(5).replace('/', '_')));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("VKR_LOCK_DIR"), locks.path());
        process.setProcessEnvironment(environment);
        process.start(Program, {sim.locator()});
        QByteArray output;
        QVERIFY(QTest::qWaitFor(
            [&] {
                output += process.readAllStandardOutput();
                return output.endsWith("\tChannel 1: calibrating... ");
            },
            10000));
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), QStringLiteral("%1\nvkr-calibrate\n%2\n")
                                     .arg(process.processId(), 10)
                                     .arg(QSysInfo::machineHostName())
                                     .toLatin1());
        for (int i = 0; i < repeats; ++i) {
            QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
            if (atOnce) // one at a time: signals of one kind that arrive together count once
                QTRY_VERIFY_WITH_TIMEOUT(!signalPending(process.processId(), signal), 5000);
        }
        QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(10000));
        QVERIFY(!lock.exists());
        output += process.readAllStandardOutput();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 3);
        // At once, the end may come before the first signal's word in the log.
        QVERIFY(output.endsWith("\tChannel 1: calibrating... Aborting.\n") ||
                (atOnce && output.endsWith("\tChannel 1: calibrating... ")));
        if (atOnce) {
            QVERIFY(process.readAllStandardError().contains("ended on a third signal"));
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("in  :S1\n")), 5000);
    }

    // Ctrl+C while the handlers are being put in place, with a channel that would never end: the
    // program ends, by the signal itself or as aborted, and never goes on as if none had come.
    void aSignalAsTheHandlersAreSetUpIsNotLost_data()
    {
        QTest::addColumn<QString>("prelude");
        QTest::newRow("started with Ctrl+C at its default") << QString();
        QTest::newRow("started with Ctrl+C ignored, as a background job") << QStringLiteral("trap '' INT;");
    }
    void aSignalAsTheHandlersAreSetUpIsNotLost()
    {
        QFETCH(QString, prelude);
        QProcess process;
        process.start(
            QStringLiteral("sh"),
            {"-c", QStringLiteral(
                       "%4 %1 VKR_SIGNAL_AT_SOCKETPAIR=%2; exec '%3' --no-history sim:channels=1,stuck=0")
                       .arg(refusedThreads(-1))
                       .arg(SIGINT)
                       .arg(Program, prelude)});
        QVERIFY2(process.waitForFinished(10000), process.readAllStandardOutput().constData());
        QVERIFY(process.exitStatus() == QProcess::CrashExit || process.exitCode() == 3);
    }

    // A run in a library call (each status read takes 4 s, or 60 s) sees the abort only when the call
    // returns, and a second signal still waits for that; a third ends the program at once.
    void aThirdSignalEndsTheProgramAtOnce_data()
    {
        QTest::addColumn<int>("arrivals");
        QTest::newRow("two: the read, then the abort") << 2;
        QTest::newRow("three: at once") << 3;
    }
    void aThirdSignalEndsTheProgramAtOnce()
    {
        QFETCH(int, arrivals);
        const bool atOnce = arrivals == 3;
        QProcess process;
        process.start(
            Program, {atOnce ? "sim:channels=1,time=0,latency=60000" : "sim:channels=3,time=0,latency=4000"});
        QVERIFY(QTest::qWaitFor([&] { return process.peek(1024).endsWith("calibrating... "); }, 10000));
        for (int i = 0; i < arrivals; ++i) {
            QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!signalPending(process.processId(), SIGTERM), 5000);
        }
        // At once: long before the read's 60 s. The wait for the last signal's delivery may have
        // seen the program end already.
        QVERIFY(process.state() == QProcess::NotRunning || process.waitForFinished(20000));
        QCOMPARE(process.exitCode(), 3);
        QVERIFY(process.readAllStandardOutput().endsWith(atOnce ? "calibrating... " : "done.\nAborting.\n"));
        QCOMPARE(process.readAllStandardError(),
                 atOnce ? QByteArray("vkr-calibrate: ended on a third signal without waiting for the runs to "
                                     "stop; the controller may still be calibrating\n")
                        : QByteArray());
    }

    // The adapter unplugged during a channel's wait: the run ends by itself at once, every later
    // channel fails fast, and the debug lines of the commands sent stay few.
    void aLineThatDiesDuringAWaitEndsTheRun()
    {
        SimProcess sim(QStringLiteral("channels=3,time=60000,hangupafter=7"));
        QVERIFY(sim.start());
        QProcess process;
        QElapsedTimer timer;
        timer.start();
        process.start(Program, {QStringLiteral("--debug"), sim.locator()});
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 20000);
        QCOMPARE(process.readAllStandardOutput(),
                 QByteArray("Starting calibration...\nSuccessfully initialized.\n"
                            "\tChannel 0: calibrating... Could not get status of channel 0! Error: 10\n"
                            "Could not calibrate channel 1! Error: 8\n"
                            "Could not calibrate channel 2! Error: 8\n"
                            "\nCalibration routine finished with 3 errors.\n"));
        QCOMPARE(process.exitCode(), 1);
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed()))); // about 1 s
        const QByteArray debugLines = process.readAllStandardError();
        QVERIFY2(debugLines.contains("out:CS2\n") && debugLines.size() < 1024,
                 debugLines.right(200).constData());
    }

    // The reader of the log goes away (a pipe into head that has had its lines) while a channel
    // is being started: the channel still gets its stop, and the exit status says the log is lost.
    void aClosedPipeStopsTheCalibratingChannel()
    {
        // A named pipe, so that the test holds the only reading end and can close it.
        QTemporaryDir folder;
        const QString pipePath = folder.filePath(QStringLiteral("log"));
        QCOMPARE(::mkfifo(QFile::encodeName(pipePath).constData(), 0600), 0);
        int reader = ::open(QFile::encodeName(pipePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);

        SimProcess sim(QStringLiteral("channels=2,stuck=0,slowbytes@CS=150"));
        QVERIFY(sim.start());
        QProcess process;
        process.setStandardOutputFile(pipePath);
        process.start(Program, {sim.locator()});
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("in  :CS0\n")), 10000);
        // The acknowledge takes most of a second to arrive; the log line that follows it is the
        // first to meet the closed pipe.
        ::close(reader);
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 10000);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 74);
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("in  :S0\n")), 5000);
        QVERIFY(process.readAllStandardError().contains(
            "vkr-calibrate: cannot write to standard output: Broken pipe\n"));
    }

    void outputThatCannotBeWrittenIsAnError_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("calibration") << QStringList{"sim:demo,time=20"};
        QTest::newRow("--list") << QStringList{"--list"};
        QTest::newRow("--help") << QStringList{"--help"};
        QTest::newRow("--version") << QStringList{"--version"};
    }
    void outputThatCannotBeWrittenIsAnError()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        process.setStandardOutputFile(QStringLiteral("/dev/full"));
        process.start(Program, arguments);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 74);
        const QByteArray errors = process.readAllStandardError();
        QVERIFY2(errors.contains("vkr-calibrate: cannot write to standard output: No space left on device\n"),
                 errors.constData());
    }

    void listsWhatDiscoveryFinds()
    {
        const CalibrateOutcome outcome = runVkrCalibrate({QStringLiteral("--list")});
        QCOMPARE(outcome.exitCode, 0);
        QVERIFY(outcome.output.startsWith("sim:demo\n"));
        for (const QByteArray& line : outcome.output.split('\n').mid(1, -1))
            QVERIFY2(line.isEmpty() || line.startsWith("serial:/dev/"), line.constData());
    }

    // Controllers side by side: each run's log comes out whole, line by line behind its locator,
    // the runs overlap in time, the report holds one object per run, and the status is the worst.
    // A locator shows its control characters and bytes that are no UTF-8 escaped; one given twice, #2.
    void severalControllersSideBySide()
    {
        const QString good = QStringLiteral("sim:channels=2,time=1000");
        const QString refused = QStringLiteral("sim:fail-open=7");
        const QString failing = QStringLiteral("sim:channels=3,nosensor=1,fail-calibrate@2=17,time=1000");
        QTemporaryDir folder;
        const QString reportPath = folder.filePath(QStringLiteral("report.jsonl"));
        const CalibrateOutcome outcome =
            runVkrCalibrate({QStringLiteral("--report"), reportPath, good, refused, failing, good}, 30000,
                            "set -- \"$@\" \"$(printf 'no\\033[2J\\377')\"");
        QCOMPARE(outcome.exitCode, 2);

        QMap<QString, QByteArray> logs;
        for (const QByteArray& line : outcome.output.split('\n')) {
            if (line.isEmpty())
                continue;
            const int end = line.indexOf("] ");
            QVERIFY2(line.startsWith('[') && end > 0, line.constData());
            logs[QString::fromUtf8(line.mid(1, end - 1))] += line.mid(end + 2) + '\n';
        }
        QCOMPARE(logs.value(good),
                 QByteArray("Starting calibration...\nSuccessfully initialized.\n"
                            "\tChannel 0: calibrating... done.\n\tChannel 1: calibrating... done.\n"
                            "\nCalibration routine finished with 0 errors.\n"));
        QCOMPARE(logs.value(refused),
                 QByteArray("Starting calibration...\nCould not initialize! Error: 7\n"));
        QCOMPARE(logs.value(failing),
                 QByteArray(
                     "Starting calibration...\nSuccessfully initialized.\n\tChannel 0: calibrating... done.\n"
                     "\tChannel 1: no sensor\nCould not calibrate channel 2! Error: 17\n"
                     "\nCalibration routine finished with 1 errors.\n"));
        QCOMPARE(logs.value(good + "#2"), logs.value(good));
        const QString shown = QStringLiteral("no\\x1b[2J\\xff");
        QCOMPARE(logs.value(shown), QByteArray("Starting calibration...\nCould not initialize! Error: 21\n"));
        // The reason lines, each whole, in the order the runs ended.
        const QByteArray errors = '\n' + outcome.errors;
        QVERIFY(errors.contains("\nvkr-calibrate: [" + shown.toUtf8() + "] \"" + shown.toUtf8() + "\" is "));
        QVERIFY(
            errors.contains("\nvkr-calibrate: [sim:fail-open=7] the controller library refused to open it: "
                            "code 7\n"));

        QFile reportFile(reportPath);
        QVERIFY(reportFile.open(QIODevice::ReadOnly));
        const QByteArray report = reportFile.readAll();
        QVERIFY(report.contains("\"locator\":\"no\\u001b[2J\\udcff\"")); // the bytes, for a JSON reader
        QMap<QString, QJsonObject> runs;
        for (const QByteArray& line : report.split('\n')) {
            if (!line.isEmpty())
                runs[QJsonDocument::fromJson(line).object().value("locator").toString()] =
                    QJsonDocument::fromJson(line).object();
        }
        QCOMPARE(runs.size(), 4); // the locator given twice is one key
        QCOMPARE(runs[good]["outcome"].toString(), QStringLiteral("calibrated"));
        QCOMPARE(runs[refused]["outcome"].toString(), QStringLiteral("not-opened"));
        QCOMPARE(runs[refused]["openResult"].toInt(), 7);
        QCOMPARE(runs[refused]["channels"].toArray().size(), 0);
        QCOMPARE(runs[failing]["outcome"].toString(), QStringLiteral("calibrated-with-errors"));
        QCOMPARE(runs[failing]["errors"].toInt(), 1);
        const QJsonArray channels = runs[failing]["channels"].toArray();
        QCOMPARE(channels.size(), 3);
        QCOMPARE(channels[0]["result"].toString(), QStringLiteral("calibrated"));
        QVERIFY(channels[0]["seconds"].toDouble() >= 0.9);
        QCOMPARE(channels[1]["result"].toString(), QStringLiteral("no-sensor"));
        QCOMPARE(channels[1]["code"].toInt(), 129);
        QCOMPARE(channels[2]["result"].toString(), QStringLiteral("failed"));
        QCOMPARE(channels[2]["code"].toInt(), 17);
        QCOMPARE(runs[good]["tool"].toObject()["name"].toString(), QStringLiteral("vkr-calibrate"));
        // Side by side, not one after the other: each run started before the other finished.
        const auto time = [&](const QString& locator, const char* key) {
            return QDateTime::fromString(runs[locator][key].toString(), Qt::ISODateWithMs);
        };
        QVERIFY(time(good, "started").isValid());
        QVERIFY(time(good, "started") < time(failing, "finished"));
        QVERIFY(time(failing, "started") < time(good, "finished"));
    }

    // The report says what happened: nothing calibrated is no success, and every failed step is
    // there with its code, also those outside a channel and the one the log does not count.
    void reportTellsWhatHappened_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("failures");
        QTest::addColumn<int>("channelCount"); // -1: not read
        QTest::newRow("channel count not read")
            << "sim:fail-channels=9"
            << "incomplete" << 1 << QByteArray(R"([{"code":9,"step":"getNumberOfChannels"}])") << -1;
        QTest::newRow("sensor mode not set")
            << "sim:mode=0,fail-setmode=6"
            << "incomplete" << 1 << QByteArray(R"([{"code":6,"step":"setSensorEnabled"}])") << -1;
        QTest::newRow("channel failures")
            << "sim:channels=3,time=0,fail-calibrate@1=17,fail-status@2=5"
            << "calibrated-with-errors" << 1
            << QByteArray(R"([{"channel":1,"code":17,"step":"calibrateSensor"},)"
                          R"({"channel":2,"code":5,"step":"getStatus"}])")
            << 3;
        QTest::newRow("not opened") << "nothing"
                                    << "not-opened" << 2 << QByteArray(R"([{"code":21,"step":"open"}])")
                                    << -1;
    }
    void reportTellsWhatHappened()
    {
        QFETCH(QString, locator);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("report.jsonl"));
        const CalibrateOutcome run = runVkrCalibrate({QStringLiteral("--report"), path, locator});
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
        QTEST(run.exitCode, "exitCode");
        QTEST(report["outcome"].toString(), "outcome");
        QTEST(QJsonDocument(report["failures"].toArray()).toJson(QJsonDocument::Compact), "failures");
        QTEST(report["channelCount"].toInt(-1), "channelCount");
        // A controller not opened keeps the reason the command line printed.
        QCOMPARE(report.contains("reason"), report["outcome"] == "not-opened");
        QVERIFY(run.errors.contains(report["reason"].toString().toUtf8()));
    }

    // What is on disk after a fault: earlier lines intact, no torn line, every line of ours whole.
    void reportSurvivesFileFaults_data()
    {
        QTest::addColumn<QString>("path"); // empty: a fresh file that holds "before"
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("prelude");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("reason");
        QTest::addColumn<int>("added"); // lines the run added
        const QByteArray earlier = QByteArray("{\"earlier\":1}\n").repeated(60);
        QTest::newRow("torn line left before")
            << "" << QByteArray("{\"torn\":") << "" << 0 << QByteArray() << 1;
        QTest::newRow("file full in the middle of the line")
            << "" << earlier << "trap '' XFSZ; ulimit -f 2" << 74 << QByteArray("File too large") << 0;
        QTest::newRow("full device") << "/dev/full" << QByteArray() << "" << 74
                                     << QByteArray("cannot write the report: No space left on device") << 0;
    }
    void reportSurvivesFileFaults()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, before);
        QFETCH(QString, prelude);
        QFETCH(QByteArray, reason);
        QFETCH(int, added);
        QTemporaryDir folder;
        QFile file(path.isEmpty() ? folder.filePath(QStringLiteral("report.jsonl")) : path);
        if (path.isEmpty()) {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
            file.close();
        }
        const CalibrateOutcome run =
            runVkrCalibrate({QStringLiteral("--no-history"), QStringLiteral("--report"), file.fileName(),
                             QStringLiteral("sim:channels=1,time=0")},
                            30000, prelude);
        QTEST(run.exitCode, "exitCode");
        // The reason and nothing else: no warning of Qt's about the file.
        QVERIFY2(run.errors.contains(reason) && run.errors.count('\n') == (reason.isEmpty() ? 0 : 1),
                 run.errors.constData());
        if (!path.isEmpty())
            return;
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray after = file.readAll();
        QVERIFY(after.startsWith(before));
        const QByteArray ours = after.mid(before.size());
        QVERIFY(ours.isEmpty() || (ours.startsWith('\n') == !before.endsWith('\n') && ours.endsWith('\n')));
        const QList<QByteArray> lines =
            ours.trimmed().isEmpty() ? QList<QByteArray>() : ours.trimmed().split('\n');
        QCOMPARE(lines.size(), added);
        for (const QByteArray& line : lines)
            QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
    }

    // Every run is remembered, a library run and a serial one alike, unless --no-history or
    // VKR_NO_HISTORY says otherwise; --history reads them back, filtered, as a table or as
    // stored. A run the journal cannot take is said, and the exit status says a record was lost.
    void historyRemembersEveryRun()
    {
        QTemporaryDir data;
        // Put back afterwards: without one, the next tests would write to the user's own history.
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", dataHome); });
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        const QString journal = data.filePath(QStringLiteral("vkr-calibrator/history.jsonl"));
        SimProcess sim(QStringLiteral("channels=1,time=0"));
        QVERIFY(sim.start());
        QCOMPARE(runVkrCalibrate({"sim:channels=2,fail-calibrate@1=17,time=0"}).exitCode, 1);
        QCOMPARE(runVkrCalibrate({sim.locator()}).exitCode, 0);
        QCOMPARE(runVkrCalibrate({"--no-history", "sim:channels=1,time=0"}).exitCode, 0);
        qputenv("VKR_NO_HISTORY", "1");
        QCOMPARE(runVkrCalibrate({"sim:channels=1,time=0"}).exitCode, 0);
        qunsetenv("VKR_NO_HISTORY");
        QFile file(journal);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> stored = file.readAll().trimmed().split('\n');
        QCOMPARE(stored.size(), 2);
        for (const QByteArray& line : stored) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            QCOMPARE(record["source"].toString(), QStringLiteral("command-line"));
            QVERIFY(!record["host"].toString().isEmpty());
        }
        file.close();
        QVERIFY(file.open(QIODevice::Append) && file.write("{\"torn\":") > 0);
        file.close();

        const CalibrateOutcome table = runVkrCalibrate({"--history"});
        QCOMPARE(table.exitCode, 0);
        QCOMPARE(table.errors, QByteArray("vkr-calibrate: " + QFile::encodeName(journal) +
                                          ", line 3: not a run's record, skipped\n"));
        const QList<QByteArray> rows = table.output.trimmed().split('\n');
        QCOMPARE(rows.size(), 3);
        QVERIFY2(QRegularExpression("^Date +Source +Locator +Outcome +Errors  Failed channels  Duration$")
                     .match(rows[0])
                     .hasMatch(),
                 rows[0].constData());
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  command-line  "
                                    "sim:channels=2,fail-calibrate@1=17,time=0 "
                                    "+calibrated-with-errors +1  1 \\(code 17\\) +\\d+\\.\\d s$")
                     .match(rows[1])
                     .hasMatch(),
                 rows[1].constData());
        QVERIFY(rows[2].contains(sim.locator().toUtf8()) && rows[2].contains(" calibrated "));
        QCOMPARE(rows[1].indexOf(" 1  "), rows[2].indexOf(" 0  ")); // aligned

        QCOMPARE(runVkrCalibrate({"--history", "--json", sim.locator()}).output, stored[1] + '\n');
        QCOMPARE(runVkrCalibrate({"--history", "--json", "--since", "2000-01-01"}).output,
                 stored.join('\n') + '\n');
        QVERIFY(runVkrCalibrate({"--history", "--since", "2999-01-01T00:00"})
                    .output.startsWith("No calibration matches in the history"));

        // A folder in the journal's place.
        QVERIFY(QFile::remove(journal) && QDir().mkdir(journal));
        const CalibrateOutcome unwritten =
            runVkrCalibrate({"sim:channels=1,time=0", "sim:channels=1,time=0"});
        QCOMPARE(unwritten.exitCode, 74);
        QCOMPARE(unwritten.errors.count("cannot write the calibration history"), 2);
        QCOMPARE(unwritten.errors.count("is not in it"), 2);
    }

    // A signal stops every run of a batch, each with its calibrating channel.
    // A run still waiting for its turn (--jobs) is never started.
    void aSignalStopsEveryRunOfABatch()
    {
        SimProcess stuck(QStringLiteral("channels=2,stuck=0"));
        SimProcess slow(QStringLiteral("channels=2,time=60000"));
        QVERIFY(stuck.start());
        QVERIFY(slow.start());
        QProcess process;
        process.start(Program, {"--debug", "--jobs", "2", stuck.locator(), slow.locator(), "sim:channels=1"});
        // Both in their waits: the first status read of channel 0 has been answered.
        QTRY_VERIFY_WITH_TIMEOUT(stuck.log().contains(QLatin1String("out :S0,6")), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(slow.log().contains(QLatin1String("out :S0,6")), 10000);
        QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 10000);
        const QByteArray output = process.readAllStandardOutput();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 3);
        for (SimProcess* sim : {&stuck, &slow}) {
            QVERIFY(
                output.contains("[" + sim->locator().toUtf8() + "] \tChannel 0: calibrating... Aborting.\n"));
            QTRY_VERIFY_WITH_TIMEOUT(sim->log().contains(QLatin1String("in  :S0\n")), 5000);
        }
        QVERIFY(output.contains("[sim:channels=1] Aborted before starting.\n"));
        // Every debug line of a command sent carries its run's prefix.
        const QByteArray debugLines = process.readAllStandardError();
        QVERIFY(debugLines.contains("] vkr.serial: out:S0\n"));
        for (const QByteArray& line : debugLines.trimmed().split('\n'))
            QVERIFY2(QRegularExpression("^\\[serial:[^]]+\\] vkr.serial: out:").match(line).hasMatch(),
                     line.constData());
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no locator") << QStringList{};
        QTest::newRow("a blank locator among several") << QStringList{"sim:demo", " "};
        QTest::newRow("a report that cannot be written")
            << QStringList{"--report", "/nonexistent/vkr-report.jsonl", "sim:demo"};
        QTest::newRow("unknown option") << QStringList{"--fast", "sim:demo"};
        QTest::newRow("--help-all, not offered") << QStringList{"--help-all"};
        QTest::newRow("list with a locator") << QStringList{"--list", "sim:demo"};
        QTest::newRow("blank locator") << QStringList{" \t"};
        // Nothing is opened before these are found: a recording would empty the report.
        const auto file = [this](const char* name) { return folder.filePath(QString::fromUtf8(name)); };
        QTest::newRow("--report twice")
            << QStringList{"--report", file("a"), "--report", file("b"), "sim:demo"};
        QTest::newRow("--record twice")
            << QStringList{"--record", file("a"), "--record", file("b"), "sim:demo"};
        QTest::newRow("--jobs 0") << QStringList{"--jobs", "0", "sim:demo"};
        QTest::newRow("--since without --history") << QStringList{"--since", "2026-01-01", "sim:demo"};
        QTest::newRow("--history, a date that is none") << QStringList{"--history", "--since", "yesterday"};
        QTest::newRow("--jobs, not a number") << QStringList{"--jobs", "two", "sim:demo"};
        QTest::newRow("report and recording in one new file")
            << QStringList{"--report", file("new"), "--record", file("./new"), "sim:demo"};
        QTest::newRow("... in one file, through a hard link")
            << QStringList{"--report", file("kept"), "--record", file("hard link"), "sim:demo"};
        QTest::newRow("... in one new file, through a symbolic link")
            << QStringList{"--report", file("new"), "--record", file("dangling link"), "sim:demo"};
    }
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        const CalibrateOutcome outcome = runVkrCalibrate(arguments);
        QCOMPARE(outcome.exitCode, 64);
        QVERIFY(outcome.output.isEmpty());
        // One short complaint, not the whole help.
        QCOMPARE(outcome.errors.count('\n'), 2);
        QVERIFY(outcome.errors.endsWith("Try 'vkr-calibrate --help' for more information.\n"));
        QFile kept(folder.filePath(QStringLiteral("kept")));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("kept\n"));
    }

    void helpAndVersion()
    {
        const CalibrateOutcome help = runVkrCalibrate({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.output.contains("LOCATOR"));
        QVERIFY(help.output.contains("--list"));
        QVERIFY(!help.output.contains("--help-all"));
        const CalibrateOutcome version = runVkrCalibrate({QStringLiteral("--version")});
        QCOMPARE(version.exitCode, 0);
        QVERIFY(version.output.startsWith("vkr-calibrate "));
    }
};

QTEST_GUILESS_MAIN(VkrCalibrateTest)
#include "tst_vkrcalibrate.moc"
