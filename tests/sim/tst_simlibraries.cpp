// The stand-in controller libraries as the tool sees them: loaded at run time, called through
// their C entry points.
#include "serialportlister.h"
#include "simcodes.h"
#include "simlibraries.h"
#include "simsystemregistry.h"

#include <QtTest>

class TestSimLibraries : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void findSystems_data();
    void findSystems();
    void interfaceType_data();
    void interfaceType();
    void openSystem_data();
    void openSystem();
    void nullPointersAreRefused();
    void calibrationThroughTheLibrary();
    void unknownSystems();
    void enumerateSerialPorts();
    void enumerationCutAtALocator();
    void registryReleasesWhatItCan();
    // Leaves a system that cannot be released, so it runs last.
    void failedReleaseKeepsTheSystem();

private:
    QByteArray enumerate(uint32_t kind, const char* filter, uint32_t size, uint32_t* result);

    SimLibraries lib;
};

void TestSimLibraries::initTestCase()
{
    QString error;
    QVERIFY2(lib.load(error), qPrintable(error));
}

void TestSimLibraries::cleanup()
{
    lib.releaseSystems();
}

void TestSimLibraries::findSystems_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<uint>("size");
    QTest::addColumn<uint>("result");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("usb, the tool's buffer")
        << QByteArray("interface usb") << 4096u << 0u << QByteArray("sim:demo\n");
    QTest::newRow("usb, exact size") << QByteArray("interface usb") << 10u << 0u << QByteArray("sim:demo\n");
    QTest::newRow("usb, one byte short")
        << QByteArray("interface usb") << 9u << SimCode::BufferTooSmall << QByteArray("");
    QTest::newRow("usb, room for the zero only")
        << QByteArray("interface usb") << 1u << SimCode::BufferTooSmall << QByteArray("");
    QTest::newRow("other search finds nothing")
        << QByteArray("interface ethernet") << 4096u << 0u << QByteArray("");
    QTest::newRow("empty search finds nothing") << QByteArray("") << 1u << 0u << QByteArray("");
}

void TestSimLibraries::findSystems()
{
    QFETCH(QByteArray, options);
    QFETCH(uint, size);
    QFETCH(uint, result);
    QFETCH(QByteArray, text);

    QByteArray memory(int(size) + 8, '#');
    uint32_t bufferSize = size;
    QCOMPARE(uint(lib.findSystems(options.constData(), memory.data(), &bufferSize)), result);
    QCOMPARE(QByteArray(memory.constData()), text);
    QCOMPARE(memory.mid(int(size)), QByteArray(8, '#'));
}

void TestSimLibraries::interfaceType_data()
{
    QTest::addColumn<QByteArray>("locator");
    QTest::addColumn<uint>("type");

    QTest::newRow("demo") << QByteArray("sim:demo") << 1u;
    QTest::newRow("bare prefix") << QByteArray("sim:") << 1u;
    QTest::newRow("bad scenario is still a library locator") << QByteArray("sim:nonsense") << 1u;
    QTest::newRow("serial") << QByteArray("serial:/dev/ttyUSB0") << 0u;
    QTest::newRow("no colon") << QByteArray("sim") << 0u;
    QTest::newRow("capitals") << QByteArray("SIM:demo") << 0u;
    QTest::newRow("prefix later in the text") << QByteArray("x:sim:demo") << 0u;
    QTest::newRow("empty") << QByteArray("") << 0u;
}

void TestSimLibraries::interfaceType()
{
    QFETCH(QByteArray, locator);
    QFETCH(uint, type);

    uint32_t written = 99;
    QCOMPARE(lib.getLocatorInterfaceType(&written, locator.constData()), SimCode::Ok);
    QCOMPARE(uint(written), type);
}

void TestSimLibraries::openSystem_data()
{
    QTest::addColumn<QByteArray>("locator");
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<uint>("result");

    QTest::newRow("plain") << QByteArray("sim:") << QByteArray("sync") << 0u;
    QTest::newRow("demo with overrides") << QByteArray("sim:demo,time=10") << QByteArray("sync") << 0u;
    QTest::newRow("bad scenario") << QByteArray("sim:channels=x") << QByteArray("sync")
                                  << SimCode::BadScenario;
    QTest::newRow("unknown item") << QByteArray("sim:warp=9") << QByteArray("sync") << SimCode::BadScenario;
    QTest::newRow("serial locator") << QByteArray("serial:/dev/ttyS0") << QByteArray("sync")
                                    << SimCode::NotSimLocator;
    QTest::newRow("empty locator") << QByteArray("") << QByteArray("sync") << SimCode::NotSimLocator;
    QTest::newRow("injected open failure")
        << QByteArray("sim:fail-open=4294967295") << QByteArray("sync") << 4294967295u;
    QTest::newRow("other options") << QByteArray("sim:") << QByteArray("async") << SimCode::UnsupportedOption;
}

void TestSimLibraries::openSystem()
{
    QFETCH(QByteArray, locator);
    QFETCH(QByteArray, options);
    QFETCH(uint, result);

    uint32_t index = 0;
    QCOMPARE(uint(lib.openSystem(&index, locator.constData(), options.constData())), result);
    uint32_t channels = 0;
    // An index is handed out exactly when the open succeeded, and it is never 0.
    QCOMPARE(index != 0, result == 0);
    QCOMPARE(lib.getNumberOfChannels(index, &channels) == 0, result == 0);
}

void TestSimLibraries::nullPointersAreRefused()
{
    const uint32_t index = lib.open("sim:");
    QVERIFY(index != 0);
    char buffer[16];
    uint32_t size = sizeof buffer;
    uint32_t value = 0;

    QCOMPARE(lib.findSystems(nullptr, buffer, &size), SimCode::NullArgument);
    QCOMPARE(lib.findSystems("interface usb", nullptr, &size), SimCode::NullArgument);
    QCOMPARE(lib.findSystems("interface usb", buffer, nullptr), SimCode::NullArgument);
    QCOMPARE(lib.openSystem(nullptr, "sim:", "sync"), SimCode::NullArgument);
    QCOMPARE(lib.openSystem(&value, nullptr, "sync"), SimCode::NullArgument);
    QCOMPARE(lib.openSystem(&value, "sim:", nullptr), SimCode::NullArgument);
    QCOMPARE(lib.getNumberOfChannels(index, nullptr), SimCode::NullArgument);
    QCOMPARE(lib.getSensorEnabled(index, nullptr), SimCode::NullArgument);
    QCOMPARE(lib.getStatus(index, 0, nullptr), SimCode::NullArgument);
    QCOMPARE(lib.enumerateDevices(3, nullptr, buffer, &size), SimCode::NullArgument);
    QCOMPARE(lib.enumerateDevices(3, "", nullptr, &size), SimCode::NullArgument);
    QCOMPARE(lib.enumerateDevices(3, "", buffer, nullptr), SimCode::NullArgument);
    QCOMPARE(lib.getLocatorInterfaceType(nullptr, "sim:"), SimCode::NullArgument);
    value = 99;
    QCOMPARE(lib.getLocatorInterfaceType(&value, nullptr), SimCode::NullArgument);
    QCOMPARE(value, 0u);
}

// The calls of one calibration run, as the routine makes them, on the demonstration preset.
void TestSimLibraries::calibrationThroughTheLibrary()
{
    const uint32_t index = lib.open("sim:demo,time=300,latency=0");
    QVERIFY(index != 0);

    uint32_t mode = 99;
    QCOMPARE(lib.getSensorEnabled(index, &mode), SimCode::Ok);
    QCOMPARE(mode, 0u);
    QCOMPARE(lib.calibrateSensor(index, 0), SimCode::SensorsDisabled);
    QCOMPARE(lib.setSensorEnabled(index, 2), SimCode::Ok);
    uint32_t channels = 0;
    QCOMPARE(lib.getNumberOfChannels(index, &channels), SimCode::Ok);
    QCOMPARE(channels, 4u);

    for (uint32_t channel = 0; channel < channels; ++channel) {
        const uint32_t result = lib.calibrateSensor(index, channel);
        if (channel == 2) {
            QCOMPARE(result, SimCode::NoSensor);
            continue;
        }
        QCOMPARE(result, SimCode::Ok);
        uint32_t status = 0;
        QCOMPARE(lib.getStatus(index, channel, &status), SimCode::Ok);
        QCOMPARE(status, 6u);
        QTRY_VERIFY_WITH_TIMEOUT(lib.getStatus(index, channel, &status) == 0 && status != 6, 5000);
    }
    QCOMPARE(lib.stop(index, 0), SimCode::Ok);
    QCOMPARE(lib.releaseSystems(), SimCode::Ok);
}

void TestSimLibraries::unknownSystems()
{
    uint32_t value = 0;
    QCOMPARE(lib.getNumberOfChannels(0, &value), SimCode::UnknownSystem);
    const uint32_t index = lib.open("sim:");
    QVERIFY(index != 0);
    const uint32_t other = lib.open("sim:channels=1");
    QVERIFY(other != 0 && other != index);
    QCOMPARE(lib.releaseSystems(), SimCode::Ok);

    // After the release the indices are stale, for every operation.
    QCOMPARE(lib.getNumberOfChannels(index, &value), SimCode::UnknownSystem);
    QCOMPARE(lib.getSensorEnabled(other, &value), SimCode::UnknownSystem);
    QCOMPARE(lib.setSensorEnabled(index, 2), SimCode::UnknownSystem);
    QCOMPARE(lib.calibrateSensor(index, 0), SimCode::UnknownSystem);
    QCOMPARE(lib.getStatus(index, 0, &value), SimCode::UnknownSystem);
    QCOMPARE(lib.stop(index, 0), SimCode::UnknownSystem);
    QCOMPARE(lib.releaseSystems(), SimCode::Ok);
}

QByteArray TestSimLibraries::enumerate(uint32_t kind, const char* filter, uint32_t size, uint32_t* result)
{
    QByteArray memory(int(size) + 8, '#');
    uint32_t bufferSize = size;
    *result = lib.enumerateDevices(kind, filter, memory.data(), &bufferSize);
    if (memory.mid(int(size)) != QByteArray(8, '#'))
        return "written beyond the buffer";
    return size > 0 ? QByteArray(memory.constData()) : QByteArray();
}

// What this machine has varies; the library must list what the lister finds, as serial locators.
void TestSimLibraries::enumerateSerialPorts()
{
    QByteArray expected;
    for (const std::string& port : SerialPortLister("/dev", "/sys").ports())
        expected += "serial:" + QByteArray::fromStdString(port) + '\n';

    uint32_t result = 99;
    QCOMPARE(enumerate(3, "", 4096, &result), expected);
    QCOMPARE(result, 0u);
    QCOMPARE(enumerate(3, "", uint32_t(expected.size()) + 1, &result), expected);
    QCOMPARE(enumerate(3, "no port has this in its name", 4096, &result), QByteArray());
    QCOMPARE(result, 0u);
    QCOMPARE(enumerate(7, "", 4096, &result), QByteArray());
    QCOMPARE(result, 0u);
    enumerate(3, "", 0, &result);
    QCOMPARE(result, SimCode::BufferTooSmall);
}

void TestSimLibraries::enumerationCutAtALocator()
{
    uint32_t result = 99;
    const QByteArray full = enumerate(3, "", 4096, &result);
    if (full.isEmpty())
        QSKIP("this machine has no serial ports to list");

    // One byte short of the whole list drops its last locator and still succeeds.
    const QByteArray cut = enumerate(3, "", uint32_t(full.size()), &result);
    QCOMPARE(result, 0u);
    QByteArray withoutLast = full.left(full.size() - 1);
    withoutLast.truncate(withoutLast.lastIndexOf('\n') + 1);
    QCOMPARE(cut, withoutLast);
}

void TestSimLibraries::registryReleasesWhatItCan()
{
    SimSystemRegistry registry;
    uint32_t kept = 0;
    uint32_t released = 0;
    uint32_t alsoKept = 0;
    QCOMPARE(registry.open("sim:fail-release=12", kept), SimCode::Ok);
    QCOMPARE(registry.open("sim:", released), SimCode::Ok);
    QCOMPARE(registry.open("sim:fail-release=13", alsoKept), SimCode::Ok);

    QCOMPARE(registry.releaseAll(), 12u);
    QVERIFY(registry.find(kept));
    QVERIFY(!registry.find(released));
    QVERIFY(registry.find(alsoKept));
    QCOMPARE(registry.openCount(), size_t(2));
}

void TestSimLibraries::failedReleaseKeepsTheSystem()
{
    const uint32_t index = lib.open("sim:fail-release=4294967295");
    QVERIFY(index != 0);
    QCOMPARE(lib.releaseSystems(), 4294967295u);
    uint32_t channels = 0;
    QCOMPARE(lib.getNumberOfChannels(index, &channels), SimCode::Ok);
    QCOMPARE(lib.releaseSystems(), 4294967295u);
}

QTEST_GUILESS_MAIN(TestSimLibraries)
#include "tst_simlibraries.moc"
