// vkr-tango-server as a facility runs it: without a database on a loopback port, or registered in
// a Tango database of the test's own; against the stand-in libraries and vkr-sim, driven by a Tango
// client.
#include "simprocess.h"
#include "tangoclient.h"
#include "tangoserverprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using TangoServer = TangoServerProcess;

qint64 steadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ZeroMQ drops what is published before a subscription has connected: the locator is written (with
// a blank one between) until its events have come, both kinds.
bool eventsFlow(TangoClient& client, const QString& locator)
{
    const auto arrived = [&] {
        return client.events("Locator").size() > 1 && client.events("Locator", true).size() > 1;
    };
    for (int attempt = 0; attempt < 20 && !arrived(); ++attempt) {
        client.write("Locator", QString());
        client.write("Locator", locator);
        static_cast<void>(QTest::qWaitFor(arrived, 250));
    }
    return arrived();
}

const char* const Pushed[] = {"State",   "Status", "Log",    "Outcome",        "LastReport",
                              "Locator", "Client", "Errors", "ChannelResults", "ChannelResultNames"};

// The events of each pushed attribute since the last call, repeats too, as "State=2 Log=7"; one
// whose archive events were not as many as its change events as "State=2/3".
QString newEvents(const TangoClient& client, QMap<QString, int>& seen)
{
    QStringList fresh;
    for (const QString attribute : Pushed) {
        const int change = int(client.events(qPrintable(attribute), false, true).size()) - seen[attribute];
        const int archive =
            int(client.events(qPrintable(attribute), true, true).size()) - seen[attribute + "+"];
        seen[attribute] += change;
        seen[attribute + "+"] += archive;
        if (change || archive)
            fresh << attribute + "=" + QString::number(change) +
                         (archive == change ? "" : "/" + QString::number(archive));
    }
    return fresh.join(' ');
}

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
        QVERIFY(report.value("client").toString().contains(", pid "));
        const QJsonObject entry = server.lastHistoryEntry();
        QCOMPARE(entry.value("source").toString(), QStringLiteral("tango"));
        QCOMPARE(entry, report);
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

    void oddLocatorsAreRefused_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QString>("reason");
        QTest::newRow("4 KiB") << "sim:" + QString(4092, 'x') << "";
        QTest::newRow("one byte more") << "sim:" + QString(4093, 'x') << "DATA_OUT_OF_RANGE";
        QTest::newRow("a tab") << "sim:demo\t"
                               << "DATA_OUT_OF_RANGE";
        QTest::newRow("a line feed") << "sim:de\nmo"
                                     << "DATA_OUT_OF_RANGE";
        QTest::newRow("an escape") << "sim:\x1b[2Jdemo"
                                   << "DATA_OUT_OF_RANGE";
        QTest::newRow("a replay") << "sim:replay=/etc/passwd"
                                  << "OPERATION_NOT_ALLOWED";
        QTest::newRow("a replay, last") << "sim:demo, Replay =/etc/passwd"
                                        << "OPERATION_NOT_ALLOWED";
    }
    void oddLocatorsAreRefused()
    {
        QFETCH(QString, locator);
        QFETCH(QString, reason);
        TangoServer server;
        QVERIFY(server.start());
        TangoClient client(server.device());
        QCOMPARE(client.write("Locator", locator), reason);
        QCOMPARE(client.read("Locator"), reason.isEmpty() ? locator : QString());
    }

    // PyTango sends a str as Latin-1: its bytes are the locator, under one length rule for the write
    // and for Calibrate. An empty one is refused for what it is, not with the last run's Status.
    void aLocatorIsTakenAsWritten()
    {
        TangoServer server;
        QVERIFY(server.start());
        TangoClient client(server.device());
        const QByteArray latin1 = "sim:" + QByteArray(2049, '\xe9');
        QCOMPARE(client.writeBytes("Locator", latin1), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("State") != "RUNNING", 10000);
        const QJsonObject report = QJsonDocument::fromJson(client.read("LastReport").toUtf8()).object();
        QCOMPARE(report.value("locator").toString(), QString::fromLatin1(latin1));
        QCOMPARE(client.write("Locator", ""), QString());
        QCOMPARE(client.command("Calibrate"), QStringLiteral("CONFIGURATION_ERROR"));
        QVERIFY2(client.lastRefusal().startsWith("No locator"), qPrintable(client.lastRefusal()));
    }

    // Registered in a database, as a facility runs it: the properties, and the same checks.
    void aDeviceTakesItsPropertiesThroughTheDatabase()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QCOMPARE(database.addServer("properties", {"test/vkr/replay", "test/vkr/long"}, "sim:demo"),
                 QString());
        QCOMPARE(database.admin({"--add-property", "test/vkr/replay", "AllowReplay", "true"}), QString());
        QCOMPARE(database.admin({"--add-property", "test/vkr/long", "Locator", "sim:" + QString(5000, 'x')}),
                 QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), "properties"));
        TangoClient replay(database.device("test/vkr/replay"));
        QCOMPARE(replay.read("Locator"), QStringLiteral("sim:demo"));
        QCOMPARE(replay.write("Locator", "sim:replay=/nonexistent"), QString());
        TangoClient oversized(database.device("test/vkr/long"));
        QVERIFY(oversized.read("Status").startsWith("The Locator property is not taken."));
        QCOMPARE(oversized.command("Calibrate"), QStringLiteral("CONFIGURATION_ERROR"));
    }

    // Subscribed through the database, as a facility's clients and archivers are: a run that ends,
    // one that Init ends mid-run (its account stays), a written locator, and a device the admin
    // restarts mid-run.
    void everyChangeIsAnEventThroughTheDatabase()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QString locator = QStringLiteral("sim:channels=2,time=300");
        QCOMPARE(database.addServer("events", {"test/vkr/events"}, locator), QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), "events"));
        TangoClient client(database.device("test/vkr/events"), 10000);
        for (const char* attribute : Pushed)
            for (bool archive : {false, true})
                QCOMPARE(client.subscribe(attribute, archive), QString());
        QVERIFY(eventsFlow(client, locator));
        // Each wait is for the last event the step brings.
        const auto lastArchived = [&](const char* attribute) {
            return client.events(attribute, true).last();
        };
        QTRY_COMPARE_WITH_TIMEOUT(lastArchived("Locator"), locator, 10000);
        QMap<QString, int> seen;
        newEvents(client, seen);
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(lastArchived("ChannelResultNames"), QStringLiteral("calibrated,calibrated"),
                                  10000);
        QCOMPARE(newEvents(client, seen),
                 QStringLiteral("State=2 Status=2 Log=7 Outcome=2 LastReport=1 Client=1 "
                                "ChannelResults=1 ChannelResultNames=1"));
        const QString other = QStringLiteral("sim:channels=1,time=300");
        QCOMPARE(client.write("Locator", other), QString());
        QTRY_COMPARE_WITH_TIMEOUT(lastArchived("Locator"), other, 10000);
        QCOMPARE(newEvents(client, seen), QStringLiteral("Locator=1"));
        QCOMPARE(client.command("Init"), QString()); // the property's locator again, and Ready
        QTRY_COMPARE_WITH_TIMEOUT(lastArchived("Locator"), locator, 10000);
        QCOMPARE(newEvents(client, seen), QStringLiteral("Status=1 Locator=1"));
        QCOMPARE(client.command("Init"), QString()); // nothing changes
        QCOMPARE(client.write("Locator", other), QString());
        QTRY_COMPARE_WITH_TIMEOUT(lastArchived("Locator"), other, 10000);
        QCOMPARE(newEvents(client, seen), QStringLiteral("Locator=1"));

        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("Log").endsWith("calibrating... "), 10000);
        QCOMPARE(client.command("Init"), QString());
        QCOMPARE(client.read("Outcome"), QStringLiteral("aborted"));
        QCOMPARE(client.write("Locator", other), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("Log").endsWith("calibrating... "), 10000);
        TangoClient admin(database.device("dserver/vkr-tango-server/events"), 10000);
        QCOMPARE(admin.command("DevRestart", "test/vkr/events"), QString());
        for (bool archive : {false, true}) {
            QTRY_COMPARE_WITH_TIMEOUT(
                client.events("State", archive).mid(1),
                (QStringList{"RUNNING", "ON", "RUNNING", "ALARM", "ON", "RUNNING", "ALARM", "ON"}), 10000);
            QTRY_COMPARE_WITH_TIMEOUT(
                client.events("Outcome", archive),
                (QStringList{"", "running", "calibrated", "running", "aborted", "running", "aborted", ""}),
                10000);
            QTRY_COMPARE_WITH_TIMEOUT(
                client.events("Locator", archive).mid(-3 + client.events("Locator", archive).size()),
                (QStringList{locator, other, locator}), 10000);
        }
    }

    // A restart leaves a run stuck in a library call behind: the new device shows it, refuses
    // Calibrate until the call returns, and records the run at its end.
    void aRestartDuringAStuckCallShowsTheRunUntilItEnds()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        // Channel 0's status read takes 4 s in the library, far longer than the stop limit; the run
        // sees the stop after it.
        QCOMPARE(database.addServer("restart", {"test/vkr/restart"}, "sim:channels=1,time=60000,latency=4000",
                                    "0.5"),
                 QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), "restart"));
        TangoClient client(database.device("test/vkr/restart"), 10000);
        QCOMPARE(client.subscribe("State"), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("Log").endsWith("calibrating... "), 10000);
        TangoClient admin(database.device("dserver/vkr-tango-server/restart"), 10000);
        QCOMPARE(admin.command("DevRestart", "test/vkr/restart"), QString());
        QCOMPARE(client.read("State"), QStringLiteral("FAULT"));
        QVERIFY(client.read("Status").contains("the controller may still be calibrating"));
        QCOMPARE(client.command("Calibrate"), QStringLiteral("OPERATION_NOT_ALLOWED"));
        QTRY_VERIFY_WITH_TIMEOUT(client.read("State") != "FAULT", 10000);
        QCOMPARE(client.read("State"), QStringLiteral("ALARM"));
        QCOMPARE(client.read("Outcome"), QStringLiteral("aborted"));
        // Events across a restart reach a subscriber as Tango's reconnection allows: some may come
        // twice or not at all on a loaded machine, but none may say ON before the run's end.
        QTRY_COMPARE_WITH_TIMEOUT(client.events("State").last(), QStringLiteral("ALARM"), 5000);
        QStringList states = client.events("State");
        // The subscription's own first event shows the device before Calibrate.
        if (!states.isEmpty() && states.first() == "ON")
            states.removeFirst();
        QVERIFY2(!states.contains("ON"), qPrintable(states.join(' ')));
        QTRY_COMPARE_WITH_TIMEOUT(server.lastHistoryEntry().value("outcome").toString(),
                                  QStringLiteral("aborted"), 5000);
        QCOMPARE(client.command("Calibrate"), QString());
    }

    // The run's end reaches the subscribers before the server exits, however it is ended.
    void theServersEndPushesTheRunsEnd_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("SIGTERM") << "SIGTERM";
        QTest::newRow("Kill") << "Kill";
    }
    void theServersEndPushesTheRunsEnd()
    {
        QFETCH(QString, how);
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QString instance = "end" + how.toLower();
        QCOMPARE(database.addServer(instance, {"test/vkr/" + instance}, "sim:channels=3,time=0,stuck=1"),
                 QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), instance));
        TangoClient client(database.device("test/vkr/" + instance), 10000);
        for (const char* attribute : {"State", "Outcome", "Log"})
            QCOMPARE(client.subscribe(attribute), QString());
        QCOMPARE(client.subscribe("Outcome", true), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("Log").endsWith("\tChannel 1: calibrating... "), 10000);
        if (how == "Kill") {
            TangoClient admin(database.device("dserver/vkr-tango-server/" + instance));
            QCOMPARE(admin.command("Kill"), QString());
        } else {
            QCOMPARE(::kill(pid_t(server.process.processId()), SIGTERM), 0);
        }
        QVERIFY(server.process.waitForFinished(10000));
        // Nothing pushes after the server's exit: what comes was pushed before it.
        QTRY_COMPARE_WITH_TIMEOUT(client.events("State").last(), QStringLiteral("ALARM"), 3000);
        QCOMPARE(client.events("Outcome").last(), QStringLiteral("aborted"));
        QCOMPARE(client.events("Outcome", true).last(), QStringLiteral("aborted"));
        QVERIFY(client.events("Log").last().endsWith("Aborting.\n"));
    }

    // The admin's RestartServer deletes the class with its devices and asks for it anew.
    void aServerRestartMakesTheDevicesAnew()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QString property = "sim:channels=1,time=0";
        QCOMPARE(database.addServer("anew", {"test/vkr/anew"}, property), QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), "anew"));
        TangoClient client(database.device("test/vkr/anew"), 10000);
        // A written locator lives in the device: the device made anew reads the property again.
        QCOMPARE(client.write("Locator", "sim:channels=2,time=0"), QString());
        TangoClient admin(database.device("dserver/vkr-tango-server/anew"));
        QCOMPARE(admin.command("RestartServer"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.read("Locator"), property, 10000);
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.read("Outcome"), QStringLiteral("calibrated"), 10000);
        QCOMPARE(server.process.state(), QProcess::Running);
    }

    // Polling reads the attributes of one period in one request.
    void polledAttributesKeepTheirOwnValues()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QCOMPARE(database.addServer("polled", {"test/vkr/polled"}, "sim:channels=2,nosensor=1,time=0"),
                 QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), "polled"));
        TangoClient client(database.device("test/vkr/polled"));
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.read("State"), QStringLiteral("ON"), 10000);
        const QStringList names{"Outcome", "LastReport", "Log", "Locator", "Client", "ChannelResultNames"};
        QStringList values;
        for (const QString& name : names) {
            values << client.read(qPrintable(name));
            QCOMPARE(client.poll(qPrintable(name), 100), QString());
        }
        client.readPolledValues();
        QTRY_COMPARE_WITH_TIMEOUT(client.read(names), values, 5000);
        // One write is one event of each kind, also while polled; the next write's comes after repeats.
        for (bool archive : {false, true})
            QCOMPARE(client.subscribe("Locator", archive), QString());
        QVERIFY(eventsFlow(client, "sim:a"));
        QCOMPARE(client.write("Locator", "sim:demo"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.read("Locator"), QStringLiteral("sim:demo"), 5000); // polled
        QCOMPARE(client.write("Locator", "sim:b"), QString());
        for (bool archive : {false, true}) {
            QTRY_VERIFY_WITH_TIMEOUT(client.events("Locator", archive, true).endsWith("sim:b"), 5000);
            QCOMPARE(client.events("Locator", archive, true).count("sim:demo"), 1);
        }
    }

    // The history's disk made slow (300 ms for each sync) must not hold up State.
    void eightDevicesEndingTogetherShowTheirEndsTogether()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QStringList devices;
        for (int i = 1; i <= 8; ++i)
            devices << QStringLiteral("test/vkr/together%1").arg(i);
        QCOMPARE(database.addServer("together", devices, "sim:channels=1,time=1000"), QString());
        TangoServer server;
        QVERIFY(server.startRegistered(
            database.host(), "together",
            {"LD_PRELOAD=" VKR_SLOW_SYNC_PATH, "ASAN_OPTIONS=verify_asan_link_order=0"}));
        std::vector<std::unique_ptr<TangoClient>> clients;
        std::vector<qint64> started;
        // Each device's RUNNING must reach its client: the runs start once every subscription flows.
        for (const QString& device : devices) {
            clients.emplace_back(new TangoClient(database.device(device)));
            QCOMPARE(clients.back()->subscribe("State"), QString());
            for (bool archive : {false, true})
                QCOMPARE(clients.back()->subscribe("Locator", archive), QString());
            QVERIFY(eventsFlow(*clients.back(), "sim:channels=1,time=1000"));
        }
        for (auto& client : clients) {
            QCOMPARE(client->command("Calibrate"), QString());
            started.push_back(steadyMilliseconds());
        }
        std::vector<qint64> took;
        for (size_t i = 0; i < clients.size(); ++i) {
            // Under load a just-started device's first push of its state may come after the subscription's
            // own first event, so only what follows the run's start is compared.
            const auto events = [&] { return clients[i]->events("State"); };
            QTRY_VERIFY2_WITH_TIMEOUT(events().mid(events().indexOf("RUNNING")) ==
                                          (QStringList{"RUNNING", "ON"}),
                                      qPrintable(events().join(' ')), 20000);
            took.push_back(clients[i]->arrival("State", "ON") - started[i]);
        }
        const auto [shortest, longest] = std::minmax_element(took.begin(), took.end());
        qInfo("runs took %lld to %lld ms from Calibrate to their State event", *shortest, *longest);
        QVERIFY(*longest - *shortest < 250);
    }

    void aStuckLibraryCallLeavesTheDeviceFaultAndTheServerEnds_data()
    {
        QTest::addColumn<QString>("command"); // before SIGTERM; answered within a client's default 3 s
        QTest::newRow("Abort, then SIGTERM") << "Abort";
        QTest::newRow("Init, then SIGTERM") << "Init";
        QTest::newRow("SIGTERM") << "";
    }
    void aStuckLibraryCallLeavesTheDeviceFaultAndTheServerEnds()
    {
        QFETCH(QString, command);
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        const QString instance = "stuck" + command.toLower();
        // Channel 0's status read takes a minute in the library.
        QCOMPARE(database.addServer(instance, {"test/vkr/" + instance}, "sim:channels=1,time=0,latency=60000",
                                    "0.5"),
                 QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), instance));
        TangoClient client(database.device("test/vkr/" + instance));
        QCOMPARE(client.subscribe("State"), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.read("Log").endsWith("calibrating... "), 10000);
        QElapsedTimer timer;
        if (!command.isEmpty()) {
            const qint64 asked = steadyMilliseconds();
            timer.start();
            QCOMPARE(client.command(qPrintable(command)), QString());
            QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
            QTRY_VERIFY_WITH_TIMEOUT(client.events("State").endsWith("FAULT"), 15000);
            QVERIFY(client.arrival("State", "FAULT") - asked >= 450);
            QVERIFY(client.read("Status").contains("the controller library does not return"));
            QCOMPARE(client.command("Calibrate"), QStringLiteral("OPERATION_NOT_ALLOWED"));
        }
        timer.start();
        QCOMPARE(::kill(pid_t(server.process.processId()), SIGTERM), 0);
        QVERIFY(server.process.waitForFinished(20000));
        qInfo("the server ended %lld ms after SIGTERM", timer.elapsed());
        QVERIFY(timer.elapsed() < 3000);
        QCOMPARE(server.process.exitCode(), 0);
        // The run left behind is the end the subscribers see.
        QTRY_COMPARE_WITH_TIMEOUT(client.events("State").last(), QStringLiteral("FAULT"), 3000);
        QVERIFY(server.process.readAllStandardError().contains("the controller may still be calibrating"));
    }

    // The Python client docs/tango.md shows, as a user runs it against the database.
    void theDocumentedPythonClientFollowsARun()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        // Debian's Python, which python3-tango is for (a python3 of pyenv's may come first in the
        // path), run from a folder of its own: the build's tango/ would be Python's `tango`.
        const QString python3 = QStandardPaths::findExecutable("python3", {"/usr/bin"});
        QTemporaryDir folder;
        QProcess python;
        python.setWorkingDirectory(folder.path());
        python.start(python3, {"-c", "import tango; tango.DeviceProxy"});
        if (!python.waitForFinished(30000) || python.exitCode() != 0)
            QSKIP("no PyTango (package python3-tango)");
        QFile page(QStringLiteral(VKR_TANGO_PAGE));
        QVERIFY(page.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(page.readAll());
        const int start = text.indexOf("```python\n# follow.py") + 10;
        QVERIFY(start >= 10);
        const QString script = text.mid(start, text.indexOf("```", start) - start);
        QCOMPARE(database.addServer("python", {"test/vkr/python"}, "sim:channels=2,time=2000"), QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), "python"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TANGO_HOST", database.host());
        python.setProcessEnvironment(environment);
        python.start(python3, {"-c", script, "test/vkr/python"});
        QVERIFY(python.waitForFinished(60000));
        const QString output = QString::fromUtf8(python.readAllStandardOutput());
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        // Tango does not promise the events of a subscription's first moments: ZeroMQ's subscription
        // reaches the server some time after subscribe_event() returns, so on a busy machine RUNNING,
        // pushed as Calibrate starts the run, may never come. The log is whole in every event, and the
        // run's end comes seconds after: the script must show both.
        for (const char* line :
             {"Starting calibration...\n", "\tChannel 1: calibrating... done.\n",
              "Calibration routine finished with 0 errors.\n", "[archived Outcome] calibrated\n"})
            QVERIFY2(output.contains(line), qPrintable(output));
        // ON at subscription, and ON again at the end.
        QVERIFY2(output.count("[State] ON\n") == 2, qPrintable(output));
    }

    // The last of the database's rows: it ends the database's server.
    void initWithTheDatabaseDownKeepsTheLocator()
    {
        TangoDatabase& database = TangoDatabase::shared();
        if (const QString why = database.unavailable(); !why.isEmpty())
            QSKIP(qPrintable(why));
        QCOMPARE(database.addServer("down", {"test/vkr/down"}, "sim:demo"), QString());
        TangoServer server;
        QVERIFY(server.startRegistered(database.host(), "down"));
        TangoClient client(database.device("test/vkr/down"), 30000);
        QCOMPARE(client.write("Locator", "sim:channels=1"), QString());
        QVERIFY(database.endDataBaseds());
        QCOMPARE(client.command("Init"), QString());
        QCOMPARE(client.read("Locator"), QStringLiteral("sim:channels=1"));
        QVERIFY2(client.read("Status").contains("keeps the locator sim:channels=1."),
                 qPrintable(client.read("Status")));
        QCOMPARE(client.command("Calibrate"), QString());
    }

    void cleanupTestCase() { TangoDatabase::shared().stop(); }

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
    // Tango's client library writes to the servers and the database the test has ended, last when
    // it cleans up at exit: a write to a closed connection is a failed write, not the test's end.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication application(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--events-of") == 0)
        printEventsOfARun(QString::fromLocal8Bit(argv[2]));
    TangoServerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tangoserver.moc"
