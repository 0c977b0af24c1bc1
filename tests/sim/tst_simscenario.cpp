// Parsing of the scenario text that follows "sim:" in a locator.
#include "simscenario.h"

#include <QtTest>

namespace {

QString channelList(const std::set<uint32_t>& channels)
{
    QStringList parts;
    for (const uint32_t channel : channels)
        parts << QString::number(channel);
    return parts.join('+');
}

// The settings in the scenario syntax itself, which keeps the table rows short.
QString describe(const SimScenario& s)
{
    return QStringLiteral("channels=%1,nosensor=%2,mode=%3,time=%4,stuck=%5,latency=%6")
        .arg(s.channels)
        .arg(channelList(s.channelsWithoutSensor))
        .arg(s.sensorMode)
        .arg(s.calibrationTimeMs)
        .arg(channelList(s.stuckChannels))
        .arg(s.statusLatencyMs);
}

} // namespace

class TestSimScenario : public QObject
{
    Q_OBJECT

private slots:
    void settings_data();
    void settings();
    void faults_data();
    void faults();
    void rejected_data();
    void rejected();
    void extraItems();
};

void TestSimScenario::settings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    const QString defaults = "channels=4,nosensor=,mode=2,time=1500,stuck=,latency=1";
    QTest::newRow("empty") << "" << defaults;
    QTest::newRow("only separators and blanks") << " , ,, " << defaults;
    QTest::newRow("demo") << "demo"
                          << "channels=4,nosensor=2,mode=0,time=1500,stuck=,latency=1";
    QTest::newRow("items after demo win") << "demo,time=100,nosensor="
                                          << "channels=4,nosensor=,mode=0,time=100,stuck=,latency=1";
    QTest::newRow("demo overrides earlier items")
        << "channels=9,demo"
        << "channels=4,nosensor=2,mode=0,time=1500,stuck=,latency=1";
    QTest::newRow("no channels") << "channels=0"
                                 << "channels=0,nosensor=,mode=2,time=1500,stuck=,latency=1";
    QTest::newRow("all keys") << "channels=3,nosensor=0+2,mode=1,time=0,stuck=1,latency=0"
                              << "channels=3,nosensor=0+2,mode=1,time=0,stuck=1,latency=0";
    QTest::newRow("blanks around items, keys and values")
        << " channels = 7 ,\tnosensor= 1 + 3 "
        << "channels=7,nosensor=1+3,mode=2,time=1500,stuck=,latency=1";
    QTest::newRow("largest number") << "time=4294967295"
                                    << "channels=4,nosensor=,mode=2,time=4294967295,stuck=,latency=1";
    QTest::newRow("leading zeros") << "channels=007"
                                   << "channels=7,nosensor=,mode=2,time=1500,stuck=,latency=1";
    QTest::newRow("later item wins") << "mode=0,mode=1"
                                     << "channels=4,nosensor=,mode=1,time=1500,stuck=,latency=1";
    QTest::newRow("several stuck channels") << "stuck=3+0"
                                            << "channels=4,nosensor=,mode=2,time=1500,stuck=0+3,latency=1";
}

void TestSimScenario::settings()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);

    std::string error;
    const std::optional<SimScenario> scenario = SimScenario::parse(text.toStdString(), &error);
    QVERIFY2(scenario, error.c_str());
    QCOMPARE(describe(*scenario), expected);
}

void TestSimScenario::faults_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("operation");
    QTest::addColumn<uint>("channel");
    QTest::addColumn<uint>("expected");

    const auto op = [](SimOperation o) { return int(o); };
    QTest::newRow("none") << "" << op(SimOperation::Calibrate) << 0u << 0u;
    QTest::newRow("open") << "fail-open=21" << op(SimOperation::Open) << 0u << 21u;
    QTest::newRow("release") << "fail-release=5" << op(SimOperation::Release) << 0u << 5u;
    QTest::newRow("channels") << "fail-channels=6" << op(SimOperation::Channels) << 0u << 6u;
    QTest::newRow("getmode") << "fail-getmode=7" << op(SimOperation::GetMode) << 0u << 7u;
    QTest::newRow("setmode") << "fail-setmode=8" << op(SimOperation::SetMode) << 0u << 8u;
    QTest::newRow("all bits set") << "fail-stop=4294967295" << op(SimOperation::Stop) << 3u << 4294967295u;
    QTest::newRow("general applies to every channel")
        << "fail-calibrate=17" << op(SimOperation::Calibrate) << 9u << 17u;
    QTest::newRow("channel-specific hits its channel")
        << "fail-status@2=15" << op(SimOperation::Status) << 2u << 15u;
    QTest::newRow("channel-specific misses others")
        << "fail-status@2=15" << op(SimOperation::Status) << 1u << 0u;
    QTest::newRow("channel-specific wins over general")
        << "fail-poll@1=3,fail-poll=4" << op(SimOperation::Poll) << 1u << 3u;
    QTest::newRow("code 0 exempts one channel")
        << "fail-calibrate=17,fail-calibrate@0=0" << op(SimOperation::Calibrate) << 0u << 0u;
    QTest::newRow("other operation untouched") << "fail-status=15" << op(SimOperation::Poll) << 0u << 0u;
}

void TestSimScenario::faults()
{
    QFETCH(QString, text);
    QFETCH(int, operation);
    QFETCH(uint, channel);
    QFETCH(uint, expected);

    std::string error;
    const std::optional<SimScenario> scenario = SimScenario::parse(text.toStdString(), &error);
    QVERIFY2(scenario, error.c_str());
    QCOMPARE(uint(scenario->faultFor(SimOperation(operation), channel)), expected);
}

void TestSimScenario::rejected_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");

    QTest::newRow("unknown key") << "speed=3"
                                 << "unknown item: speed=3";
    QTest::newRow("unknown bare word") << "demo,fast"
                                       << "unknown item: fast";
    QTest::newRow("key without value") << "channels"
                                       << "unknown item: channels";
    QTest::newRow("demo with value") << "demo=1"
                                     << "unknown item: demo=1";
    QTest::newRow("empty key") << "=4"
                               << "unknown item: =4";
    QTest::newRow("unknown operation") << "fail-reset=1"
                                       << "unknown item: fail-reset=1";
    QTest::newRow("keys are case-sensitive") << "Channels=2"
                                             << "unknown item: Channels=2";
    QTest::newRow("empty number") << "time="
                                  << "bad value in: time=";
    QTest::newRow("negative") << "channels=-1"
                              << "bad value in: channels=-1";
    QTest::newRow("sign") << "time=+5"
                          << "bad value in: time=+5";
    QTest::newRow("overflow") << "time=4294967296"
                              << "bad value in: time=4294967296";
    QTest::newRow("hex") << "fail-open=0x10"
                         << "bad value in: fail-open=0x10";
    QTest::newRow("blank inside a number") << "time=1 0"
                                           << "bad value in: time=1 0";
    QTest::newRow("sensor mode out of range") << "mode=3"
                                              << "bad value in: mode=3";
    QTest::newRow("empty list entry") << "nosensor=1++2"
                                      << "bad value in: nosensor=1++2";
    QTest::newRow("trailing plus") << "stuck=1+"
                                   << "bad value in: stuck=1+";
    QTest::newRow("channel on an operation without one") << "fail-open@1=5"
                                                         << "bad value in: fail-open@1=5";
    QTest::newRow("channel not a number") << "fail-poll@x=5"
                                          << "bad value in: fail-poll@x=5";
    QTest::newRow("channel missing") << "fail-poll@=5"
                                     << "bad value in: fail-poll@=5";
    QTest::newRow("fault without code") << "fail-stop="
                                        << "bad value in: fail-stop=";
    QTest::newRow("bad item after good ones") << "demo,time=10,latency=x"
                                              << "bad value in: latency=x";
}

void TestSimScenario::rejected()
{
    QFETCH(QString, text);
    QFETCH(QString, error);

    std::string message;
    QVERIFY(!SimScenario::parse(text.toStdString(), &message));
    QCOMPARE(QString::fromStdString(message), error);
}

// A front end with keys of its own sees exactly the items this class does not know, and decides.
void TestSimScenario::extraItems()
{
    QStringList offered;
    const SimScenario::ExtraItemHandler handler = [&](std::string_view key, std::string_view value) {
        offered << QString::fromStdString(std::string(key)) + '|' +
                       QString::fromStdString(std::string(value));
        return key == "refuse"  ? SimScenario::ItemResult::UnknownKey
               : key == "wrong" ? SimScenario::ItemResult::BadValue
                                : SimScenario::ItemResult::Applied;
    };

    std::string error;
    std::optional<SimScenario> scenario =
        SimScenario::parse("demo, drop = 3 ,time=10,noecho,fail-garble@2=1", &error, handler);
    QVERIFY2(scenario, error.c_str());
    QCOMPARE(offered, QStringList({"drop|3", "noecho|", "fail-garble@2|1"}));
    QCOMPARE(scenario->calibrationTimeMs, 10u);

    // Malformed values of known keys never reach the handler.
    offered.clear();
    QVERIFY(!SimScenario::parse("time=x", &error, handler));
    QVERIFY(offered.isEmpty());

    QVERIFY(!SimScenario::parse("refuse=1", &error, handler));
    QCOMPARE(QString::fromStdString(error), QString("unknown item: refuse=1"));
    QVERIFY(!SimScenario::parse("wrong=1", &error, handler));
    QCOMPARE(QString::fromStdString(error), QString("bad value in: wrong=1"));
}

QTEST_GUILESS_MAIN(TestSimScenario)
#include "tst_simscenario.moc"
