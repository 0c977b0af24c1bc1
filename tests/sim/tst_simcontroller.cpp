// Behaviour of the simulated controller: timing, sensors, channel checks and injected failures.
#include "simcodes.h"
#include "simcontroller.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

SimController controllerFor(const char* text)
{
    std::optional<SimScenario> scenario = SimScenario::parse(text);
    if (!scenario)
        qFatal("test scenario does not parse: %s", text);
    return SimController(std::move(*scenario));
}

// The controller's own operations name the calls; a poll is a status read like the first one.
using Call = SimOperation;

// Makes one call; out-values start at 77 so that a call that must not write them shows it.
uint32_t invoke(SimController& controller, Call call, uint32_t channel, uint32_t& out)
{
    out = 77;
    switch (call) {
    case Call::Open:
        return controller.open();
    case Call::Release:
        return controller.release();
    case Call::Channels:
        return controller.getNumberOfChannels(out);
    case Call::GetMode:
        return controller.getSensorEnabled(out);
    case Call::SetMode:
        return controller.setSensorEnabled(channel);
    case Call::Calibrate:
        return controller.calibrateSensor(channel);
    case Call::Status:
    case Call::Poll:
        return controller.getStatus(channel, out);
    case Call::Stop:
        return controller.stop(channel);
    }
    return 0;
}

uint32_t statusOf(SimController& controller, uint32_t channel)
{
    uint32_t status = 99;
    controller.getStatus(channel, status);
    return status;
}

} // namespace

Q_DECLARE_METATYPE(Call)

class TestSimController : public QObject
{
    Q_OBJECT

private slots:
    void calls_data();
    void calls();
    void calibrationEndsAfterItsTime();
    void calibrationRestarts();
    void sensorModeGatesCalibration();
    void firstReadAndPollsFailSeparately();
    void failedPollStillEndsTheWait();
    void stuckChannelWaitsForStop();
    void failedStopKeepsCalibrating();
    void statusReadTakesTheLatency();
    void concurrentCallers();
    void theAccountNotesWhatTheControllerDid();
};

void TestSimController::calls_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<Call>("call");
    QTest::addColumn<uint>("argument");
    QTest::addColumn<uint>("result");
    QTest::addColumn<uint>("out");

    const uint untouched = 77;
    QTest::newRow("channel count") << "channels=6" << Call::Channels << 0u << 0u << 6u;
    QTest::newRow("no channels") << "channels=0" << Call::Channels << 0u << 0u << 0u;
    QTest::newRow("initial sensor mode") << "mode=1" << Call::GetMode << 0u << 0u << 1u;
    QTest::newRow("status of an idle channel") << "" << Call::Status << 3u << 0u << 0u;
    QTest::newRow("stop an idle channel") << "" << Call::Stop << 1u << 0u << untouched;
    QTest::newRow("no sensor") << "nosensor=1+3" << Call::Calibrate << 3u << SimCode::NoSensor << untouched;
    QTest::newRow("invalid mode") << "" << Call::SetMode << 3u << SimCode::InvalidSensorMode << untouched;

    QTest::newRow("calibrate past the last channel")
        << "channels=2" << Call::Calibrate << 2u << SimCode::InvalidChannel << untouched;
    QTest::newRow("status past the last channel")
        << "channels=2" << Call::Status << 2u << SimCode::InvalidChannel << untouched;
    QTest::newRow("stop past the last channel")
        << "channels=2" << Call::Stop << 5u << SimCode::InvalidChannel << untouched;
    QTest::newRow("any channel of none")
        << "channels=0" << Call::Calibrate << 0u << SimCode::InvalidChannel << untouched;

    QTest::newRow("fail-open") << "fail-open=30" << Call::Open << 0u << 30u << untouched;
    QTest::newRow("fail-release") << "fail-release=31" << Call::Release << 0u << 31u << untouched;
    QTest::newRow("fail-channels leaves the count")
        << "fail-channels=32" << Call::Channels << 0u << 32u << untouched;
    QTest::newRow("fail-getmode leaves the mode")
        << "fail-getmode=33" << Call::GetMode << 0u << 33u << untouched;
    QTest::newRow("fail-setmode") << "fail-setmode=34" << Call::SetMode << 2u << 34u << untouched;
    QTest::newRow("fail-calibrate on its channel")
        << "fail-calibrate@1=17" << Call::Calibrate << 1u << 17u << untouched;
    QTest::newRow("fail-calibrate not on another")
        << "fail-calibrate@1=17" << Call::Calibrate << 0u << 0u << untouched;
    QTest::newRow("injected code wins over no sensor")
        << "nosensor=2,fail-calibrate=5" << Call::Calibrate << 2u << 5u << untouched;
    QTest::newRow("invalid channel wins over injected code")
        << "channels=1,fail-calibrate=5" << Call::Calibrate << 1u << SimCode::InvalidChannel << untouched;
    QTest::newRow("fail-stop") << "fail-stop@3=4294967295" << Call::Stop << 3u << 4294967295u << untouched;
    QTest::newRow("fail-status needs a calibration first")
        << "fail-status=15" << Call::Status << 0u << 0u << 0u;
}

void TestSimController::calls()
{
    QFETCH(QString, scenario);
    QFETCH(Call, call);
    QFETCH(uint, argument);
    QFETCH(uint, result);
    QFETCH(uint, out);

    SimController controller = controllerFor(scenario.toLatin1().constData());
    uint32_t value = 0;
    QCOMPARE(uint(invoke(controller, call, argument, value)), result);
    QCOMPARE(uint(value), out);
}

void TestSimController::calibrationEndsAfterItsTime()
{
    SimController controller = controllerFor("time=500,latency=0");
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(controller.calibrateSensor(1), SimCode::Ok);
    QCOMPARE(statusOf(controller, 1), SimController::StatusCalibrating);
    QCOMPARE(statusOf(controller, 0), SimController::StatusIdle);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(controller, 1), SimController::StatusIdle, 5000);
    QVERIFY2(timer.elapsed() >= 500, "calibration ended before its time");
}

void TestSimController::calibrationRestarts()
{
    SimController controller = controllerFor("time=0,latency=0");
    QCOMPARE(controller.calibrateSensor(0), SimCode::Ok);
    QCOMPARE(statusOf(controller, 0), SimController::StatusIdle);
    QCOMPARE(controller.calibrateSensor(0), SimCode::Ok);
    QCOMPARE(statusOf(controller, 0), SimController::StatusIdle);
}

void TestSimController::sensorModeGatesCalibration()
{
    SimController controller = controllerFor("mode=0,latency=0");
    QCOMPARE(controller.calibrateSensor(0), SimCode::SensorsDisabled);
    QCOMPARE(controller.setSensorEnabled(2), SimCode::Ok);
    uint32_t mode = 0;
    QCOMPARE(controller.getSensorEnabled(mode), SimCode::Ok);
    QCOMPARE(mode, 2u);
    QCOMPARE(controller.calibrateSensor(0), SimCode::Ok);

    QCOMPARE(controller.setSensorEnabled(7), SimCode::InvalidSensorMode);
    QCOMPARE(controller.getSensorEnabled(mode), SimCode::Ok);
    QCOMPARE(mode, 2u);
}

void TestSimController::firstReadAndPollsFailSeparately()
{
    SimController controller = controllerFor("fail-status@1=15,latency=0,time=60000");
    uint32_t status = 0;
    QCOMPARE(controller.calibrateSensor(1), SimCode::Ok);
    QCOMPARE(controller.getStatus(1, status), 15u);
    QCOMPARE(status, SimController::StatusCalibrating);
    QCOMPARE(controller.getStatus(1, status), SimCode::Ok);

    // A new calibration makes the next read a first read again; other channels are not affected.
    QCOMPARE(controller.calibrateSensor(1), SimCode::Ok);
    QCOMPARE(controller.getStatus(1, status), 15u);
    QCOMPARE(controller.calibrateSensor(2), SimCode::Ok);
    QCOMPARE(controller.getStatus(2, status), SimCode::Ok);
}

// The wait loop ignores the result of its reads, so the status must still come through.
void TestSimController::failedPollStillEndsTheWait()
{
    SimController controller = controllerFor("fail-poll=11,time=400,latency=0");
    uint32_t status = 0;
    QCOMPARE(controller.calibrateSensor(0), SimCode::Ok);
    QCOMPARE(controller.getStatus(0, status), SimCode::Ok);
    QCOMPARE(status, SimController::StatusCalibrating);

    uint32_t result = 0;
    QTRY_VERIFY_WITH_TIMEOUT((result = controller.getStatus(0, status), status == SimController::StatusIdle),
                             5000);
    QCOMPARE(result, 11u);
}

void TestSimController::stuckChannelWaitsForStop()
{
    SimController controller = controllerFor("stuck=1,time=0,latency=0");
    QCOMPARE(controller.calibrateSensor(0), SimCode::Ok);
    QCOMPARE(controller.calibrateSensor(1), SimCode::Ok);
    QCOMPARE(statusOf(controller, 0), SimController::StatusIdle);
    for (int read = 0; read < 20; ++read)
        QCOMPARE(statusOf(controller, 1), SimController::StatusCalibrating);
    QCOMPARE(controller.stop(1), SimCode::Ok);
    QCOMPARE(statusOf(controller, 1), SimController::StatusIdle);
}

void TestSimController::failedStopKeepsCalibrating()
{
    SimController controller = controllerFor("stuck=0,fail-stop=9,latency=0");
    QCOMPARE(controller.calibrateSensor(0), SimCode::Ok);
    QCOMPARE(controller.stop(0), 9u);
    QCOMPARE(statusOf(controller, 0), SimController::StatusCalibrating);
}

void TestSimController::statusReadTakesTheLatency()
{
    SimController controller = controllerFor("latency=40");
    QElapsedTimer timer;
    timer.start();
    statusOf(controller, 0);
    QVERIFY(timer.elapsed() >= 40);
}

// Several threads drive one controller at once; meant for the sanitizer builds.
void TestSimController::concurrentCallers()
{
    SimController controller = controllerFor("channels=8,time=1,latency=0,stuck=7,fail-poll@3=4");
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 300; ++round) {
                const uint32_t channel = (t + uint32_t(round)) % 8;
                uint32_t value = 0;
                if (controller.calibrateSensor(channel) != SimCode::Ok)
                    ++unexpected;
                const uint32_t result = controller.getStatus(channel, value);
                if (result != SimCode::Ok && result != 4)
                    ++unexpected;
                if (controller.setSensorEnabled(2) != SimCode::Ok || controller.getSensorEnabled(value) != 0)
                    ++unexpected;
                if (round % 7 == 0 && controller.stop(channel) != SimCode::Ok)
                    ++unexpected;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(unexpected.load(), 0);
}

QTEST_GUILESS_MAIN(TestSimController)
#include "tst_simcontroller.moc"

// The account a harness checks the tool against: a stop that comes after the calibration's time
// ran out is no stop, a refused one is noted, and closing lists what still runs.
void TestSimController::theAccountNotesWhatTheControllerDid()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("truth.jsonl"));
    {
        SimController controller = controllerFor("channels=4,time=0,stuck=1+3,fail-stop@3=9");
        controller.keepTruth(SimTruth::open(path.toStdString()), "sim:x");
        QCOMPARE(controller.open(), 0u);
        for (uint32_t channel : {0u, 1u, 3u})
            QCOMPARE(controller.calibrateSensor(channel), 0u);
        controller.stop(0);
        controller.stop(1);
        controller.stop(3);
        controller.accountRunning("closed");
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList events;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (!line.isEmpty())
            events << event.value(QLatin1String("event")).toString() +
                          event.value(QLatin1String("channel")).toVariant().toString();
    }
    QCOMPARE(events, QStringList({"handshake", "started0", "started1", "started3", "completed0", "stopped1",
                                  "stop-refused3", "closed", "running3"}));
}
