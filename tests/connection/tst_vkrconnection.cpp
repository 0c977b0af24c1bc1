// The connection's state machine and its closed-library branch, against a scripted library,
// and its behaviour when no library can be loaded at all.
#include "connectionoperation.h"
#include "fakecontrollerlibrary.h"
#include "loadedcontrollerlibrary.h"
#include "resultcodes.h"
#include "vkrconnection.h"

#include <QtTest>
#include <atomic>
#include <future>

class VKRConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void everyOperationOnAClosedConnectionFailsAsNotOpen_data()
    {
        QTest::addColumn<ConnectionOperation>("operation");
        QTest::newRow("close") << Operation::close();
        QTest::newRow("getNumberOfChannels") << Operation::channels();
        QTest::newRow("getSensorEnabled") << Operation::sensorMode();
        QTest::newRow("setSensorEnabled") << Operation::setSensorMode(2);
        QTest::newRow("calibrateSensor") << Operation::calibrate(1);
        QTest::newRow("getStatus") << Operation::status(1);
        QTest::newRow("stop") << Operation::stop(1);
    }
    void everyOperationOnAClosedConnectionFailsAsNotOpen()
    {
        QFETCH(ConnectionOperation, operation);
        FakeControllerLibrary fake;
        VKRConnection connection;
        uint32_t value = 99;
        QCOMPARE(operation(connection, value), ResultCode::NotOpen);
        QCOMPARE(value, 99u);
        QVERIFY(fake.calls().isEmpty());
        QCOMPARE(connection.mode(), VKRConnection::Closed);
    }

    void libraryLocatorOpensThroughTheControllerLibrary_data()
    {
        QTest::addColumn<uint32_t>("type");
        QTest::newRow("type 1") << 1u;
        QTest::newRow("type 2") << 2u;
    }
    void libraryLocatorOpensThroughTheControllerLibrary()
    {
        QFETCH(uint32_t, type);
        FakeControllerLibrary fake;
        fake.interfaceType = type;
        VKRConnection connection;
        QCOMPARE(connection.open(QStringLiteral("usb:ü1")), 0u);
        QCOMPARE(connection.mode(), VKRConnection::Library);
        QCOMPARE(fake.calls(), QStringList({"interfaceType usb:ü1", "open 0 usb:ü1 sync"}));

        // The index handed out by the library goes with every operation; values pass unchanged.
        fake.sensorMode = 4294967295u;
        fake.getModeResult = 77;
        uint32_t mode = 0;
        QCOMPARE(connection.getSensorEnabled(mode), 77u);
        QCOMPARE(mode, 4294967295u);
        uint32_t status = 0;
        QCOMPARE(connection.getStatus(3, status), 0u);
        QCOMPARE(connection.stop(3), 0u);
        QCOMPARE(fake.calls().mid(2), QStringList({"getSensorEnabled 7", "getStatus 7 3", "stop 7 3"}));

        QCOMPARE(connection.open(QStringLiteral("usb:other")), 1u);
        QCOMPARE(connection.mode(), VKRConnection::Library);
        QCOMPARE(fake.calls().size(), 5); // a second open asks no library
        QCOMPARE(connection.close(), 0u);
        QCOMPARE(connection.mode(), VKRConnection::Closed);
    }

    void failedLibraryOpenStaysClosedAndStartsOverNextTime()
    {
        FakeControllerLibrary fake;
        fake.openResult = 1234;
        VKRConnection connection;
        QCOMPARE(connection.open(QStringLiteral("a")), 1234u);
        QCOMPARE(connection.mode(), VKRConnection::Closed);
        QCOMPARE(connection.openFailureReason(),
                 QStringLiteral("the controller library refused to open it: code 1234"));
        fake.openResult = 0;
        fake.openedIndex = 9;
        QCOMPARE(connection.open(QStringLiteral("b")), 0u);
        QCOMPARE(fake.calls(),
                 QStringList({"interfaceType a", "open 0 a sync", "interfaceType b", "open 0 b sync"}));
        fake.clearCalls();
        QCOMPARE(connection.close(), 0u);
        // Reopening resets the index before the library writes a new one.
        fake.openedIndex = 3;
        QCOMPARE(connection.open(QStringLiteral("c")), 0u);
        QCOMPARE(fake.calls().at(2), QStringLiteral("open 0 c sync"));
        QCOMPARE(connection.calibrateSensor(0), 0u);
        QCOMPARE(fake.calls().last(), QStringLiteral("calibrateSensor 3 0"));
    }

    void failedReleaseKeepsTheConnectionOpen()
    {
        FakeControllerLibrary fake;
        VKRConnection connection;
        QCOMPARE(connection.open(QStringLiteral("x")), 0u);
        fake.releaseResult = 66;
        QCOMPARE(connection.close(), 66u);
        QCOMPARE(connection.mode(), VKRConnection::Library);
        QCOMPARE(connection.open(QStringLiteral("x")), 1u);
        fake.releaseResult = 0;
        QCOMPARE(connection.close(), 0u);
        QCOMPARE(connection.close(), 2u);
    }

    // The library's release lets go of every system of the process: connections side by side
    // leave it to the last one that closes, so that none cuts off another's controller.
    void onlyTheLastLibraryConnectionReleases()
    {
        FakeControllerLibrary fake;
        VKRConnection first;
        VKRConnection second;
        QCOMPARE(first.open(QStringLiteral("sim:a")), 0u);
        QCOMPARE(second.open(QStringLiteral("sim:b")), 0u);
        QCOMPARE(first.close(), 0u);
        QCOMPARE(first.mode(), VKRConnection::Closed);
        QVERIFY(!fake.calls().contains("release"));
        QCOMPARE(second.close(), 0u);
        QCOMPARE(fake.calls().filter("release").size(), 1);
        QCOMPARE(first.open(QStringLiteral("sim:a")), 0u); // alone now: its close releases
        QCOMPARE(first.close(), 0u);
        QCOMPARE(fake.calls().filter("release").size(), 2);
    }

    // A release that came while another connection is inside the library's open would let go of
    // the system just opened: the close waits until that open has been counted.
    void noReleaseFallsBetweenAnotherOpenAndItsCount()
    {
        FakeControllerLibrary fake;
        VKRConnection first;
        VKRConnection second;
        QCOMPARE(first.open(QStringLiteral("sim:a")), 0u);
        std::future<uint32_t> closing;
        fake.onOpen = [&] {
            if (closing.valid())
                return;
            closing = std::async(std::launch::async, [&] { return first.close(); });
            // Unhindered, the close is over long before this bound.
            closing.wait_for(std::chrono::milliseconds(300));
        };
        QCOMPARE(second.open(QStringLiteral("sim:b")), 0u);
        QCOMPARE(closing.get(), 0u);
        QVERIFY(!fake.calls().contains("release"));
        QCOMPARE(second.close(), 0u);
        QCOMPARE(fake.calls().filter("release").size(), 1);
    }

    // Opens hold no one up: a rack opened at once is not queued behind an opener that the system
    // preempted inside the library.
    void anOpenGoesOnWhileAnotherIsInsideTheLibrary()
    {
        FakeControllerLibrary fake;
        VKRConnection first;
        VKRConnection second;
        std::atomic_bool secondStarted{false};
        std::future<uint32_t> secondOpening;
        std::future_status secondState = std::future_status::timeout;
        fake.onOpen = [&] {
            if (secondStarted.exchange(true))
                return;
            secondOpening =
                std::async(std::launch::async, [&] { return second.open(QStringLiteral("sim:b")); });
            // Held up, the second open would wait out this bound for the first one to return.
            secondState = secondOpening.wait_for(std::chrono::seconds(10));
        };
        QCOMPARE(first.open(QStringLiteral("sim:a")), 0u);
        QCOMPARE(secondState, std::future_status::ready);
        QCOMPARE(secondOpening.get(), 0u);
        QCOMPARE(first.close(), 0u);
        QCOMPARE(second.close(), 0u);
        QCOMPARE(fake.calls().filter("release").size(), 1);
    }

    // An empty port name names no port: it fails on its own every time, and never blocks another.
    void anEmptyPortNameIsNeverInUse()
    {
        FakeControllerLibrary fake;
        fake.interfaceType = 0;
        for (const QString& locator : {QStringLiteral("x:"), QStringLiteral("y:")}) {
            VKRConnection connection;
            QCOMPARE(connection.open(locator), 1u);
            QVERIFY2(connection.openFailureReason().contains(QLatin1String("no port name")),
                     qPrintable(connection.openFailureReason()));
        }
    }

    void locatorsTheLibraryDoesNotClaim_data()
    {
        QTest::addColumn<bool>("classifies");
        QTest::addColumn<QString>("locator");
        QTest::addColumn<uint32_t>("result");
        QTest::newRow("no colon") << true << "COM3" << 21u;
        QTest::newRow("empty") << true << "" << 21u;
        QTest::newRow("type left untouched, no colon") << false << "COM3" << 21u;
        QTest::newRow("empty port name") << true << "serial:" << 1u;
        QTest::newRow("missing port") << true << "serial:/dev/vkr-no-such-port" << 1u;
        QTest::newRow("empty prefix, missing port") << true << ":/dev/vkr-no-such-port:x" << 1u;
        QTest::newRow("type left untouched, missing port") << false << "x:/dev/vkr-no-such-port" << 1u;
    }
    void locatorsTheLibraryDoesNotClaim()
    {
        QFETCH(bool, classifies);
        QFETCH(QString, locator);
        QFETCH(uint32_t, result);
        FakeControllerLibrary fake;
        fake.classifies = classifies;
        fake.interfaceType = 0;
        VKRConnection connection;
        QCOMPARE(connection.open(locator), result);
        QCOMPARE(connection.mode(), VKRConnection::Closed);
        QCOMPARE(fake.calls(), QStringList({"interfaceType " + locator}));
    }

    void withoutLibrariesEveryCallFailsAndSerialLocatorsStillWork()
    {
        // The test executable's folder holds no controller library and the system has none.
        LoadedControllerLibrary missing;
        QVERIFY(!missing.loadError().isEmpty());
        uint32_t type = 42;
        QCOMPARE(missing.getLocatorInterfaceType(&type, "sim:demo"), ResultCode::LibraryNotAvailable);
        QCOMPARE(type, 42u);
        uint32_t index = 0;
        QCOMPARE(missing.openSystem(&index, "sim:demo", "sync"), ResultCode::LibraryNotAvailable);
        char buffer[16] = "unchanged";
        uint32_t size = sizeof buffer;
        QCOMPARE(missing.findSystems("interface usb", buffer, &size), ResultCode::LibraryNotAvailable);
        QCOMPARE(QByteArray(buffer), QByteArray("unchanged"));

        // Through the default instance: the type stays unset, so the locator is taken as serial.
        VKRConnection connection;
        QCOMPARE(connection.open(QStringLiteral("sim:demo")), 1u);
        QCOMPARE(connection.open(QStringLiteral("demo")), 21u);
    }
};

QTEST_GUILESS_MAIN(VKRConnectionTest)
#include "tst_vkrconnection.moc"
