// A run recorded with vkr-calibrate --record and replayed (vkr-sim --replay, or a sim: locator's
// replay=) meets the tool exactly as the controller did: the same log, byte for byte, and the same
// exit status. An edited recording shows what the edit says.
#include "calibrateprocess.h"
#include "simprocess.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

// A run against vkr-sim with the scenario, recorded into path.
CalibrateOutcome recordSerialRun(const QString& scenario, const QString& path)
{
    SimProcess sim(scenario);
    if (!sim.start())
        return {};
    return runVkrCalibrate({QStringLiteral("--record"), path, sim.locator()});
}

// A run on recordedOn (a vkr-sim scenario, or a sim: locator), recorded into path.
CalibrateOutcome recordRun(const QString& recordedOn, const QString& path)
{
    return recordedOn.startsWith(QLatin1String("sim:"))
               ? runVkrCalibrate({QStringLiteral("--record"), path, recordedOn})
               : recordSerialRun(recordedOn, path);
}

// The recording replayed by vkr-sim --replay or a sim:replay= locator; report: what that side said.
CalibrateOutcome replayRun(const QString& path, bool serial, QString& report)
{
    SimProcess replay(QStringList{QStringLiteral("--replay"), path});
    if (serial && !replay.start())
        return {};
    const CalibrateOutcome replayed =
        runVkrCalibrate({serial ? replay.locator() : QStringLiteral("sim:replay=") + path});
    replay.stop(SIGTERM);
    report = serial ? replay.log() : QString::fromUtf8(replayed.errors);
    return replayed;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
} // namespace

class RecordingTest : public QObject
{
    Q_OBJECT

private slots:
    // recorded: a line the recording must hold, so that the row exercises what it is named for.
    void aSerialRunReplaysToTheSameLog_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QByteArray>("recorded");
        QTest::newRow("normal run") << "demo,time=300"
                                    << QByteArray("{\"bytes\":\":SE0\\n\",\"event\":\"read\"");
        QTest::newRow("noisy slow line, a reply byte by byte")
            << "demo,time=300,noise=~~,slowbytes=20" << QByteArray("{\"bytes\":\"~\",\"event\":\"read\"");
        QTest::newRow("failing channel") << "channels=3,time=100,fail-calibrate@1=17"
                                         << QByteArray("{\"bytes\":\":E1,17\\n\",\"event\":\"read\"");
        QTest::newRow("hang-up during a wait")
            << "channels=2,time=3000,hangupafter=7" << QByteArray("{\"code\":10,\"event\":\"read-failed\"");
        QTest::newRow("hang-up in the handshake: the port is gone when it is opened again")
            << "hangupafter=0" << QByteArray("\"event\":\"open-failed\"");
    }
    void aSerialRunReplaysToTheSameLog()
    {
        QFETCH(QString, scenario);
        QFETCH(QByteArray, recorded);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("r.jsonl"));
        const CalibrateOutcome original = recordSerialRun(scenario, path);
        QVERIFY(original.exitCode >= 0);
        const QByteArray recording = readFile(path);
        QVERIFY(recording.startsWith("{\"event\":\"recording\",\"format\":1,"));
        QVERIFY2(recording.contains(recorded), recording.right(300).constData());

        // The replay is recorded too. Where the tool timed out in it and not in the recorded run, the
        // replaying side was held up past the tool's wait (a busy machine): that replay is tried again.
        const QString replayPath = folder.filePath(QStringLiteral("replay.jsonl"));
        const QByteArray timeout = "\"event\":\"timeout\"";
        CalibrateOutcome replayed;
        QString report;
        for (int tries = 3; tries > 0; --tries) {
            QFile::remove(replayPath);
            SimProcess replay(QStringList{QStringLiteral("--replay"), path});
            QVERIFY(replay.start());
            replayed = runVkrCalibrate({QStringLiteral("--record"), replayPath, replay.locator()});
            QVERIFY(replay.stop(SIGTERM));
            report = replay.log();
            if (recording.contains(timeout) || !readFile(replayPath).contains(timeout))
                break;
        }
        // A replay that differs shows the recording's times and what the replaying side said.
        if (replayed.output != original.output)
            qInfo("%s%s", recording.constData(), qPrintable(report));
        QCOMPARE(replayed.output, original.output);
        QCOMPARE(replayed.exitCode, original.exitCode);
        QVERIFY2(!report.contains(QLatin1String("departs")), qPrintable(report));
    }

    void aLibraryRunReplaysToTheSameLog_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("normal run") << "sim:demo,time=300"
                                    << "r.jsonl";
        QTest::newRow("failing channel") << "sim:channels=3,time=100,fail-calibrate@1=17"
                                         << "r.jsonl";
        QTest::newRow("failing status read") << "sim:channels=2,time=100,fail-status@0=15"
                                             << "r.jsonl";
        QTest::newRow("not opened") << "sim:fail-open=7"
                                    << "r.jsonl";
        QTest::newRow("a path with commas") << "sim:channels=1,time=0"
                                            << "r,1,time=5.jsonl";
    }
    void aLibraryRunReplaysToTheSameLog()
    {
        QFETCH(QString, locator);
        QFETCH(QString, fileName);
        QTemporaryDir folder;
        const QString path = folder.filePath(fileName);
        const CalibrateOutcome original = runVkrCalibrate({QStringLiteral("--record"), path, locator});
        QVERIFY(original.exitCode >= 0);
        const CalibrateOutcome replayed = runVkrCalibrate({QStringLiteral("sim:replay=") + path});
        QCOMPARE(replayed.output, original.output);
        QCOMPARE(replayed.exitCode, original.exitCode);
        QCOMPARE(replayed.errors, original.errors);
    }

    // An edit (a pattern replaced in the recording) and what the replay shows: a log line, and the
    // departure reported by the replaying side (vkr-sim's or the tool's standard error). A tool
    // that stops short of the recording departs from it too.
    void anEditedRecordingReplaysAsEdited_data()
    {
        QTest::addColumn<QString>("recordedOn"); // a vkr-sim scenario, or a sim: locator
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<QByteArray>("logLine");
        QTest::addColumn<QString>("departure");
        QTest::newRow("a reply dropped: a time-out")
            << "channels=1,time=0"
            // every read of the reply to GNC, however the line split it into chunks
            << ":GNC\\\\n\",\"event\":\"write\"[^\\n]*\\n\\K(?:\\{\"bytes\":\"[^\"]*\",\"event\":\"read\"[^"
               "\\n]*\\n)*?"
               "\\{\"bytes\":\"[^\"]*\\\\n\",\"event\":\"read\"[^\\n]*\\n"
            << QString() << QByteArray("Could not get number of channels! Error: 15\n")
            << "after command 5: the recording goes on with \"CS0\", the tool sent nothing more";
        QTest::newRow("a reply the tool read late (its process held up): no time-out")
            << "channels=1,time=0"
            << ":GNC\\\\n\",\"event\":\"write\"[^\\n]*\\n\\{\"bytes\":\"[^\"]*\",\"event\":\"read\",\"t\":"
               "\\K\\d+"
            << "3000000" << QByteArray("\tChannel 0: calibrating... done.\n") << QString();
        QTest::newRow("a command changed")
            << "channels=1,time=0"
            << ":CS0\\\\n\",\"event\":\"write\""
            << ":CS9\\n\",\"event\":\"write\"" << QByteArray("Could not calibrate channel 0! Error: 15\n")
            << "departs from the recording at command 6: the recording has \"CS9\", the tool sent \"CS0\"";
        QTest::newRow("a library call's argument changed")
            << "sim:channels=2,time=0"
            << "\"OV_CalibrateSensor_S\",\"in\":\\{\"channel\":1,"
            << "\"OV_CalibrateSensor_S\",\"in\":{\"channel\":5,"
            << QByteArray("Could not calibrate channel 1! Error: 265\n")
            << "the recording has OV_CalibrateSensor_S(channel=5), the tool called "
               "OV_CalibrateSensor_S(channel=1)";
        QTest::newRow("a recorded out-value that is no number: the recording is blamed, at its line")
            << "sim:channels=1,time=0"
            << "\"out\":\\{\"mode\":2\\}"
            << "\"out\":{\"mode\":\"2\"}" << QByteArray("Could not read sensor enabled mode! Error: 265\n")
            << "r.jsonl: line 4: call 2, OV_GetSensorEnabled_S(): the recorded out-value \"mode\" is no "
               "number";
    }
    void anEditedRecordingReplaysAsEdited()
    {
        QFETCH(QString, recordedOn);
        QFETCH(QString, pattern);
        QFETCH(QString, replacement);
        QFETCH(QByteArray, logLine);
        QFETCH(QString, departure);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("r.jsonl"));
        const bool serial = !recordedOn.startsWith(QLatin1String("sim:"));
        QVERIFY(recordRun(recordedOn, path).exitCode >= 0);
        QString recording = QString::fromUtf8(readFile(path));
        // Replaced as it stands: QString::replace would take its backslashes for references.
        const QRegularExpressionMatch found = QRegularExpression(pattern).match(recording);
        QVERIFY2(found.hasMatch(), "the edit found nothing to change");
        recording.replace(found.capturedStart(), found.capturedLength(), replacement);
        QVERIFY(writeFile(path, recording.toUtf8()));

        QString departureReport;
        const CalibrateOutcome replayed = replayRun(path, serial, departureReport);
        QVERIFY2(replayed.output.contains(logLine), replayed.output.constData());
        if (departure.isEmpty())
            QVERIFY2(!departureReport.contains(QLatin1String("departs")), qPrintable(departureReport));
        else
            QVERIFY2(departureReport.contains(departure), qPrintable(departureReport));
    }

    // A run killed (SIGKILL) while channel 1 waits leaves a recording that replays to its log so far.
    void aKilledRunLeavesARecordingThatReplays_data()
    {
        QTest::addColumn<bool>("serial");
        QTest::newRow("serial") << true;
        QTest::newRow("library") << false;
    }
    void aKilledRunLeavesARecordingThatReplays()
    {
        QFETCH(bool, serial);
        const QString scenario = QStringLiteral("channels=2,time=1500,latency=20"); // a short log
        const QByteArray channel1Started =
            serial ? ":CS1\\n" : "OV_CalibrateSensor_S\",\"in\":{\"channel\":1";
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("r.jsonl"));
        SimProcess sim(scenario);
        QVERIFY(!serial || sim.start());
        QProcess run;
        run.start(
            QStringLiteral(VKR_CALIBRATE_PATH),
            {QStringLiteral("--record"), path, serial ? sim.locator() : QStringLiteral("sim:") + scenario});
        // The recording may be a step ahead of the log on standard output: both are waited for.
        QByteArray logged;
        QTRY_VERIFY_WITH_TIMEOUT(
            readFile(path).contains(channel1Started) &&
                (logged += run.readAllStandardOutput()).endsWith("Channel 1: calibrating... "),
            10000);
        QVERIFY2(run.state() == QProcess::Running, "the events reached the file only at the end");
        run.kill();
        QVERIFY(run.waitForFinished());
        logged += run.readAllStandardOutput();
        QVERIFY2(logged.endsWith("Channel 1: calibrating... "), logged.constData());
        // The replay is watched until it has logged as much as the killed run.
        SimProcess replay(QStringList{QStringLiteral("--replay"), path});
        QVERIFY(!serial || replay.start());
        QProcess replayed;
        replayed.start(QStringLiteral(VKR_CALIBRATE_PATH),
                       {serial ? replay.locator() : QStringLiteral("sim:replay=") + path});
        QByteArray output;
        QTRY_VERIFY2_WITH_TIMEOUT((output += replayed.readAllStandardOutput()).size() >= logged.size(),
                                  output.constData(), 10000);
        QVERIFY2(output.startsWith(logged), output.constData());
        if (serial) {
            // Past the recording the line is silent: the wait would end only at the silence limit.
            replayed.terminate();
            QVERIFY(replayed.state() == QProcess::NotRunning || replayed.waitForFinished());
            return;
        }
        // A library replay past its recording answers as a controller that is gone: the run ends
        // by itself, and the replay says why.
        QVERIFY2(replayed.state() == QProcess::NotRunning || replayed.waitForFinished(10000),
                 "the replayed run polls on");
        output += replayed.readAllStandardOutput();
        QVERIFY2(output.contains("Could not get status of channel 1! Error: 265\n"), output.constData());
        const QByteArray said = replayed.readAllStandardError();
        QVERIFY2(
            said.contains("the tool departs from the recording at call ") &&
                said.contains(": the recording has no more calls, the tool called OV_GetStatus_S(channel=1)"),
            said.constData());
    }

    // A run aborted (SIGINT) while channel 0 waits: its recording holds the abort and the stop and
    // close that followed, and a replay aborted during the same wait, sooner or later than the
    // recorded run was, logs what it logged and departs nowhere.
    void anAbortedRunReplaysAsItRan_data()
    {
        QTest::addColumn<bool>("serial");
        QTest::addColumn<int>("replayAbortMs"); // after channel 0 started calibrating
        QTest::newRow("serial, aborted sooner") << true << 0;
        QTest::newRow("serial, aborted later") << true << 1500;
        QTest::newRow("library, aborted sooner") << false << 0;
        QTest::newRow("library, aborted later") << false << 1500;
    }
    void anAbortedRunReplaysAsItRan()
    {
        QFETCH(bool, serial);
        QFETCH(int, replayAbortMs);
        const QString scenario = QStringLiteral("channels=2,stuck=0");
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("r.jsonl"));
        // Aborted once channel 0 has waited a while, so that the recording holds status reads.
        const auto abortedRun = [](const QStringList& arguments, int waitMs,
                                   const std::function<bool()>& waited) {
            QProcess run;
            run.start(QStringLiteral(VKR_CALIBRATE_PATH), arguments);
            QByteArray output;
            if (!QTest::qWaitFor(
                    [&] { return (output += run.readAllStandardOutput()).contains("calibrating... "); },
                    10000))
                return CalibrateOutcome();
            QElapsedTimer clock;
            clock.start();
            if (!QTest::qWaitFor([&] { return clock.elapsed() >= waitMs && waited(); }, 10000))
                return CalibrateOutcome();
            ::kill(run.processId(), SIGINT);
            CalibrateOutcome outcome;
            if (!run.waitForFinished(10000))
                return outcome;
            outcome.output = output + run.readAllStandardOutput();
            outcome.errors = run.readAllStandardError();
            outcome.exitCode = run.exitCode();
            return outcome;
        };
        SimProcess sim(scenario);
        QVERIFY(!serial || sim.start());
        const CalibrateOutcome original = abortedRun(
            {QStringLiteral("--record"), path, serial ? sim.locator() : QStringLiteral("sim:") + scenario}, 0,
            [&] { return readFile(path).count(serial ? ":GS0" : "OV_GetStatus_S") >= 20; });
        QVERIFY2(original.output.endsWith("Aborting.\n"), original.output.constData());
        const QByteArray recording = readFile(path);
        QVERIFY2(recording.contains("{\"event\":\"abort\""), recording.right(300).constData());

        SimProcess replay(QStringList{QStringLiteral("--replay"), path});
        QVERIFY(!serial || replay.start());
        const CalibrateOutcome replayed =
            abortedRun({serial ? replay.locator() : QStringLiteral("sim:replay=") + path}, replayAbortMs,
                       [] { return true; });
        QCOMPARE(replayed.output, original.output);
        QCOMPARE(replayed.exitCode, original.exitCode);
        const QString report =
            serial ? (replay.stop(SIGTERM), replay.log()) : QString::fromUtf8(replayed.errors);
        QVERIFY2(!report.contains(QLatin1String("departs")), qPrintable(report));
    }

    // A recording the file stops taking, or that no thread can be started to write: the run goes on
    // to its end with its whole log, and the program ends with 74 and the reason.
    void aRecordingTheFileStopsTakingEndsWithTheReason_data()
    {
        QTest::addColumn<QString>("file"); // empty: one in a scratch folder
        QTest::addColumn<QString>("prelude");
        QTest::addColumn<QByteArray>("reason");
        // A few KiB; a write beyond them fails (EFBIG) instead of ending the program (SIGXFSZ).
        const QString sizeLimit = QStringLiteral("ulimit -f 8; trap '' XFSZ");
        QTest::newRow("full disk") << "/dev/full" << sizeLimit << QByteArray("No space left on device");
        QTest::newRow("file size limit") << QString() << sizeLimit << QByteArray("File too large");
        QTest::newRow("writer thread refused")
            << QString() << refusedThreads(0, 1)
            << QByteArray("no thread could be started to write it: Resource temporarily unavailable");
    }
    void aRecordingTheFileStopsTakingEndsWithTheReason()
    {
        QFETCH(QString, file);
        QFETCH(QString, prelude);
        QFETCH(QByteArray, reason);
        QTemporaryDir folder;
        const QString locator = QStringLiteral("sim:demo,time=300");
        const CalibrateOutcome run =
            runVkrCalibrate({"--no-history", "--record",
                             file.isEmpty() ? folder.filePath(QStringLiteral("r.jsonl")) : file, locator},
                            30000, prelude);
        QCOMPARE(run.errors, "vkr-calibrate: cannot write the recording: " + reason + "\n");
        QCOMPARE(run.exitCode, 74);
        QCOMPARE(run.output, runVkrCalibrate({locator}).output);
    }

    // A recording cut in its last line replays up to the line before and says so, once; a cut anywhere
    // else is refused. tornLine counts from 1 (0: the last); the lines after a middle one are kept.
    void aCutRecordingReplaysUpToItsLastWholeLine_data()
    {
        QTest::addColumn<QString>("recordedOn");
        QTest::addColumn<int>("tornLine");
        QTest::addColumn<QString>("said"); // by the replaying side on standard error
        const QString ends = QStringLiteral("the recording ends in a torn line at line %1; replaying up to");
        QTest::newRow("serial, last line") << "channels=1,time=0" << 0 << ends;
        QTest::newRow("library, last line") << "sim:channels=1,time=0" << 0 << ends;
        QTest::newRow("header") << "sim:channels=1,time=0" << 1 << "r.jsonl: line %1: ";
        QTest::newRow("a middle line") << "sim:channels=1,time=0" << 4 << "r.jsonl: line %1: ";
    }
    void aCutRecordingReplaysUpToItsLastWholeLine()
    {
        QFETCH(QString, recordedOn);
        QFETCH(int, tornLine);
        QFETCH(QString, said);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("r.jsonl"));
        QVERIFY(recordRun(recordedOn, path).exitCode >= 0);
        QList<QByteArray> lines = readFile(path).split('\n'); // the last one empty
        const int torn = tornLine > 0 ? tornLine - 1 : lines.size() - 2;
        lines[torn].chop(lines[torn].size() / 2);
        QVERIFY(writeFile(path, (tornLine > 1 ? lines : lines.mid(0, torn + 1)).join('\n')));
        QString report;
        replayRun(path, !recordedOn.startsWith(QLatin1String("sim:")), report);
        QCOMPARE(report.count(said.arg(torn + 1)), 1);
    }

    // A file that is no recording, or one no recorder writes, is refused before the replay starts,
    // at once and with what is wrong: neither a FIFO nor a device is ever opened, a line is read
    // no further than its bound. made: shell commands that make the file r in the current folder.
    void aFileThatIsNoRecordingIsRefusedAtOnce_data()
    {
        QTest::addColumn<bool>("serial");
        QTest::addColumn<QString>("made");
        QTest::addColumn<QString>("said");
        const QString header = QStringLiteral("echo '{\"event\":\"recording\",\"format\":1,\"t\":1}' >r; ");
        const QString call = QStringLiteral("echo '{\"event\":\"call\",\"function\":\"OV_OpenSystem\","
                                            "\"in\":{},\"out\":{},\"result\":0,\"t\":5,\"us\":%1}' >>r");
        QTest::newRow("directory") << false << "mkdir r"
                                   << "r: a directory, not a recording file";
        QTest::newRow("FIFO") << false << "mkfifo r"
                              << "r: a named pipe (FIFO), not a recording file";
        QTest::newRow("FIFO, serial") << true << "mkfifo r"
                                      << "r: a named pipe (FIFO), not a recording file";
        QTest::newRow("device") << true << "ln -s /dev/zero r"
                                << "r: a character device, not a recording file";
        QTest::newRow("empty") << false << ": >r"
                               << "r: the file is empty";
        QTest::newRow("truncated") << true << "printf '{\"event\":\"rec' >r"
                                   << "r: line 1: cut short: the file ends in its first line";
        QTest::newRow("overlong line") << false << header + "head -c 17000000 /dev/zero | tr '\\0' 1 >>r"
                                       << "r: line 2: longer than 16 MiB";
        QTest::newRow("duration beyond an hour")
            << false << header + call.arg(QStringLiteral("3600000001"))
            << "r: line 2: the call's duration \"us\" is no whole number";
        QTest::newRow("negative duration") << false << header + call.arg(QStringLiteral("-1"))
                                           << "r: line 2: the call's duration \"us\" is no whole number";
        QTest::newRow("time out of range, serial")
            << true << header + "echo '{\"event\":\"write\",\"bytes\":\"\",\"t\":1e300}' >>r"
            << "r: line 2: the time \"t\" is no whole number";
    }
    void aFileThatIsNoRecordingIsRefusedAtOnce()
    {
        QFETCH(bool, serial);
        QFETCH(QString, made);
        QFETCH(QString, said);
        QTemporaryDir folder;
        QProcess maker;
        maker.setWorkingDirectory(folder.path());
        maker.start(QStringLiteral("sh"), {QStringLiteral("-c"), made});
        QVERIFY(maker.waitForFinished() && maker.exitCode() == 0);
        const QString path = folder.filePath(QStringLiteral("r"));
        // A hang guard, not a benchmark: reading nothing takes no time.
        QElapsedTimer clock;
        clock.start();
        if (serial) {
            SimProcess replay(QStringList{QStringLiteral("--replay"), path});
            QVERIFY(!replay.start(5000));
            QVERIFY(replay.waitForExit(5000));
            QCOMPARE(replay.process().exitCode(), 2);
            QVERIFY2(replay.log().contains(said), qPrintable(replay.log()));
        } else {
            const CalibrateOutcome replayed = runVkrCalibrate({QStringLiteral("sim:replay=") + path}, 5000);
            QVERIFY2(replayed.errors.contains(said.toUtf8()), replayed.errors.constData());
            QVERIFY(replayed.output.contains("Could not initialize! Error: 262\n"));
        }
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

    // A call that took an hour when it was recorded is cut short by every signal that ends the tool.
    void aLongRecordedCallEndsOnEverySignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void aLongRecordedCallEndsOnEverySignal()
    {
        QFETCH(int, signal);
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("r.jsonl"));
        QVERIFY(recordRun(QStringLiteral("sim:channels=1,time=100"), path).exitCode == 0);
        QString recording = QString::fromUtf8(readFile(path));
        const QRegularExpression statusRead(QStringLiteral("(\"OV_GetStatus_S\".*\"us\":)[0-9]+"));
        const QRegularExpressionMatch found = statusRead.match(recording);
        QVERIFY(found.hasMatch());
        recording.replace(found.capturedStart(), found.capturedLength(), found.captured(1) + "3600000000");
        QVERIFY(writeFile(path, recording.toUtf8()));

        QProcess replayed;
        replayed.start(QStringLiteral(VKR_CALIBRATE_PATH), {QStringLiteral("sim:replay=") + path});
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += replayed.readAllStandardOutput()).contains("calibrating... "),
                                 10000);
        QElapsedTimer clock;
        clock.start();
        ::kill(replayed.processId(), signal);
        QVERIFY(replayed.waitForFinished(10000));
        qInfo("ended %lld ms after the signal", clock.elapsed());
        QVERIFY2((output + replayed.readAllStandardOutput()).endsWith("Aborting.\n"), output.constData());
    }

    void recordingTakesOneLocator()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("r.jsonl"));
        const CalibrateOutcome outcome = runVkrCalibrate(
            {QStringLiteral("--record"), path, QStringLiteral("sim:demo"), QStringLiteral("sim:demo")});
        QCOMPARE(outcome.exitCode, 64);
        QVERIFY(outcome.errors.startsWith("vkr-calibrate: --record takes one locator\n"));
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(RecordingTest)
#include "tst_recording.moc"
