// The connection's serial protocol checks, driven by vkr-sim's line faults: each fault must turn
// into the result code the host owes its caller, and a failed handshake must leave no port open.
#include "connectionoperation.h"
#include "descriptorcount.h"
#include "serialport.h"
#include "simprocess.h"
#include "vkrconnection.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QtTest>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Starts a calibration and, once the controller took it, reads the channel's status.
ConnectionOperation calibrateThenStatus(uint32_t channel)
{
    return [channel](VKRConnection& connection, uint32_t& status) {
        const uint32_t started = connection.calibrateSensor(channel);
        return started ? started : connection.getStatus(channel, status);
    };
}

} // namespace

class TestVkrSimProtocol : public QObject
{
    Q_OBJECT

private slots:
    void operationResults_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<ConnectionOperation>("operation");
        QTest::addColumn<uint>("result");
        QTest::addColumn<uint>("value"); // checked only when the result is 0 and there is one

        QTest::newRow("status 6 while calibrating") << "stuck=1" << calibrateThenStatus(1) << 0u << 6u;
        QTest::newRow("no sensor passes 129 through")
            << "nosensor=3" << Operation::calibrate(3) << 129u << 0u;
        QTest::newRow("refused calibration passes its code")
            << "fail-calibrate=17" << Operation::calibrate(0) << 17u << 0u;
        QTest::newRow("refused sensor mode passes its code")
            << "fail-setmode=6" << Operation::setSensorMode(2) << 6u << 0u;
        QTest::newRow("refused stop passes its code") << "fail-stop=3" << Operation::stop(2) << 3u << 0u;
        QTest::newRow("calibration acknowledged for another channel")
            << "wrongchannel=CS" << Operation::calibrate(3) << 14u << 0u;
        QTest::newRow("status of another channel") << "wrongchannel=GS" << Operation::status(1) << 14u << 0u;
        QTest::newRow("stop acknowledged for another channel")
            << "wrongchannel=S" << Operation::stop(0) << 14u << 0u;
        QTest::newRow("sensor mode acknowledged for a channel")
            << "wrongchannel=SSE" << Operation::setSensorMode(2) << 14u << 0u;
        QTest::newRow("channel count acknowledged")
            << "fail-channels=5" << Operation::channels() << 14u << 0u;
        QTest::newRow("sensor mode acknowledged") << "fail-getmode=5" << Operation::sensorMode() << 14u << 0u;
        QTest::newRow("status of a missing channel acknowledged")
            << "channels=2" << Operation::status(5) << 14u << 0u;
        QTest::newRow("reply with another name") << "wrongname=GNC" << Operation::channels() << 14u << 0u;
        QTest::newRow("one value too many") << "wrongcount=GNC" << Operation::channels() << 14u << 0u;
        QTest::newRow("one value too few") << "wrongcount=GS" << Operation::status(0) << 14u << 0u;
        QTest::newRow("value beyond 32 bits") << "bigvalue=GNC" << Operation::channels() << 12u << 0u;
        QTest::newRow("garbled reply") << "garbage=GSE" << Operation::sensorMode() << 14u << 0u;
        QTest::newRow("noise before every reply")
            << "channels=7,noise=x?\\" << Operation::channels() << 0u << 7u;
        QTest::newRow("bytes 120 ms apart everywhere")
            << "channels=7,slowbytes=120" << Operation::channels() << 0u << 7u;
        QTest::newRow("bytes 700 ms apart") << "slowbytes@GNC=700" << Operation::channels() << 15u << 0u;
        QTest::newRow("silent from the command on") << "silent=GSE" << Operation::sensorMode() << 15u << 0u;
        QTest::newRow("silent after the handshake") << "silentafter=2" << Operation::channels() << 15u << 0u;
        QTest::newRow("hang-up") << "hangup=GNC" << Operation::channels() << 10u << 0u;
    }

    void operationResults()
    {
        QFETCH(QString, scenario);
        QFETCH(ConnectionOperation, operation);
        QFETCH(uint, result);
        QFETCH(uint, value);

        SimProcess sim(scenario);
        QVERIFY(sim.start());
        VKRConnection connection;
        QCOMPARE(connection.open(sim.locator()), 0u);

        const uint32_t untouched = 0xDEADBEEF;
        uint32_t out = untouched;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(operation(connection, out), result);
        // A hang guard, not a benchmark: no fault may stretch a wait beyond what the per-byte
        // time-outs allow (the slowest row sends a few bytes 120 ms apart).
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        if (result == 0 && out != untouched)
            QCOMPARE(out, value);
        if (result != 0)
            QCOMPARE(out, untouched);
        QCOMPARE(connection.mode(), VKRConnection::Serial); // a failed exchange does not close
        QCOMPARE(connection.close(), 0u);
    }

    void failedHandshakeLeavesNoPortOpen_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<uint>("result");
        QTest::addColumn<bool>("lineRemains"); // false when the scenario hangs the line up for good

        QTest::newRow("GIV answered with two values") << "wrongcount=GIV" << 14u << true;
        QTest::newRow("GIV answered under another name") << "wrongname=GIV" << 14u << true;
        QTest::newRow("GIV value beyond 32 bits") << "bigvalue=GIV" << 12u << true;
        QTest::newRow("SCM0 acknowledged with a code") << "fail-open=7" << 7u << true;
        QTest::newRow("SCM0 acknowledged for channel 0") << "wrongchannel=SCM" << 14u << true;
        QTest::newRow("SCM0 garbled") << "garbage=SCM" << 14u << true;
        QTest::newRow("silent controller") << "silentafter=0" << 15u << true;
        QTest::newRow("silent from SCM0 on") << "silent=SCM" << 15u << true;
        QTest::newRow("GIV bytes 600 ms apart") << "slowbytes@GIV=600" << 15u << true;
        QTest::newRow("hang-up at GIV") << "hangup=GIV" << 10u << false;
        QTest::newRow("hang-up at the speed change") << "hangup=CB" << 1u << false;
    }

    void failedHandshakeLeavesNoPortOpen()
    {
        QFETCH(QString, scenario);
        QFETCH(uint, result);
        QFETCH(bool, lineRemains);

        SimProcess sim(scenario);
        QVERIFY(sim.start());
        // A hung-up line's pseudo-terminal number is free at once, and the handshake's reopen could land
        // on another program's new terminal under the same name. Holding the line's client side keeps the
        // number taken, so the reopen finds the line gone, as it would after a controller's hang-up.
        const int holder = lineRemains ? -1
                                       : ::open(sim.portName().toLocal8Bit().constData(),
                                                O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const auto releaseHolder = qScopeGuard([holder] {
            if (holder >= 0)
                ::close(holder);
        });
        QVERIFY(lineRemains || holder >= 0);
        const int descriptors = openDescriptorCount();
        QVERIFY(descriptors > 0);

        VKRConnection connection;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(connection.open(sim.locator()), result);
        // The 800 ms pause plus at most two replies, each failing within its byte time-outs.
        QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(connection.mode(), VKRConnection::Closed);
        QCOMPARE(openDescriptorCount(), descriptors);
        if (!lineRemains)
            return;

        // Nothing holds the port: it opens exclusively again, and keeps a second opener out.
        SerialPort port;
        QVERIFY(port.open(sim.portName().toStdString(), 115200));
        SerialPort second;
        QVERIFY(!second.open(sim.portName().toStdString(), 115200));
    }

    // Two connections of one process on one port, by two names of it: the second is refused at
    // once, and the first, mid-use, is not disturbed (the handshake's reopens leave gaps that the
    // port's own exclusive open does not cover).
    void aSecondConnectionToTheSamePortIsRefused()
    {
        SimProcess sim;
        QVERIFY(sim.start());
        VKRConnection first;
        QCOMPARE(first.open(sim.locator()), 0u);
        VKRConnection second;
        const QString otherName = QStringLiteral("serial:") + sim.portName().mid(int(strlen("/dev/")));
        QCOMPARE(second.open(otherName), 1u);
        QVERIFY2(second.openFailureReason().contains(QLatin1String("in use by another calibration")),
                 qPrintable(second.openFailureReason()));
        uint32_t channels = 0;
        QCOMPARE(first.getNumberOfChannels(channels), 0u);
        QCOMPARE(first.close(), 0u);
        QCOMPARE(second.open(otherName), 0u); // free again once the first has closed
    }

    void answersOnlyAtItsLineSpeed_data()
    {
        QTest::addColumn<bool>("speedChanged"); // "CB115200,1" sent at 9600 baud first
        QTest::addColumn<uint>("baudRate");     // the speed GIV is sent at
        QTest::addColumn<uint>("result");
        QTest::newRow("power-up speed") << false << 9600u << 0u;
        QTest::newRow("fast before the speed change") << false << 115200u << 15u;
        QTest::newRow("fast after the speed change") << true << 115200u << 0u;
        QTest::newRow("slow after the speed change") << true << 9600u << 15u;
    }

    void answersOnlyAtItsLineSpeed()
    {
        QFETCH(bool, speedChanged);
        QFETCH(uint, baudRate);
        QFETCH(uint, result);

        SimProcess sim;
        QVERIFY(sim.start());
        if (speedChanged) {
            VKRConnection switching; // its port closes with it
            QCOMPARE(switching.openSerialPort(sim.portName(), 9600), 0u);
            QCOMPARE(switching.sendRS232String(QStringLiteral("CB115200,1")), 0u);
            QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains(QLatin1String("line now at 115200 baud")), 5000);
        }
        VKRConnection host;
        QCOMPARE(host.openSerialPort(sim.portName(), baudRate), 0u);
        QString name;
        uint32_t count = 0;
        uint32_t values[4] = {};
        QCOMPARE(host.sendRS232String(QStringLiteral("GIV")), 0u);
        QCOMPARE(host.readReply(name, count, values, 500), result);
        if (result == 0)
            QCOMPARE(name, QStringLiteral("IV"));
    }
};

QTEST_GUILESS_MAIN(TestVkrSimProtocol)
#include "tst_vkrsimprotocol.moc"
