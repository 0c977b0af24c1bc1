// The connection's serial transport and handshake over a real pseudo-terminal, with the test
// playing the controller on the master side.
#include "connectionoperation.h"
#include "descriptorcount.h"
#include "portlock.h"
#include "pseudoterminal.h"
#include "threadsanitizer.h"
#include "vkrconnection.h"

#include <QElapsedTimer>
#include <QtTest>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

struct LoggedMessage
{
    QtMsgType type;
    QString text;
    QString file;
    QString function;
    int line;
};

QList<LoggedMessage> logged;

void recordMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    logged << LoggedMessage{type, text, QString::fromUtf8(context.file), QString::fromUtf8(context.function),
                            context.line};
}

QString slave(const PseudoTerminal& pty)
{
    return QString::fromStdString(pty.slavePath());
}

// A connection opened through the handshake, the test answering for the controller.
struct HandshakenLine
{
    PseudoTerminal pty;
    VKRConnection connection;
    uint32_t opened = 0;

    HandshakenLine()
    {
        std::thread controller([&] {
            pty.readUntil('\n', 3000); // the zero byte, then "CB115200,1"
            pty.readUntil('\n', 3000);
            pty.write(":IV1,2,3\n");
            pty.readUntil('\n', 3000);
            pty.write(":E-1,0\n");
        });
        QtMessageHandler previous = qInstallMessageHandler(recordMessage);
        opened = connection.open("serial:" + slave(pty));
        qInstallMessageHandler(previous);
        controller.join();
    }
};

// Looks for the port's lock file at each close: it stays through the handshake's reopens.
struct LockFileWatch : SerialPortObserver
{
    explicit LockFileWatch(const QString& port)
        : path(PortLock::directory() + "/" +
               PortLock::fileName(SerialPort::deviceIdentity(port.toStdString())))
    {
    }
    bool there() const { return ::access(path.c_str(), F_OK) == 0; }
    void portClosed() override { closesWithoutIt += !there(); }
    void portOpened(const std::string&, uint32_t, const std::string&) override {}
    void bytesWritten(const char*, std::size_t, bool) override {}
    void bytesRead(const char*, std::size_t) override {}
    void readTimedOut() override {}
    void readFailed() override {}
    const std::string path;
    int closesWithoutIt = 0;
};

// A terminal program that locks ports trying to take one over and over, from start() to stop(): it
// opens the port and takes its flock, and lets go again at once.
class PortTaker
{
public:
    explicit PortTaker(std::string path) : path(std::move(path)) {}
    ~PortTaker() { stop(); }
    void start()
    {
        worker = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex);
            while (!stopped) {
                const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                taken += fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
                if (fd >= 0)
                    ::close(fd);
                stopRequested.wait_for(lock, std::chrono::milliseconds(2));
            }
        });
    }
    // How often it had the port.
    int stop()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopped = true;
        }
        stopRequested.notify_all();
        if (worker.joinable())
            worker.join();
        return taken;
    }

private:
    const std::string path;
    std::thread worker;
    std::mutex mutex;
    std::condition_variable stopRequested;
    bool stopped = false;
    int taken = 0;
};

} // namespace

class SerialTransportTest : public QObject
{
    Q_OBJECT

private slots:
    // The commands' debug lines are off unless asked for, as --debug does.
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("vkr.serial.debug=true")); }
    void init() { logged.clear(); }

    void commandsAreFramedAndLoggedWithTheirContext()
    {
        PseudoTerminal pty;
        VKRConnection connection;
        QCOMPARE(connection.openSerialPort(slave(pty), 115200), 0u);
        QCOMPARE(pty.baudRate(), 115200u);

        QtMessageHandler previous = qInstallMessageHandler(recordMessage);
        const uint32_t sent = connection.sendRS232String(QStringLiteral("GIV"));
        const uint32_t raw = connection.writeRaw(QString(QChar(0)) + QStringLiteral("ä"));
        qInstallMessageHandler(previous);

        QCOMPARE(sent, 0u);
        QCOMPARE(raw, 0u);
        QCOMPARE(pty.readExactly(7, 2000), QByteArray(":GIV\n\0\xe4", 7)); // Latin-1, one byte each
        QCOMPARE(logged.size(), 1);                                        // the raw write logs nothing
        QCOMPARE(logged.first().type, QtDebugMsg);
        QCOMPARE(logged.first().text, QStringLiteral("out:GIV"));
        QVERIFY(logged.first().file.contains("vkrconnection"));
        QVERIFY(logged.first().function.contains("VKRConnection::sendRS232String"));
        QVERIFY(logged.first().line > 0);
    }

    void linesAreReadWholeWithTheirNoise()
    {
        PseudoTerminal pty;
        VKRConnection connection;
        QCOMPARE(connection.openSerialPort(slave(pty), 115200), 0u);
        QVERIFY(pty.write(QByteArray("\x7f#:E-1,0\n:N4\npartial")));
        QString line;
        QCOMPARE(connection.readLine(line, 500), 0u);
        QCOMPARE(line, QStringLiteral("\x7f#:E-1,0\n"));
        QCOMPARE(connection.readLine(line, 500), 0u); // nothing read ahead is lost between lines
        QCOMPARE(line, QStringLiteral(":N4\n"));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(connection.readLine(line, 500), 15u); // in the middle of a line
        QVERIFY(timer.elapsed() >= 450);
        QCOMPARE(line, QStringLiteral("partial"));

        QString name;
        uint32_t count = 0;
        uint32_t values[4] = {};
        QVERIFY(pty.write(":SE2\n"));
        QCOMPARE(connection.readReply(name, count, values, 500), 0u);
        QCOMPARE(name, QStringLiteral("SE"));
        QCOMPARE(count, 1u);
        QCOMPARE(values[0], 2u);
    }

    void silenceTimesOutAfterTheGivenTime()
    {
        PseudoTerminal pty;
        VKRConnection connection;
        QCOMPARE(connection.openSerialPort(slave(pty), 115200), 0u);
        QString line = QStringLiteral("old");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(connection.readLine(line, 500), 15u);
        const qint64 waited = timer.elapsed();
        QVERIFY2(waited >= 450 && waited < 2000, qPrintable(QString::number(waited)));
        QVERIFY(line.isEmpty());
    }

    void aFloodWithoutLineFeedIsCutOff()
    {
        PseudoTerminal pty;
        VKRConnection connection;
        QCOMPARE(connection.openSerialPort(slave(pty), 115200), 0u);
        std::thread peer([&] { pty.write(QByteArray(5000, 'x')); });
        QString line;
        QCOMPARE(connection.readLine(line, 500), 14u);
        QCOMPARE(line.size(), 4096);
        peer.join();
    }

    void aHangUpIsAReadFailure()
    {
        PseudoTerminal pty;
        VKRConnection connection;
        QCOMPARE(connection.openSerialPort(slave(pty), 115200), 0u);
        QString line;
        QElapsedTimer timer;
        timer.start();
        pty.closeMaster();
        QCOMPARE(connection.readLine(line, 5000), 10u);
        QVERIFY(timer.elapsed() < 2000);
    }

    void openingFailuresLeaveNothingOpen_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << "/dev/vkr-no-such-port";
        QTest::newRow("empty") << "";
        QTest::newRow("not a terminal") << "/dev/null";
    }
    void openingFailuresLeaveNothingOpen()
    {
        QFETCH(QString, name);
        const int before = openDescriptorCount();
        VKRConnection connection;
        QCOMPARE(connection.openSerialPort(name, 9600), 1u);
        QCOMPARE(openDescriptorCount(), before);
        // A serial locator on such a port fails in the handshake's first step.
        QCOMPARE(connection.open("serial:" + name), 1u);
        QCOMPARE(connection.mode(), VKRConnection::Closed);
        QCOMPARE(openDescriptorCount(), before);
    }

    void handshakeSwitchesTheLineAndChecksTheController_data()
    {
        QTest::addColumn<bool>("bridged");
        QTest::addColumn<bool>("contested");
        QTest::newRow("direct") << false << false;
        // Through a bridge (socat here; ser2net's clients alike), which keeps its own end of the
        // terminal open beside the master it holds. It carries bytes, not the line's speed.
        QTest::newRow("through a socat bridge") << true << false;
        // A reply's worth of stale bytes waits on the line, and a terminal program that locks ports
        // (open, then flock, as picocom does) tries to take the port all through the handshake.
        QTest::newRow("stale input, a port taker at work") << false << true;
    }
    void handshakeSwitchesTheLineAndChecksTheController()
    {
        QFETCH(bool, bridged);
        QFETCH(bool, contested);
        PseudoTerminal pty;
        QString port = slave(pty);
        QTemporaryDir folder;
        QProcess bridge;
        if (bridged) {
            if (UnderThreadSanitizer)
                QSKIP("ThreadSanitizer cannot follow this test into a child process");
            if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
                QSKIP("socat is not installed (tools/ensure-packages.sh installs it)");
            port = folder.filePath(QStringLiteral("vport"));
            bridge.start(QStringLiteral("socat"),
                         {"pty,raw,echo=0,link=" + port, slave(pty) + ",raw,echo=0"});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(port), 10000);
        }
        if (contested) {
            termios line;
            QVERIFY(pty.settings(line));
            ::cfmakeraw(&line); // so that the line does not echo the stale bytes back
            QVERIFY(pty.setSettings(line));
            QVERIFY(pty.write(":E-1,0\n:IV1,2,3\n"));
        }
        PortTaker taker(port.toStdString());
        QByteArray wire;
        uint32_t finalSpeed = 0;
        std::thread controller([&] {
            wire += pty.readExactly(1, 3000); // the zero byte
            if (contested)
                taker.start();
            wire += pty.readUntil('\n', 3000); // "CB115200,1"
            wire += pty.readUntil('\n', 3000);
            pty.write(":IV1,2,3\n");
            wire += pty.readUntil('\n', 3000);
            finalSpeed = pty.baudRate();
            pty.write("noise:E-1,0\n");
        });
        VKRConnection connection;
        LockFileWatch lockFile(port);
        connection.setObserver(&lockFile);
        QtMessageHandler previous = qInstallMessageHandler(recordMessage);
        QElapsedTimer timer;
        timer.start();
        const uint32_t opened = connection.open("serial:" + port + ":ignored");
        const qint64 took = timer.elapsed();
        qInstallMessageHandler(previous);
        controller.join();

        QVERIFY2(opened == 0u, qPrintable(connection.openFailureReason()));
        QCOMPARE(taker.stop(), 0); // it never had the port
        QCOMPARE(connection.mode(), VKRConnection::Serial);
        QCOMPARE(wire, QByteArray("\0:CB115200,1\n:GIV\n:SCM0\n", 24));
        if (!bridged)
            QCOMPARE(finalSpeed, 115200u);
        QVERIFY(took >= 800);
        QStringList commands;
        for (const LoggedMessage& message : logged)
            commands << message.text;
        QCOMPARE(commands, QStringList({"out:CB115200,1", "out:GIV", "out:SCM0"}));
        QVERIFY(lockFile.there() && lockFile.closesWithoutIt == 0);
        connection.setObserver(nullptr);

        // The port stays open and exclusive until close.
        VKRConnection other;
        QCOMPARE(other.openSerialPort(port, 115200), 1u);
        QCOMPARE(connection.close(), 0u);
        QCOMPARE(connection.mode(), VKRConnection::Closed);
        QVERIFY(!lockFile.there());
        QCOMPARE(other.openSerialPort(port, 115200), 0u);
        bridge.kill();
        bridge.waitForFinished();
    }

    // Each with the reason the user is given; %1 is the port, %2 the pid of another program that
    // holds it open.
    void handshakeFailuresCloseThePort_data()
    {
        QTest::addColumn<bool>("held"); // by another program from the start
        QTest::addColumn<QByteArray>("givReply");
        QTest::addColumn<QByteArray>("scmReply");
        QTest::addColumn<uint32_t>("result");
        QTest::addColumn<QString>("reason");
        QTest::newRow("GIV with two values")
            << false << QByteArray(":IV1,2\n") << QByteArray() << 14u
            << R"(serial port %1: the controller's answer to GIV was not understood: ":IV1,2")";
        QTest::newRow("GIV silent")
            << false << QByteArray() << QByteArray() << 15u
            << "serial port %1: no controller answered (is it connected to this port and powered up?)";
        QTest::newRow("SCM0 refused")
            << false << QByteArray(":IV1,2,3\n") << QByteArray(":E-1,77\n") << 77u
            << "serial port %1: the controller refused command mode (SCM0): code 77";
        QTest::newRow("SCM0 for a channel")
            << false << QByteArray(":IV1,2,3\n") << QByteArray(":E0,0\n") << 14u
            << R"(serial port %1: the controller's answer to SCM0 was not understood: ":E0,0")";
        QTest::newRow("SCM0 value too big")
            << false << QByteArray(":IV1,2,3\n") << QByteArray(":E-1,4294967296\n") << 12u
            << R"(serial port %1: the controller's answer to SCM0 was not understood: ":E-1,4294967296")";
        QTest::newRow("held open by another program")
            << true << QByteArray() << QByteArray() << 1u
            << "serial port %1: held by sleep (pid %2) (close the program that holds it)";
    }
    void handshakeFailuresCloseThePort()
    {
        QFETCH(bool, held);
        QFETCH(QByteArray, givReply);
        QFETCH(QByteArray, scmReply);
        QFETCH(uint32_t, result);
        QFETCH(QString, reason);
        PseudoTerminal pty;
        QProcess holder; // another program with the line open, as a terminal program would have it
        if (held) {
            if (UnderThreadSanitizer)
                QSKIP("ThreadSanitizer cannot follow this test into a child process");
            holder.setStandardInputFile(slave(pty));
            holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
            QVERIFY(holder.waitForStarted());
        }
        const int before = openDescriptorCount();
        std::thread controller([&] {
            if (held)
                return;
            pty.readUntil('\n', 3000);
            pty.readUntil('\n', 3000);
            if (givReply.isEmpty())
                return;
            pty.write(givReply);
            if (pty.readUntil('\n', 3000).endsWith("SCM0\n"))
                pty.write(scmReply);
        });
        VKRConnection connection;
        QtMessageHandler previous = qInstallMessageHandler(recordMessage);
        const uint32_t opened = connection.open("serial:" + slave(pty));
        qInstallMessageHandler(previous);
        controller.join();
        QCOMPARE(opened, result);
        // Followed by a word on the controller libraries, which the test's folder lacks.
        QVERIFY2(
            connection.openFailureReason().startsWith(reason.arg(slave(pty)).arg(holder.processId()) + "; "),
            qPrintable(connection.openFailureReason()));
        QCOMPARE(connection.mode(), VKRConnection::Closed);
        QCOMPARE(openDescriptorCount(), before);
        QVERIFY(!LockFileWatch(slave(pty)).there());
        holder.kill();
        holder.waitForFinished();
        QCOMPARE(connection.openSerialPort(slave(pty), 115200), 0u); // nobody holds it any more
    }

    // Each operation answered by a scripted reply: the command on the wire, the result, and whether
    // the out-value was written.
    void exchangesValidateTheirReplies_data()
    {
        QTest::addColumn<ConnectionOperation>("operation");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("reply"); // empty: the controller stays silent
        QTest::addColumn<uint32_t>("result");
        QTest::addColumn<uint32_t>("value"); // 99 when it must stay untouched
        QTest::addColumn<bool>("silent");    // whether the controller now counts as silent

        const auto row = [](const char* name, const ConnectionOperation& operation, const char* command,
                            const char* reply, uint32_t result, uint32_t value, bool silent = false) {
            QTest::newRow(name) << operation << QByteArray(command) << QByteArray(reply) << result << value
                                << silent;
        };
        row("channel count", Operation::channels(), ":GNC\n", ":N6\n", 0, 6);
        row("acknowledge to a query", Operation::channels(), ":GNC\n", ":E-1,5\n", 14, 99);
        row("one value too many", Operation::channels(), ":GNC\n", ":N6,1\n", 14, 99);
        row("sensor mode", Operation::sensorMode(), ":GSE\n", ":SE0\n", 0, 0);
        row("value beyond 32 bits", Operation::sensorMode(), ":GSE\n", ":SE4294967296\n", 12, 99);
        row("sensor mode set", Operation::setSensorMode(2), ":SSE2\n", ":E-1,0\n", 0, 99);
        row("sensor mode refused with its code", Operation::setSensorMode(2), ":SSE2\n", ":E-1,33\n", 33, 99);
        row("mode set acknowledged for a channel", Operation::setSensorMode(2), ":SSE2\n", ":E0,0\n", 14, 99);
        row("no sensor passes its code", Operation::calibrate(3), ":CS3\n", ":E3,129\n", 129, 99);
        row("calibration acknowledged elsewhere", Operation::calibrate(3), ":CS3\n", ":E2,0\n", 14, 99);
        row("acknowledge without its code", Operation::calibrate(3), ":CS3\n", ":E3\n", 14, 99);
        row("status after noise", Operation::status(1), ":GS1\n", "xx:S1,6\n", 0, 6);
        row("status of another channel", Operation::status(1), ":GS1\n", ":S2,6\n", 14, 99);
        row("acknowledge to a status read", Operation::status(1), ":GS1\n", ":E1,0\n", 14, 99);
        row("carriage return before the line feed", Operation::status(1), ":GS1\n", ":S1,6\r\n", 14, 99);
        row("stop of the highest channel", Operation::stop(4294967295u), ":S4294967295\n", ":E-1,0\n", 0, 99);
        row("stop refused with its code", Operation::stop(1), ":S1\n", ":E1,9\n", 9, 99);
        row("silence", Operation::status(1), ":GS1\n", "", 15, 99, true);
        row("half a reply, then nothing", Operation::status(1), ":GS1\n", ":S1,", 15, 99);
    }
    void exchangesValidateTheirReplies()
    {
        QFETCH(ConnectionOperation, operation);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        QFETCH(uint32_t, result);
        QFETCH(uint32_t, value);
        QFETCH(bool, silent);
        // One handshake serves every row: it takes most of a second.
        if (!handshaken)
            handshaken = std::make_unique<HandshakenLine>();
        QCOMPARE(handshaken->opened, 0u);
        PseudoTerminal& pty = handshaken->pty;

        QByteArray sent;
        std::thread controller([&] {
            sent = pty.readUntil('\n', 3000);
            if (!reply.isEmpty())
                pty.write(reply);
        });
        uint32_t out = 99;
        QtMessageHandler previous = qInstallMessageHandler(recordMessage);
        const uint32_t outcome = operation(handshaken->connection, out);
        qInstallMessageHandler(previous);
        controller.join();

        QCOMPARE(sent, command);
        QCOMPARE(outcome, result);
        QCOMPARE(out, value);
        // A controller that answers anything, even wrongly or in part, is not silent; none of
        // these lost the line.
        QCOMPARE(handshaken->connection.silentFor() >= std::chrono::milliseconds(500), silent);
        QCOMPARE(handshaken->connection.silentFor() > std::chrono::milliseconds(0), silent);
        QVERIFY(!handshaken->connection.lineLost());
        // A failed exchange keeps the connection.
        QCOMPARE(handshaken->connection.mode(), VKRConnection::Serial);
    }

    void cleanupTestCase()
    {
        if (handshaken)
            QCOMPARE(handshaken->connection.close(), 0u);
    }

private:
    std::unique_ptr<HandshakenLine> handshaken;
};

QTEST_GUILESS_MAIN(SerialTransportTest)
#include "tst_serialtransport.moc"
