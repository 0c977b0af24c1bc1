#include "descriptorcount.h"
#include "portaccess.h"
#include "portlock.h"
#include "pseudoterminal.h"
#include "serialport.h"

#include <QElapsedTimer>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using ReadResult = SerialPort::ReadResult;

char* toString(ReadResult result)
{
    switch (result) {
    case ReadResult::Byte:
        return qstrdup("Byte");
    case ReadResult::TimedOut:
        return qstrdup("TimedOut");
    case ReadResult::Failed:
        return qstrdup("Failed");
    }
    return qstrdup("?");
}

namespace {

// Gives the line the state the port is found in: cooked as a fresh terminal unless raw, with two stop bits
// and exactly the flow control given, so that what the port keeps and what it changes can both be seen.
bool prepareLine(PseudoTerminal& device, bool hardwareFlow, tcflag_t softwareFlow, bool raw = false)
{
    termios line;
    if (!device.settings(line))
        return false;
    if (raw)
        cfmakeraw(&line);
    line.c_cflag = (line.c_cflag & ~tcflag_t(CRTSCTS)) | CSTOPB | (hardwareFlow ? CRTSCTS : 0);
    line.c_iflag = (line.c_iflag & ~tcflag_t(IXON | IXOFF | IXANY)) | softwareFlow;
    return device.setSettings(line);
}

QByteArray everyByteValue(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xff);
    return bytes;
}

// Reads size bytes one by one; stops at the first result that is not a byte.
QByteArray readBytes(SerialPort& port, int size, ReadResult& last)
{
    QByteArray bytes;
    char byte = 0;
    while (bytes.size() < size && (last = port.readByte(byte)) == ReadResult::Byte)
        bytes.append(byte);
    return bytes;
}

// A forked child's verdict on its open, as its exit status.
enum ChildVerdict
{
    Opened = 0,
    Refused = 1,
    SetupFailed = 2
};

// Runs in a forked child: makes line its own terminal (the controlling one when stream is -1, else
// that standard stream) in a session of its own, then tries port as the controller's line.
[[noreturn]] void openAsOwnTerminal(const std::string& line, int stream, const std::string& port)
{
    if (::setsid() < 0)
        ::_exit(SetupFailed);
    const int fd = ::open(line.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || (stream < 0 ? ::ioctl(fd, TIOCSCTTY, 0) != 0 : ::dup2(fd, stream) != stream))
        ::_exit(SetupFailed);
    SerialPort serial;
    ::_exit(serial.open(port, 115200) ? Opened : Refused);
}

// True once the file has been opened after this call: a refused open must not have opened it.
std::function<bool()> openedFromNow(const std::string& path)
{
    const auto watch = std::make_shared<QFile>();
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (::inotify_add_watch(fd, path.c_str(), IN_OPEN) < 0 ||
        !watch->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return [] { return true; };
    return [watch] {
        char events[256];
        return ::read(watch->handle(), events, sizeof events) > 0;
    };
}

// A pid that no process has: a child that has ended and been waited for.
pid_t endedProcess()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// What a refusal row asks the port to open, made fresh for the row: a name (in a temporary folder, or one
// of a terminal's), the speed asked for, and whether the refused open left the place as it was.
struct Place
{
    std::string name;
    uint32_t baudRate = 9600;
    std::function<bool(SerialPort& port)> leftAsItWas = [](SerialPort&) { return true; };
};
using MakePlace =
    std::function<std::optional<Place>(const QTemporaryDir& folder, const PseudoTerminal& terminal)>;

MakePlace named(const char* name)
{
    return [name](const auto&, const auto&) { return Place{name}; };
}

// The name the port is asked to open, given the program's own terminal and another one.
using PortName = std::function<std::string(const PseudoTerminal& line, const PseudoTerminal& other)>;

} // namespace

Q_DECLARE_METATYPE(MakePlace)
Q_DECLARE_METATYPE(PortName)
Q_DECLARE_METATYPE(SerialPort::OpenFailure::Kind)

// The POSIX back-end's own promises. What every back-end does (speeds, time-outs, long writes, answers
// during a wait, a closed port) is in tst_serialportcontract.cpp, which runs natively and under Wine.
class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void appliesLineSettings_data()
    {
        QTest::addColumn<uint>("baudRate");
        QTest::addColumn<bool>("hardwareFlow");
        QTest::addColumn<uint>("softwareFlow");
        QTest::newRow("4800, no flow control") << 4800u << false << 0u;
        QTest::newRow("9600, rts/cts") << 9600u << true << 0u;
        QTest::newRow("115200, xon/xoff") << 115200u << false << uint(IXON | IXOFF);
        QTest::newRow("115200, everything") << 115200u << true << uint(IXON | IXOFF | IXANY);
    }

    void appliesLineSettings()
    {
        QFETCH(uint, baudRate);
        QFETCH(bool, hardwareFlow);
        QFETCH(uint, softwareFlow);
        PseudoTerminal device;
        QVERIFY(device.isOpen());
        QVERIFY(prepareLine(device, hardwareFlow, softwareFlow));

        SerialPort port;
        QVERIFY(port.open(device.slavePath(), baudRate));
        QVERIFY(port.isOpen());

        termios line;
        QVERIFY(device.settings(line));
        QCOMPARE(device.baudRate(), uint32_t(baudRate));
        QCOMPARE(cfgetispeed(&line), cfgetospeed(&line));
        QCOMPARE(line.c_cflag & CSTOPB, tcflag_t(0));
        QCOMPARE(line.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
        QCOMPARE(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK), tcflag_t(0));
        QCOMPARE(line.c_oflag & (OPOST | ONLCR), tcflag_t(0));
        QCOMPARE(bool(line.c_cflag & CRTSCTS), hardwareFlow);
        QCOMPARE(uint(line.c_iflag & (IXON | IXOFF | IXANY)), softwareFlow);
    }

    // A stream of every byte value, far longer than what one read takes in, comes out unchanged and in
    // order, byte by byte: no CR/LF translation, no signal or editing characters, none lost, nothing echoed.
    void deliversLongStreamInOrder()
    {
        PseudoTerminal device;
        QVERIFY(prepareLine(device, false, 0));
        SerialPort port;
        QVERIFY(port.open(device.slavePath(), 115200));
        port.setReadTimeout(5000);

        const QByteArray stream = everyByteValue(100000);
        bool written = false;
        std::thread writer([&] { written = device.write(stream); });
        ReadResult last = ReadResult::Byte;
        const QByteArray received = readBytes(port, stream.size(), last);
        writer.join();
        QVERIFY(written);
        QCOMPARE(last, ReadResult::Byte);
        QVERIFY(received == stream);
        QCOMPARE(device.readExactly(1, 0), QByteArray());
    }

    // When the device goes away, what already came in is handed out first, then Failed without waiting
    // out the time-out. (A pty discards what the client side has not read yet when the master closes, so
    // the first byte is read before the hang-up to get the rest into the port.)
    void reportsHangUpAfterDeliveringWhatCame()
    {
        PseudoTerminal device;
        QVERIFY(prepareLine(device, false, 0));
        SerialPort port;
        QVERIFY(port.open(device.slavePath(), 9600));
        port.setReadTimeout(5000);

        QVERIFY(device.write("abc"));
        char byte = 0;
        QCOMPARE(port.readByte(byte), ReadResult::Byte);
        QCOMPARE(byte, 'a');
        device.closeMaster();

        QElapsedTimer timer;
        timer.start();
        ReadResult last = ReadResult::Byte;
        QCOMPARE(readBytes(port, 3, last), QByteArray("bc"));
        QCOMPARE(last, ReadResult::Failed);
        QVERIFY(port.lineGone());
        QCOMPARE(port.readByte(byte), ReadResult::Failed);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!port.write("x", 1));
        QVERIFY(port.lineGone());
    }

    // A device that stops taking bytes (flow control, a peer that does not read) is still there:
    // the write gives up, but neither it nor a read that times out afterwards calls the line gone.
    void aStalledWriteIsNoLostLine()
    {
        PseudoTerminal device;
        QVERIFY(prepareLine(device, false, 0, true));
        SerialPort port;
        port.setWriteStallLimit(std::chrono::milliseconds(100));
        QVERIFY(port.open(device.slavePath(), 115200));
        const QByteArray flood(1 << 20, 'x');
        QVERIFY(!port.write(flood.constData(), static_cast<std::size_t>(flood.size())));
        QVERIFY(!port.lineGone());
        port.setReadTimeout(10);
        char byte = 0;
        QCOMPARE(port.readByte(byte), ReadResult::TimedOut);
        QVERIFY(!port.lineGone());
    }

    void keepsPortExclusive()
    {
        PseudoTerminal device;
        SerialPort first;
        QVERIFY(first.open(device.slavePath(), 9600));
        const int descriptors = openDescriptorCount();

        QVERIFY(!first.open(device.slavePath(), 115200));
        QVERIFY(first.isOpen());
        QCOMPARE(device.baudRate(), 9600u);

        SerialPort second;
        QVERIFY(!second.open(device.slavePath(), 9600));
        QVERIFY(!second.isOpen());
        QCOMPARE(second.openFailure().kind, SerialPort::OpenFailure::Kind::Busy);
        QCOMPARE(openDescriptorCount(), descriptors);

        first.close();
        QVERIFY(second.open(device.slavePath(), 9600));
        QCOMPARE(second.openFailure().kind, SerialPort::OpenFailure::Kind::None);
        second.close();

        // Another program that locks the port keeps it, also from a second opener running as root.
        const int locker = ::open(device.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(locker >= 0);
        QCOMPARE(::flock(locker, LOCK_EX | LOCK_NB), 0);
        QVERIFY(!second.open(device.slavePath(), 9600));
        ::close(locker);

#ifdef TIOCGEXCL
        // Another program that only marks the port exclusive keeps it too, and keeps its mark.
        const int marker = ::open(device.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(marker >= 0);
        QCOMPARE(::ioctl(marker, TIOCEXCL), 0);
        QVERIFY(!second.open(device.slavePath(), 9600));
        int exclusive = 0;
        QCOMPARE(::ioctl(marker, TIOCGEXCL, &exclusive), 0);
        QCOMPARE(exclusive, 1);
        ::ioctl(marker, TIOCNXCL);
        ::close(marker);

        // A program killed while it had the port leaves the mark on a pseudo-terminal whose master
        // lives on: nobody holds it, and it is said so, or cleared where the system lets this open.
        const pid_t killed = ::fork();
        if (killed == 0) {
            const int held = ::open(device.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (held >= 0 && ::ioctl(held, TIOCEXCL) == 0)
                ::raise(SIGKILL);
            ::_exit(1);
        }
        int status = 0;
        QCOMPARE(::waitpid(killed, &status, 0), killed);
        QVERIFY(WIFSIGNALED(status));
        const bool opened = second.open(device.slavePath(), 9600);
        QCOMPARE(opened, ::geteuid() == 0); // root opens a port marked exclusive
        if (opened)
            QVERIFY2(second.openNote().find("cleared the exclusive mark of a program that has ended") !=
                         std::string::npos,
                     second.openNote().c_str());
        else
            QCOMPARE(second.openFailure().message,
                     std::string("marked exclusive by a program that has ended; restart the bridge"));
        second.close();
#endif
        QCOMPARE(openDescriptorCount(), descriptors - 1);
    }

    // Closing and reopening at another speed, as the handshake does: nothing flushed either way, and the
    // port left free for the next opener.
    void reopensAtAnotherSpeed()
    {
        PseudoTerminal device;
        QVERIFY(prepareLine(device, false, 0, true));
        QVERIFY(device.write("early"));

        SerialPort port;
        QVERIFY(port.open(device.slavePath(), 9600));
        port.setReadTimeout(2000);
        ReadResult last = ReadResult::Byte;
        QCOMPARE(readBytes(port, 5, last), QByteArray("early"));

        QVERIFY(port.write(":GIV\n", 5));
        port.close();
        QVERIFY(!port.isOpen());
        QCOMPARE(device.readUntil('\n', 2000), QByteArray(":GIV\n"));

#ifdef TIOCGEXCL
        const int other = ::open(device.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(other >= 0);
        int exclusive = -1;
        QCOMPARE(::ioctl(other, TIOCGEXCL, &exclusive), 0);
        ::close(other);
        QCOMPARE(exclusive, 0);
#endif

        QVERIFY(port.open(device.slavePath(), 115200));
        QCOMPARE(device.baudRate(), 115200u);
    }

    void resolvesNameUnderDev()
    {
        PseudoTerminal device;
        const std::string path = device.slavePath();
        QVERIFY(path.rfind("/dev/", 0) == 0);
        SerialPort port;
        QVERIFY(port.open(path.substr(5), 4800));
        QCOMPARE(device.baudRate(), 4800u);
    }

    void refusesWhatIsNotASerialPort_data()
    {
        using Failure = SerialPort::OpenFailure::Kind;
        QTest::addColumn<MakePlace>("makePlace");
        QTest::addColumn<Failure>("failure"); // the reason the port keeps

        QTest::newRow("regular file") << MakePlace([](const auto& folder, const auto&) {
            const QString path = folder.filePath("port");
            if (!QFile(path).open(QIODevice::WriteOnly))
                return std::optional<Place>();
            // Not even opened.
            return std::optional<Place>(
                Place{path.toStdString(), 9600,
                      [opened = openedFromNow(path.toStdString())](SerialPort&) { return !opened(); }});
        }) << Failure::NotASerialPort;
        QTest::newRow("directory") << MakePlace([](const auto& folder, const auto&) {
            return Place{folder.path().toStdString()};
        }) << Failure::NotASerialPort;
        QTest::newRow("fifo") << MakePlace([](const auto& folder, const auto&) {
            const std::string path = folder.filePath("port").toStdString();
            if (::mkfifo(path.c_str(), 0600) != 0)
                return std::optional<Place>();
            const auto reader = std::make_shared<QFile>();
            if (!reader->open(::open(path.c_str(), O_RDONLY | O_NONBLOCK), QIODevice::ReadOnly,
                              QFileDevice::AutoCloseHandle))
                return std::optional<Place>();
            // Nothing written into it.
            return std::optional<Place>(Place{path, 9600, [reader](SerialPort&) {
                                                  char byte;
                                                  return ::read(reader->handle(), &byte, 1) <= 0;
                                              }});
        }) << Failure::NotASerialPort;
        QTest::newRow("/dev/null") << named("/dev/null") << Failure::NotASerialPort;
        QTest::newRow("/dev/zero") << named("/dev/zero") << Failure::NotASerialPort;
        // A pseudo-terminal master: the far end of a terminal, never a line.
        QTest::newRow("/dev/ptmx") << named("/dev/ptmx") << Failure::NotASerialPort;
        QTest::newRow("ptmx") << named("ptmx") << Failure::NotASerialPort;
        QTest::newRow("/dev/pts/ptmx") << named("/dev/pts/ptmx") << Failure::NotASerialPort;
        // The consoles are terminals, but opening one may change what the machine's screen shows.
        for (const char* console : {"/dev/console", "/dev/tty0", "/dev/tty1"})
            if (QFileInfo::exists(QString::fromLatin1(console)))
                QTest::newRow(console) << named(console) << Failure::NotASerialPort;
        QTest::newRow("missing path") << MakePlace([](const auto& folder, const auto&) {
            const QString path = folder.filePath("port");
            return Place{path.toStdString(), 9600, [path](SerialPort&) { return !QFileInfo::exists(path); }};
        }) << Failure::NotFound; // and not created
        QTest::newRow("missing name") << named("vkr-no-such-port") << Failure::NotFound;
        QTest::newRow("empty name") << named("") << Failure::NotFound;
        // The terminal keeps its speed, and the failed attempt leaves no claim on it.
        QTest::newRow("terminal at a rate it lacks") << MakePlace([](const auto&, const auto& terminal) {
            const std::string name = terminal.slavePath();
            const uint32_t speed = terminal.baudRate();
            return Place{name, 12345, [&terminal, name, speed](SerialPort& port) {
                             return terminal.baudRate() == speed && port.open(name, 9600);
                         }};
        }) << Failure::SettingsRefused;
    }

    void refusesWhatIsNotASerialPort()
    {
        QFETCH(MakePlace, makePlace);
        QFETCH(SerialPort::OpenFailure::Kind, failure);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        PseudoTerminal terminal;
        const std::optional<Place> place = makePlace(folder, terminal);
        QVERIFY(place);
        const int descriptors = openDescriptorCount();

        SerialPort port;
        QVERIFY(!port.open(place->name, place->baudRate));
        QVERIFY(!port.isOpen());
        QCOMPARE(int(port.openFailure().kind), int(failure));
        QVERIFY(!port.openFailure().message.empty());
        QCOMPARE(openDescriptorCount(), descriptors);
        QVERIFY(!port.write("x", 1));
        QVERIFY(place->leftAsItWas(port));
    }

    // Where sysfs cannot be read (a container without it), a character device is left to the check
    // after its open; where it can, a device it files elsewhere is refused before any open.
    void withoutSysfsTheOpenedTerminalDecides()
    {
        struct stat null;
        QCOMPARE(::stat("/dev/null", &null), 0);
        QVERIFY(PortAccess::terminalRefusal(null.st_mode, null.st_rdev, "/sys") != std::string());
        QCOMPARE(PortAccess::terminalRefusal(null.st_mode, null.st_rdev, "/nonexistent"), std::string());
        // The master side stays refused, with or without sysfs.
        QVERIFY(PortAccess::terminalRefusal(S_IFCHR | 0666, makedev(5, 2), "/nonexistent") != std::string());
        QVERIFY(PortAccess::terminalRefusal(S_IFREG | 0666, 0, "/nonexistent") != std::string());
    }

    // A permission refused: joining the group is offered only where it would let the user in.
    void permissionAdvice_data()
    {
        QTest::addColumn<uint>("mode");
        QTest::addColumn<bool>("inGroup");
        QTest::addColumn<QString>("advice");
        const QString owned = QStringLiteral("the device belongs to root:dialout with mode %1");
        QTest::newRow("group may read and write")
            << 0660u << false << "add your user to the group dialout, then log in again";
        QTest::newRow("already in the group") << 0660u << true << owned.arg(660);
        QTest::newRow("group may only read") << 0640u << false << owned.arg(640);
    }
    void permissionAdvice()
    {
        QFETCH(uint, mode);
        QFETCH(bool, inGroup);
        QTEST(QString::fromStdString(PortAccess::permissionAdvice(mode, "root", "dialout", inGroup)),
              "advice");
    }

    void listHolders_data()
    {
        QTest::addColumn<QStringList>("holders");
        QTest::addColumn<QString>("listed");
        QTest::newRow("one") << QStringList{"socat (pid 1)"} << "socat (pid 1)";
        QTest::newRow("two") << QStringList{"socat (pid 1)", "cu (pid 2)"} << "socat (pid 1) and cu (pid 2)";
        QTest::newRow("five") << QStringList{"socat (pid 1)", "a (pid 2)", "b (pid 3)", "c (pid 4)",
                                             "d (pid 5)"}
                              << "socat (pid 1) and 4 more";
    }
    void listHolders()
    {
        QFETCH(QStringList, holders);
        std::vector<std::string> named;
        for (const QString& holder : holders)
            named.push_back(holder.toStdString());
        QTEST(QString::fromStdString(PortAccess::listHolders(named)), "listed");
    }

    // A process in a mount namespace of its own with its own devpts instance holds the terminal of
    // our pty's number there: another terminal by the same name, and, held by its master, no bridge
    // of ours. Only when it also holds our own terminal is the port held.
    void anotherDevPtsInstanceHoldsItsOwn_data()
    {
        QTest::addColumn<bool>("holdsOurs"); // also our terminal, opened before its devpts was mounted
        QTest::addColumn<bool>("opens");
        QTest::newRow("its own terminal of the same number, its master in another process") << false << true;
        QTest::newRow("ours, beside its own master of the same number") << true << false;
    }
    void anotherDevPtsInstanceHoldsItsOwn()
    {
        QFETCH(bool, holdsOurs);
        QFETCH(bool, opens);
        if (::geteuid() != 0)
            QSKIP("mounting a devpts instance of its own needs root");
        PseudoTerminal device;
        const QString path = QString::fromStdString(device.slavePath());
        const QString holder = QStringLiteral(
            "import ctypes, os, sys; libc = ctypes.CDLL(None); libc.ptsname.restype = ctypes.c_char_p\n"
            "held = [os.open('/dev/ptmx', os.O_RDWR | os.O_NOCTTY) for _ in range(%1)]\n"
            "name = libc.ptsname(held[-1]); libc.unlockpt(held[-1]); held.append(os.open(name, os.O_RDWR))\n"
            "if %2 and os.fork() == 0: os.close(held.pop()); sys.stdin.read(); sys.exit()\n"
            "if %2: os.close(held[-2])\n"
            "print(name.decode(), flush=True)\n"
            "sys.stdin.read()");
        QProcess room;
        room.start(QStringLiteral("unshare"),
                   {"-m", "--propagation", "private", "sh", "-c",
                    QStringLiteral("%1 mount -t devpts -o newinstance,ptmxmode=666 devpts /dev/pts && "
                                   "mount --bind /dev/pts/ptmx /dev/ptmx && exec python3 -c \"%2\"")
                        .arg(holdsOurs ? "exec 3<>" + path + ";" : QString(),
                             holder.arg(path.section('/', -1).toInt() + 1).arg(holdsOurs ? 0 : 1))});
        const auto end = qScopeGuard([&] {
            room.kill();
            room.waitForFinished(10000);
        });
        QVERIFY(room.waitForStarted(10000));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return room.canReadLine() ||
                       (!room.waitForReadyRead(100) && room.state() != QProcess::Running);
            },
            10000));
        QCOMPARE(room.readLine().trimmed(), path.toUtf8()); // the same name in its own instance

        SerialPort port;
        QVERIFY2(port.open(device.slavePath(), 9600) == opens, port.openFailure().message.c_str());
        if (!opens)
            QVERIFY(port.openFailure().message.find("held by python3") != std::string::npos);
    }

    // The terminal the program runs in is refused by every name it has, and left exactly as it was:
    // not a setting changed, not a byte sent. From there, a terminal that is not its own still opens.
    void refusesTheProgramsOwnTerminal_data()
    {
        QTest::addColumn<int>("stream"); // how the child holds the line: -1 as its controlling terminal
        QTest::addColumn<PortName>("port");
        QTest::addColumn<bool>("opens");
        const PortName line = [](const auto& line, const auto&) { return line.slavePath(); };
        const PortName other = [](const auto&, const auto& other) { return other.slavePath(); };
        QTest::newRow("/dev/tty") << -1 << PortName([](const auto&, const auto&) { return "/dev/tty"; })
                                  << false;
        QTest::newRow("tty") << -1 << PortName([](const auto&, const auto&) { return "tty"; }) << false;
        QTest::newRow("controlling terminal by its path") << -1 << line << false;
        QTest::newRow("standard input") << STDIN_FILENO << line << false;
        QTest::newRow("standard output") << STDOUT_FILENO << line << false;
        QTest::newRow("standard error") << STDERR_FILENO << line << false;
        QTest::newRow("another terminal") << -1 << other << true;
    }

    void refusesTheProgramsOwnTerminal()
    {
        QFETCH(int, stream);
        QFETCH(PortName, port);
        QFETCH(bool, opens);
        PseudoTerminal line;
        PseudoTerminal other;
        termios before;
        QVERIFY(line.settings(before) && other.isOpen());
        const std::string name = port(line, other);

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0)
            openAsOwnTerminal(line.slavePath(), stream, name);
        int status = 0;
        const bool ended =
            QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000);
        if (!ended) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        QVERIFY(ended && WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), opens ? Opened : Refused);

        termios after;
        QVERIFY(line.settings(after));
        QCOMPARE(after.c_cflag, before.c_cflag);
        QCOMPARE(after.c_iflag, before.c_iflag);
        QCOMPARE(after.c_oflag, before.c_oflag);
        QCOMPARE(after.c_lflag, before.c_lflag);
        QCOMPARE(cfgetispeed(&after), cfgetispeed(&before));
        QCOMPARE(cfgetospeed(&after), cfgetospeed(&before));
        QCOMPARE(line.readExactly(1, 0), QByteArray());
    }

    // The port's lock file as terminal programs leave it, in a folder of the row's own ("default":
    // /var/lock itself). In the content, %1 is the owner's pid in ten characters, %2 the pid alone.
    void honoursLockFiles_data()
    {
        QTest::addColumn<QString>("content"); // null: no lock file
        QTest::addColumn<int>("owner");       // 0 a live program (the parent), 1 one that has ended, 2 none
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("says"); // in the refusal, or the open's note; %1 the pid, %2 the lock file
        QTest::addColumn<bool>("inDefaultFolder");
        const QString named = QStringLiteral("held by %3 (pid %1) through its lock file %2");
        QTest::newRow("none") << QString() << 2 << true << "" << false;
        QTest::newRow("none, in /var/lock") << QString() << 2 << true << "" << true;
        QTest::newRow("a live program's") << "%1\n" << 0 << false << named << false;
        QTest::newRow("a live program's, as Qt writes it") << "%2\nminicom\nhost\n"
                                                           << 0 << false << named << false;
        QTest::newRow("left by a program that has ended")
            << "%1\n"
            << 1 << true << "took over the lock file %2 of pid %1" << false;
        QTest::newRow("naming no process")
            << "x\n"
            << 2 << false << "the lock file %2, which names no process" << false;
    }
    void honoursLockFiles()
    {
        QFETCH(QString, content);
        QFETCH(int, owner);
        QFETCH(bool, opens);
        QFETCH(QString, says);
        QFETCH(bool, inDefaultFolder);
        QTemporaryDir folder;
        if (inDefaultFolder && !QFileInfo(QStringLiteral("/var/lock")).isWritable())
            QSKIP("/var/lock is not writable for this user");
        const auto restore =
            qScopeGuard([before = qgetenv("VKR_LOCK_DIR")] { qputenv("VKR_LOCK_DIR", before); });
        qputenv("VKR_LOCK_DIR", inDefaultFolder ? QByteArray() : QFile::encodeName(folder.path()));
        PseudoTerminal device;
        const QString lockPath =
            QString::fromStdString(PortLock::directory() + "/" + PortLock::fileName(device.slavePath()));
        const pid_t pid = owner == 0 ? ::getppid() : endedProcess();
        const QByteArray written = QString(content)
                                       .replace("%1", QStringLiteral("%1").arg(pid, 10))
                                       .replace("%2", QString::number(pid))
                                       .toLatin1();
        QFile lock(lockPath);
        if (!content.isNull())
            QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write(written) == written.size() && lock.flush());
        lock.close();

        SerialPort port;
        QCOMPARE(port.open(device.slavePath(), 9600), opens);
        const QString text = QString::fromStdString(opens ? port.openNote() : port.openFailure().message);
        says.replace("%1", QString::number(pid)).replace("%2", lockPath);
        QVERIFY2(text.contains(says.replace("%3", QString::fromStdString(PortAccess::commandName(pid)))),
                 qPrintable(text));
        if (!opens) {
            QCOMPARE(port.openFailure().kind, SerialPort::OpenFailure::Kind::Busy);
            QVERIFY(lock.open(QIODevice::ReadOnly));
            QCOMPARE(lock.readAll(), written); // left as it was
            return;
        }
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), QStringLiteral("%1\ntst_serialport\n%2\n")
                                     .arg(::getpid(), 10)
                                     .arg(QSysInfo::machineHostName())
                                     .toLatin1());
        lock.close();
        port.close();
        QVERIFY(!lock.exists());
        // A lock file put in the place of this program's while it had the port (Qt's QLockFile calls
        // one stale whose name is not its own program's) is another program's, and stays.
        QVERIFY(port.open(device.slavePath(), 9600));
        QTemporaryFile replacement(folder.filePath(QStringLiteral("other")));
        QVERIFY(replacement.open() && replacement.write("     99999\nqtprogram\nhost\n") > 0 &&
                replacement.flush());
        QCOMPARE(::rename(QFile::encodeName(replacement.fileName()).constData(),
                          QFile::encodeName(lockPath).constData()),
                 0);
        port.close();
        QVERIFY(lock.exists());
        QVERIFY(lock.remove());
    }

    // Two programs find one lock file left by a program that has ended and take it over at once, the
    // first held between its look at the file and its replacing it: one of them gets the port.
    void twoTakersOfAStaleLockFileLeaveOneOwner()
    {
        QTemporaryDir folder;
        const auto restore =
            qScopeGuard([before = qgetenv("VKR_LOCK_DIR")] { qputenv("VKR_LOCK_DIR", before); });
        qputenv("VKR_LOCK_DIR", QFile::encodeName(folder.path()));
        PseudoTerminal device;
        const QString lockPath =
            QString::fromStdString(PortLock::directory() + "/" + PortLock::fileName(device.slavePath()));
        QFile stale(lockPath);
        QVERIFY(stale.open(QIODevice::WriteOnly) &&
                stale.write(QStringLiteral("%1\n").arg(endedProcess(), 10).toLatin1()) > 0);
        stale.close();
        static int toFirst[2], fromFirst[2];
        QVERIFY(::pipe(toFirst) == 0 && ::pipe(fromFirst) == 0);
        // Each taker says whether it got the port, then keeps it until told to go.
        const auto take = [&](bool paused) {
            if (paused)
                PortLock::setTakeOverPause([] {
                    char byte = 'p';
                    if (::write(fromFirst[1], &byte, 1) != 1 || ::read(toFirst[0], &byte, 1) != 1)
                        ::_exit(3);
                });
            SerialPort port;
            const char got = port.open(device.slavePath(), 9600) ? 'y' : 'n';
            char byte = 0;
            if (::write(fromFirst[1], &got, 1) != 1 || ::read(toFirst[0], &byte, 1) != 1)
                ::_exit(3);
            ::_exit(0);
        };
        const pid_t first = ::fork();
        if (first == 0)
            take(true);
        char said = 0;
        QVERIFY(::read(fromFirst[0], &said, 1) == 1 && said == 'p');
        const pid_t second = ::fork();
        if (second == 0)
            take(false);
        // The second is held up by the first, or ends before it goes on; either way one of them
        // says first. The first goes on now.
        QVERIFY(::write(toFirst[1], "g", 1) == 1);
        QByteArray answers;
        for (int i = 0; i < 2; ++i)
            QVERIFY(::read(fromFirst[0], &said, 1) == 1 && (answers += said, true));
        QVERIFY(::write(toFirst[1], "ee", 2) == 2);
        for (const pid_t child : {first, second})
            QCOMPARE(::waitpid(child, nullptr, 0), child);
        QCOMPARE(answers.count('y'), 1);
        QVERIFY(stale.open(QIODevice::ReadOnly));
        QCOMPARE(stale.readLine().trimmed().toInt(), int(first)); // the first was not held up for nothing
    }

    // A signal that ends the program without its port closed takes the lock file along.
    void aSignalThatEndsTheProgramRemovesItsLockFile()
    {
        PseudoTerminal device;
        const std::string lockPath = PortLock::directory() + "/" + PortLock::fileName(device.slavePath());
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            SerialPort port;
            if (!port.open(device.slavePath(), 9600) || ::access(lockPath.c_str(), F_OK) != 0)
                ::_exit(1);
            ::raise(SIGUSR1);
            ::_exit(2);
        }
        int status = 0;
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000));
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGUSR1);
        QVERIFY(::access(lockPath.c_str(), F_OK) != 0);
    }

    void leavesNoDescriptorAfterManyOpens()
    {
        PseudoTerminal device;
        SerialPort port;
        const int descriptors = openDescriptorCount();
        QVERIFY(descriptors > 0);
        for (int i = 0; i < 1000; ++i) {
            QVERIFY(port.open(device.slavePath(), i % 2 ? 9600 : 115200));
            port.close();
        }
        QCOMPARE(openDescriptorCount(), descriptors);
    }
};

QTEST_APPLESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
