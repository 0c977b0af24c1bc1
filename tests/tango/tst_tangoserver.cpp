// vkr-tango-server as a facility runs it: without a database, on a loopback port, against the
// stand-in libraries and vkr-sim, driven by a Tango client.
#include "simprocess.h"
#include "tangoclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The server with device test/vkr/1 and a data folder of its own, for its calibration history.
struct TangoServer
{
    // With -nodb, or with the locator as the device's property in a property file.
    bool start(const QString& locatorProperty = QString())
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        process.setProcessEnvironment(environment);
        QStringList arguments{"test", "-nodb", "-dlist", "test/vkr/1"};
        if (!locatorProperty.isEmpty()) {
            QFile file(home.filePath(QStringLiteral("server.res")));
            arguments = QStringList{"test", "-file=" + file.fileName()};
            if (!file.open(QIODevice::WriteOnly) ||
                file.write("vkr-tango-server/test/DEVICE/VKRCalibrator: test/vkr/1\n"
                           "test/vkr/1->Locator: \"" +
                           locatorProperty.toUtf8() + "\"\n") < 0)
                return false;
        }
        const auto settled = [&] {
            return process.state() == QProcess::NotRunning ||
                   process.peek(100).contains("Ready to accept request");
        };
        // omniORB does not tell which port it took, so the test picks one, and another if it is taken.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = quint16(QRandomGenerator::global()->bounded(20000, 60000));
            process.start(VKR_TANGO_SERVER_PATH, QStringList(arguments)
                                                     << "-ORBendPoint"
                                                     << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(port));
            if (QTest::qWaitFor(settled, 20000) && process.state() == QProcess::Running)
                return true;
            process.kill();
            process.waitForFinished();
            qWarning("no server on port %u: %s", port, process.readAllStandardError().constData());
        }
        return false;
    }
    ~TangoServer()
    {
        process.kill();
        process.waitForFinished();
    }
    QString device() const { return QStringLiteral("tango://127.0.0.1:%1/test/vkr/1#dbase=no").arg(port); }
    QJsonObject lastHistoryEntry() const
    {
        QFile journal(home.filePath(QStringLiteral("vkr-calibrator/history.jsonl")));
        if (!journal.open(QIODevice::ReadOnly))
            return QJsonObject();
        return QJsonDocument::fromJson(journal.readAll().trimmed().split('\n').last()).object();
    }

    QTemporaryDir home;
    QProcess process;
    quint16 port = 0;
};

QString resultsOf(const QJsonObject& report)
{
    QStringList results;
    for (const QJsonValue& channel : report.value(QStringLiteral("channels")).toArray())
        results << channel.toObject().value(QStringLiteral("result")).toString();
    return results.join(QLatin1Char(','));
}

} // namespace

class TangoServerTest : public QObject
{
    Q_OBJECT

private slots:
    void aRunEndsInItsStateWithItsReport_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("codes");
        QTest::addColumn<QString>("status"); // its start
        QTest::newRow("calibrated") << "sim:channels=2,nosensor=1,time=20"
                                    << "ON"
                                    << "0,129"
                                    << "sim:channels=2,nosensor=1,time=20 calibrated with 0 errors.";
        QTest::newRow("errors") << "sim:channels=2,time=0,fail-calibrate=17"
                                << "ALARM"
                                << "17,17"
                                << "sim:channels=2,time=0,fail-calibrate=17 calibrated with 2 errors.";
        QTest::newRow("not opened, the connection's reason") << "nothing"
                                                             << "FAULT"
                                                             << ""
                                                             << "\"nothing\" is no locator: a serial locator";
        QTest::newRow("not opened, the library's code")
            << "sim:fail-open=7"
            << "FAULT"
            << ""
            << "the controller library refused to open it: code 7";
    }
    void aRunEndsInItsStateWithItsReport()
    {
        QFETCH(QString, locator);
        QFETCH(QString, state);
        QFETCH(QString, codes);
        QFETCH(QString, status);
        TangoServer server;
        QVERIFY(server.start());
        TangoClient client(server.device());
        QCOMPARE(client.command("Calibrate"), QStringLiteral("CONFIGURATION_ERROR"));
        QCOMPARE(client.write("Locator", locator), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("State") != "RUNNING", 10000);

        QCOMPARE(client.read("State"), state);
        QVERIFY2(client.read("Status").startsWith(status), qPrintable(client.read("Status")));
        QCOMPARE(client.read("ChannelResults"), codes);
        // The rest as the run's report has it; the report is the one vkr-calibrate writes.
        const QJsonObject report = QJsonDocument::fromJson(client.read("LastReport").toUtf8()).object();
        QCOMPARE(report.value("locator").toString(), locator);
        QCOMPARE(report.value("tool").toObject().value("name").toString(),
                 QStringLiteral("vkr-tango-server"));
        QCOMPARE(client.read("Outcome"), report.value("outcome").toString());
        QCOMPARE(client.read("ChannelResultNames"), resultsOf(report));
        QCOMPARE(client.read("Errors"), QString::number(report.value("errors").toInt()));
        // Read in one request, as polling reads them, each keeps its own value.
        const QStringList names{"Outcome", "LastReport", "Log", "Locator", "Status", "Client"};
        QStringList alone;
        for (const QString& name : names)
            alone << client.read(qPrintable(name));
        QCOMPARE(client.read(names), alone);
        QTRY_VERIFY_WITH_TIMEOUT(!server.lastHistoryEntry().isEmpty(), 5000);
        QJsonObject entry = server.lastHistoryEntry();
        QCOMPARE(entry.take("source").toString(), QStringLiteral("tango"));
        entry.remove("host");
        QJsonObject reported = report;
        QVERIFY(reported.take("client").toString().contains(", pid "));
        QCOMPARE(entry, reported);
    }

    // The locator from the device's property, as a property file gives it without a database.
    void aRunningCalibrationRefusesAnotherAndAbortStopsIt()
    {
        TangoServer server;
        QVERIFY(server.start(QStringLiteral("sim:channels=3,time=0,stuck=1")));
        TangoClient client(server.device());
        QCOMPARE(client.read("Locator"), QStringLiteral("sim:channels=3,time=0,stuck=1"));
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("Log").endsWith("\tChannel 1: calibrating... "), 10000);
        QCOMPARE(client.read("State"), QStringLiteral("RUNNING"));
        QCOMPARE(client.command("Calibrate"), QStringLiteral("OPERATION_NOT_ALLOWED"));
        QCOMPARE(client.write("Locator", "sim:demo"), QStringLiteral("OPERATION_NOT_ALLOWED"));

        QCOMPARE(client.command("Abort"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.read("State"), QStringLiteral("ALARM"), 10000);
        QVERIFY(client.read("Log").endsWith("\tChannel 1: calibrating... Aborting.\n"));
        QCOMPARE(client.read("Outcome"), QStringLiteral("aborted"));
        QCOMPARE(client.read("ChannelResultNames"), QStringLiteral("calibrated,aborted"));
        // Idle again: a new run may start.
        QCOMPARE(client.command("Abort"), QString());
        QCOMPARE(client.write("Locator", "sim:channels=1,time=0"), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.read("State"), QStringLiteral("ON"), 10000);
    }

    // Against vkr-sim, so that the stop the controller receives can be seen.
    void aSignalMidRunStopsTheChannelAndEndsTheServer_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void aSignalMidRunStopsTheChannelAndEndsTheServer()
    {
        QFETCH(int, signal);
        SimProcess sim(QStringLiteral("channels=3,time=0,stuck=1"));
        QVERIFY(sim.start());
        TangoServer server;
        QVERIFY(server.start());
        TangoClient client(server.device());
        QCOMPARE(client.write("Locator", sim.locator()), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("Log").endsWith("\tChannel 1: calibrating... "), 10000);

        QCOMPARE(::kill(pid_t(server.process.processId()), signal), 0);
        QVERIFY(server.process.waitForFinished(10000));
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("in  :S1\n")), 5000);
        const QJsonObject entry = server.lastHistoryEntry();
        QCOMPARE(entry.value("outcome").toString(), QStringLiteral("aborted"));
        QCOMPARE(resultsOf(entry), QStringLiteral("calibrated,aborted"));
    }

    // The subscriptions live in a child process, printEventsOfARun().
    void changesArePushed()
    {
        TangoServer server;
        QVERIFY(server.start());
        QProcess probe;
        probe.start(QCoreApplication::applicationFilePath(), {"--events-of", server.device()});
        QVERIFY(probe.waitForFinished(30000));
        const QJsonObject events = QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
        QVERIFY2(!events.isEmpty(), probe.readAllStandardError().constData());
        const auto values = [&](const char* name) { return events.value(name).toVariant().toStringList(); };
        // The first of each is the value at subscription.
        QCOMPARE(values("State"), (QStringList{"ON", "RUNNING", "ON"}));
        const QString start = "Starting calibration...\nSuccessfully initialized.\n";
        QCOMPARE(
            values("Log"),
            (QStringList{"", "Starting calibration...\n", start, start + "\tChannel 0: calibrating... ",
                         start + "\tChannel 0: calibrating... done.\n", events.value("log").toString()}));
        QCOMPARE(values("LastReport"), (QStringList{"{}", events.value("report").toString()}));
    }
};

namespace {

// Subscribes to the device's pushed attributes, runs a calibration and prints the values each
// attribute's events brought as a JSON object. A process of its own: without a database, Tango 9.3's
// client loses the server's heartbeat about 10 s after subscribing and may then crash, which must
// not take the test with it. It ends without unsubscribing, which is where that crash comes.
[[noreturn]] void printEventsOfARun(const QString& device)
{
    TangoClient client(device);
    for (const char* attribute : {"State", "Status", "Log", "LastReport"})
        if (!client.subscribe(attribute).isEmpty())
            std::_Exit(1);
    // ZeroMQ drops what is published before its subscription has connected: a pushed Status (the
    // new locator's) shows that it has.
    const auto statusPushed = [&] { return client.events("Status").size() > 1; };
    for (int attempt = 0; attempt < 20 && !statusPushed(); ++attempt) {
        client.write("Locator", QString());
        client.write("Locator", QStringLiteral("sim:channels=1,time=20"));
        static_cast<void>(QTest::qWaitFor(statusPushed, 250));
    }
    if (!statusPushed()) {
        std::fputs("no Status event after the Locator was written\n", stderr);
        std::_Exit(1);
    }
    client.command("Calibrate");
    const auto ended = [&] {
        return client.events("State").size() >= 3 && client.events("LastReport").size() >= 2;
    };
    // What did not come within the bound shows in the test's comparisons.
    static_cast<void>(QTest::qWaitFor(ended, 8000));
    QJsonObject events{{"log", client.read("Log")}, {"report", client.read("LastReport")}};
    for (const char* attribute : {"State", "Log", "LastReport"})
        events.insert(attribute, QJsonArray::fromStringList(client.events(attribute)));
    // A short write shows as JSON that does not parse.
    std::fputs(QJsonDocument(events).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fflush(stdout);
    std::_Exit(0);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--events-of") == 0)
        printEventsOfARun(QString::fromLocal8Bit(argv[2]));
    TangoServerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tangoserver.moc"
