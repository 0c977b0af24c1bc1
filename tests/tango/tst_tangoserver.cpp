// vkr-tango-server as a facility runs it: without a database, on a loopback port, against the
// stand-in libraries and vkr-sim, driven by a Tango client.
#include "simprocess.h"
#include "tangoclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Device = QStringLiteral("test/vkr/1");

// A port that nothing listens on now: omniORB does not tell which port it was given, so the test
// picks one, and starts again on another should someone take it in between.
quint16 freePort()
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(socket);
    return port;
}

// The server with a data folder of its own, so that its calibration history can be read back.
class TangoServer
{
public:
    // With no property file the server runs with -nodb; with one, from that file.
    bool start(const QString& locatorProperty = QString())
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        process.setProcessEnvironment(environment);
        for (int attempt = 0; attempt < 3; ++attempt) {
            port = freePort();
            QStringList arguments{QStringLiteral("test")};
            if (locatorProperty.isEmpty()) {
                arguments << QStringLiteral("-nodb") << QStringLiteral("-dlist") << Device;
            } else {
                QFile file(home.filePath(QStringLiteral("server.res")));
                if (!file.open(QIODevice::WriteOnly) ||
                    file.write(QStringLiteral("vkr-tango-server/test/DEVICE/VKRCalibrator: \"%1\"\n"
                                              "%1->Locator: \"%2\"\n")
                                   .arg(Device, locatorProperty)
                                   .toUtf8()) < 0)
                    return false;
                arguments << QStringLiteral("-file=") + file.fileName();
            }
            arguments << QStringLiteral("-ORBendPoint") << QStringLiteral("giop:tcp:127.0.0.1:%1").arg(port);
            process.start(QStringLiteral(VKR_TANGO_SERVER_PATH), arguments);
            if (QTest::qWaitFor(
                    [&] {
                        return process.state() == QProcess::NotRunning ||
                               process.peek(4096).contains("Ready to accept request");
                    },
                    20000) &&
                process.state() == QProcess::Running)
                return true;
            process.kill();
            process.waitForFinished();
            qWarning("vkr-tango-server did not start on port %u: %s", port,
                     process.readAllStandardError().constData());
        }
        return false;
    }
    ~TangoServer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QString device() const
    {
        return QStringLiteral("tango://127.0.0.1:%1/%2#dbase=no").arg(port).arg(Device);
    }
    QJsonObject lastHistoryEntry() const
    {
        QFile journal(home.filePath(QStringLiteral("vkr-calibrator/history.jsonl")));
        if (!journal.open(QIODevice::ReadOnly))
            return QJsonObject();
        const QList<QByteArray> lines = journal.readAll().trimmed().split('\n');
        return QJsonDocument::fromJson(lines.last()).object();
    }

    QTemporaryDir home;
    QProcess process;
    quint16 port = 0;
};

QStringList resultsOf(const QJsonObject& report)
{
    QStringList results;
    for (const QJsonValue& channel : report.value(QStringLiteral("channels")).toArray())
        results << channel.toObject().value(QStringLiteral("result")).toString();
    return results;
}

} // namespace

class TangoServerTest : public QObject
{
    Q_OBJECT

    // The server whose events a client subscribes to lives as long as the test: Tango 9.3's client
    // also crashes when it tries to reconnect the events of a server that has ended.
    std::unique_ptr<TangoServer> eventServer;

private slots:
    void cleanupTestCase() { eventServer.reset(); }

    void aRunEndsInItsStateWithItsReport_data()
    {
        QTest::addColumn<QString>("locator");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QVector<quint32>>("codes");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("status"); // the start of it
        QTest::newRow("calibrated") << "sim:demo,time=20"
                                    << "ON"
                                    << "calibrated" << QVector<quint32>{0, 0, 129, 0}
                                    << QStringList{"calibrated", "calibrated", "no-sensor", "calibrated"}
                                    << "Starting calibration...\nSuccessfully initialized.\n"
                                       "Sensors disabled. Setting to Power Save Mode.\n"
                                       "\tChannel 0: calibrating... done.\n"
                                       "\tChannel 1: calibrating... done.\n"
                                       "\tChannel 2: no sensor\n"
                                       "\tChannel 3: calibrating... done.\n"
                                       "\nCalibration routine finished with 0 errors.\n"
                                    << "sim:demo,time=20 calibrated with 0 errors.";
        QTest::newRow("errors") << "sim:channels=2,time=0,fail-calibrate=17"
                                << "ALARM"
                                << "calibrated-with-errors" << QVector<quint32>{17, 17}
                                << QStringList{"failed", "failed"}
                                << "Starting calibration...\nSuccessfully initialized.\n"
                                   "Could not calibrate channel 0! Error: 17\n"
                                   "Could not calibrate channel 1! Error: 17\n"
                                   "\nCalibration routine finished with 2 errors.\n"
                                << "sim:channels=2,time=0,fail-calibrate=17 calibrated with 2 errors.";
        QTest::newRow("not opened, the connection's reason")
            << "nothing"
            << "FAULT"
            << "not-opened" << QVector<quint32>{} << QStringList{}
            << "Starting calibration...\nCould not "
               "initialize! Error: 21\n"
            << "\"nothing\" is no locator: a serial "
               "locator is a prefix, ':' and the port";
        QTest::newRow("not opened, the code only")
            << "sim:fail-open=7"
            << "FAULT"
            << "not-opened" << QVector<quint32>{} << QStringList{}
            << "Starting calibration...\nCould not initialize! Error: 7\n"
            << "Could not initialize! Error: 7";
    }
    void aRunEndsInItsStateWithItsReport()
    {
        QFETCH(QString, locator);
        QFETCH(QString, state);
        QFETCH(QString, outcome);
        QFETCH(QVector<quint32>, codes);
        QFETCH(QStringList, results);
        QFETCH(QString, log);
        QFETCH(QString, status);
        TangoServer server;
        QVERIFY(server.start());
        TangoClient client(server.device());
        QCOMPARE(client.write("Locator", locator), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.state() != "RUNNING", 10000);
        QCOMPARE(client.state(), state);
        QVERIFY2(client.text("Status").startsWith(status), qPrintable(client.text("Status")));
        QCOMPARE(client.text("Log"), log);
        const QJsonObject report = QJsonDocument::fromJson(client.text("LastReport").toUtf8()).object();
        QCOMPARE(report.value("locator").toString(), locator);
        QCOMPARE(report.value("outcome").toString(), outcome);
        QCOMPARE(report.value("tool").toObject().value("name").toString(),
                 QStringLiteral("vkr-tango-server"));
        QCOMPARE(resultsOf(report), results);
        QCOMPARE(client.text("Outcome"), outcome);
        QCOMPARE(client.numbers("Errors"), QVector<quint32>{quint32(report.value("errors").toInt())});
        QCOMPARE(client.numbers("ChannelResults"), codes);
        QCOMPARE(client.names("ChannelResultNames"), results);

        QJsonObject entry = server.lastHistoryEntry();
        QCOMPARE(entry.take("source").toString(), QStringLiteral("tango"));
        entry.remove("host");
        QCOMPARE(entry, report);
    }

    // The locator from the device's property, as a property file gives it without a database.
    void aRunningCalibrationRefusesAnotherAndAbortStopsIt()
    {
        TangoServer server;
        QVERIFY(server.start(QStringLiteral("sim:channels=3,time=0,stuck=1")));
        TangoClient client(server.device());
        QCOMPARE(client.text("Locator"), QStringLiteral("sim:channels=3,time=0,stuck=1"));
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.text("Log").endsWith("\tChannel 1: calibrating... "), 10000);
        QCOMPARE(client.state(), QStringLiteral("RUNNING"));
        QCOMPARE(client.command("Calibrate"), QStringLiteral("VKR_CalibrationRunning"));
        QCOMPARE(client.write("Locator", "sim:demo"), QStringLiteral("VKR_CalibrationRunning"));

        QCOMPARE(client.command("Abort"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QStringLiteral("ALARM"), 10000);
        QVERIFY(client.text("Log").endsWith("\tChannel 1: calibrating... Aborting.\n"));
        QCOMPARE(client.text("Outcome"), QStringLiteral("aborted"));
        QCOMPARE(client.names("ChannelResultNames"), (QStringList{"calibrated", "aborted"}));
        // Idle again: a new run may start.
        QCOMPARE(client.command("Abort"), QString());
        QCOMPARE(client.write("Locator", "sim:channels=1,time=0"), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QStringLiteral("ON"), 10000);
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
        QCOMPARE(client.command("Calibrate"), QStringLiteral("VKR_NoLocator"));
        QCOMPARE(client.write("Locator", sim.locator()), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(client.text("Log").endsWith("\tChannel 1: calibrating... "), 10000);

        QCOMPARE(::kill(pid_t(server.process.processId()), signal), 0);
        QVERIFY(server.process.waitForFinished(10000));
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("in  :S1\n")), 5000);
        const QJsonObject entry = server.lastHistoryEntry();
        QCOMPARE(entry.value("outcome").toString(), QStringLiteral("aborted"));
        QCOMPARE(resultsOf(entry), (QStringList{"calibrated", "aborted"}));
    }

    // Last, so that the test ends soon after: without a database, Tango 9.3's client misses the
    // server's heartbeat, and after about 10 s it tries to reconnect the events and crashes.
    void changesArePushed()
    {
        eventServer.reset(new TangoServer);
        QVERIFY(eventServer->start());
        TangoClient client(eventServer->device());
        for (const char* attribute : {"State", "Log", "LastReport"})
            QCOMPARE(client.subscribe(attribute), QString());
        QCOMPARE(client.write("Locator", "sim:channels=2,time=20,nosensor=1"), QString());
        QCOMPARE(client.command("Calibrate"), QString());
        // The first of each is the value at subscription.
        QTRY_COMPARE_WITH_TIMEOUT(client.events("State"), (QStringList{"ON", "RUNNING", "ON"}), 10000);
        const QString log = client.text("Log");
        QCOMPARE(
            client.events("Log"),
            (QStringList{
                "", "Starting calibration...\n", "Starting calibration...\nSuccessfully initialized.\n",
                "Starting calibration...\nSuccessfully initialized.\n\tChannel 0: calibrating... ",
                "Starting calibration...\nSuccessfully initialized.\n\tChannel 0: calibrating... done.\n",
                "Starting calibration...\nSuccessfully initialized.\n\tChannel 0: calibrating... "
                "done.\n\tChannel 1: no sensor\n",
                log}));
        QCOMPARE(client.events("LastReport"), (QStringList{"{}", client.text("LastReport")}));
    }
};

QTEST_GUILESS_MAIN(TangoServerTest)
#include "tst_tangoserver.moc"
