// The stand-in controller libraries used from two threads at once, as the tool does: discovery
// on the GUI thread while the worker drives an open system.
#include "simcodes.h"
#include "simlibraries.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

class TestSimLibraryThreads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void discoveryWhilePolling();
    void releaseWhilePolling();

private:
    SimLibraries lib;
};

void TestSimLibraryThreads::initTestCase()
{
    QString error;
    QVERIFY2(lib.load(error), qPrintable(error));
}

void TestSimLibraryThreads::cleanup()
{
    lib.releaseSystems();
}

// Discovery runs on the GUI thread while the worker polls an open system.
void TestSimLibraryThreads::discoveryWhilePolling()
{
    const uint32_t index = lib.open("sim:channels=3,time=2,latency=0,fail-poll@1=4");
    QVERIFY(index != 0);

    std::atomic<bool> done{false};
    std::atomic<int> unexpected{0};
    std::thread worker([&] {
        for (int round = 0; round < 60; ++round) {
            const uint32_t channel = uint32_t(round) % 3;
            if (lib.calibrateSensor(index, channel) != SimCode::Ok)
                ++unexpected;
            uint32_t status = 6;
            while (status == 6) {
                const uint32_t result = lib.getStatus(index, channel, &status);
                if (result != SimCode::Ok && result != 4)
                    ++unexpected;
            }
        }
        done = true;
    });

    char buffer[4096];
    int rounds = 0;
    for (; rounds < 100000 && !done; ++rounds) {
        uint32_t size = sizeof buffer;
        uint32_t type = 0;
        lib.findSystems("interface usb", buffer, &size);
        size = sizeof buffer;
        lib.enumerateDevices(3, "", buffer, &size);
        lib.getLocatorInterfaceType(&type, "sim:demo");
        // Opening further systems changes the registry under the worker's feet.
        lib.open("sim:");
    }
    QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
    worker.join();
    QCOMPARE(unexpected.load(), 0);
    QVERIFY(rounds > 0);
}

// A system released while another thread uses it stays valid until that call returns; later
// calls see an unknown system.
void TestSimLibraryThreads::releaseWhilePolling()
{
    const uint32_t index = lib.open("sim:stuck=0,latency=0");
    QVERIFY(index != 0);
    QCOMPARE(lib.calibrateSensor(index, 0), SimCode::Ok);

    std::atomic<int> reads{0};
    std::atomic<uint32_t> lastResult{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            uint32_t status = 0;
            const uint32_t result = lib.getStatus(index, 0, &status);
            ++reads;
            if (result != SimCode::Ok) {
                lastResult = result;
                break;
            }
        }
        done = true;
    });

    QTRY_VERIFY_WITH_TIMEOUT(reads > 100, 10000);
    QCOMPARE(lib.releaseSystems(), SimCode::Ok);
    QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
    worker.join();
    QCOMPARE(lastResult.load(), SimCode::UnknownSystem);
}

QTEST_GUILESS_MAIN(TestSimLibraryThreads)
#include "tst_simlibrarythreads.moc"
