// What every back-end of SerialPort does, checked the same way on each: built natively against the POSIX
// back-end (a peer thread plays the device on pseudo-terminals), and built with mingw-w64 against the
// Windows back-end and run under Wine on COM ports mapped onto pseudo-terminals, with the native build of
// this program as the peer (--peer; tools/check-win32-serial.sh runs it). Where Wine's serial ports part
// from Windows, the case names the difference, checks what Wine does instead and says so in the report.
#define DOCTEST_CONFIG_IMPLEMENT
#ifdef __MINGW32__
// mingw-w64's default thread model has no std::mutex; the cases run on one thread anyway.
#define DOCTEST_CONFIG_NO_MULTITHREADING
#endif
#include <doctest/doctest.h>

#include "linepeer.h"
#include "serialport.h"

#include <chrono>
#include <iostream>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include "ptypeer.h"

#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#endif

// Read results by name in the report (found through the enum's own scope).
doctest::String toString(SerialPort::ReadResult result)
{
    switch (result) {
    case SerialPort::ReadResult::Byte:
        return "Byte";
    case SerialPort::ReadResult::TimedOut:
        return "TimedOut";
    case SerialPort::ReadResult::Failed:
        return "Failed";
    }
    return "?";
}

namespace {

using ReadResult = SerialPort::ReadResult;
using Flow = LinePeer::Flow;

LinePeer* peer = nullptr;

// Where a serial port under Wine parts from what the Windows back-end meets on Windows, named once.
struct WineDifference
{
    const char* name;
    const char* what;
};
// Wine opens serial devices without their sharing mode, and locks nothing against native programs.
constexpr WineDifference secondOpenerLetIn{"secondOpenerLetIn",
                                           "a second opener of a held COM port is let in"};
// Wine waits for bytes on a pseudo-terminal without looking for its hang-up.
constexpr WineDifference hangUpReadsAsSilence{"hangUpReadsAsSilence",
                                              "a read on a line that hung up times out instead of failing"};

bool runsUnderWine()
{
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// True when the difference applies here; the report then says which one the case met.
bool differsUnderWine(const WineDifference& difference)
{
    if (!runsUnderWine())
        return false;
    std::cerr << "differs under Wine: " << difference.name << ": " << difference.what << '\n';
    return true;
}

class Stopwatch
{
public:
    long long elapsedMs() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

// Reads up to size bytes one by one; stops at the first result that is not a byte.
std::string readBytes(SerialPort& port, std::size_t size, ReadResult& last)
{
    std::string bytes;
    char byte = 0;
    while (bytes.size() < size && (last = port.readByte(byte)) == ReadResult::Byte)
        bytes += byte;
    return bytes;
}

std::string everyByteValue(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
    return bytes;
}

} // namespace

TEST_CASE("opens at 8N1 and the asked speed, keeping the line's flow control")
{
    // A pseudo-terminal always reports 8 data bits without parity: those show in the bytes (next case).
    struct Row
    {
        uint32_t baudRate;
        Flow flow;
    };
    for (const Row row : {Row{4800, Flow::None}, Row{9600, Flow::RtsCts}, Row{115200, Flow::XonXoff}}) {
        const std::string flow = PeerProtocol::flowName(row.flow);
        CAPTURE(row.baudRate);
        CAPTURE(flow);
        const std::string name = peer->newLine(row.flow);
        SerialPort port;
        REQUIRE(port.open(name, row.baudRate));
        CHECK(port.isOpen());
        const LinePeer::Settings line = peer->settings();
        CHECK(line.baudRate == row.baudRate);
        CHECK(line.stopBits == 1);
        CHECK(line.flow == row.flow);
    }
}

// Raw both ways: no CR/LF translation, no signal or editing characters, nothing echoed, nothing lost. What
// comes in spans several of the POSIX back-end's read-ahead buffers; what goes out is far more than the
// line holds, so the write has to wait for room, and still writes every byte.
TEST_CASE("passes every byte value unchanged both ways")
{
    const std::string name = peer->newLine();
    SerialPort port;
    REQUIRE(port.open(name, 115200));
    port.setReadTimeout(2000);

    const std::string incoming = everyByteValue(4 * 256);
    peer->send(incoming);
    ReadResult last = ReadResult::Byte;
    const std::string received = readBytes(port, incoming.size(), last);
    CHECK(last == ReadResult::Byte);
    CHECK(PeerProtocol::toHex(received) == PeerProtocol::toHex(incoming));

    const std::string outgoing = everyByteValue(256 * 1024);
    peer->startReceive(outgoing.size(), 20000);
    CHECK(port.write(outgoing.data(), outgoing.size()));
    const std::string sent = peer->finishReceive();
    CHECK(sent.size() == outgoing.size());
    CHECK(sent == outgoing);
    CHECK(peer->receive(1, 0).empty());
}

// Exchanges as the protocol makes them: the answer mostly comes while the port waits for it, and one byte
// is enough to end the wait.
TEST_CASE("a byte that comes while the port waits ends the wait")
{
    const std::string name = peer->newLine();
    SerialPort port;
    REQUIRE(port.open(name, 115200));
    port.setReadTimeout(2000);

    const int exchanges = 50;
    peer->startEcho(exchanges, 5000);
    Stopwatch stopwatch;
    int answered = 0;
    for (char request = 'A'; answered < exchanges; ++answered, ++request) {
        char answer = 0;
        if (!port.write(&request, 1) || port.readByte(answer) != ReadResult::Byte || answer != request + 1)
            break;
    }
    CHECK(peer->finishEcho() == exchanges);
    CHECK(answered == exchanges);
    CHECK(stopwatch.elapsedMs() < 2000); // not one exchange waited out its time-out
}

TEST_CASE("times out when nothing comes, also in the middle of a line, and loses no late byte")
{
    const std::string name = peer->newLine();
    SerialPort port;
    REQUIRE(port.open(name, 9600));
    port.setReadTimeout(500);

    peer->send(":G");
    ReadResult last = ReadResult::Byte;
    CHECK(readBytes(port, 2, last) == ":G");
    // A read that never times out would wait for ever: this byte ends it, a second after its time-out.
    peer->sendAfter(1500, "I");
    char byte = 0;
    Stopwatch stopwatch;
    CHECK(port.readByte(byte) == ReadResult::TimedOut);
    CHECK(stopwatch.elapsedMs() >= 450);
    CHECK(stopwatch.elapsedMs() < 1400);

    port.setReadTimeout(5000); // a time-out changed on the open port
    CHECK(port.readByte(byte) == ReadResult::Byte);
    CHECK(byte == 'I');
}

TEST_CASE("a zero time-out reads what is there and otherwise times out at once")
{
    const std::string name = peer->newLine();
    SerialPort port;
    REQUIRE(port.open(name, 115200));
    port.setReadTimeout(2000);
    peer->send("YZ");
    char byte = 0;
    REQUIRE(port.readByte(byte) == ReadResult::Byte); // with it, the Z has come in as well
    CHECK(byte == 'Y');

    port.setReadTimeout(0);
    CHECK(port.readByte(byte) == ReadResult::Byte);
    CHECK(byte == 'Z');
    peer->sendAfter(1000, "R"); // ends a read that waits for ever
    Stopwatch stopwatch;
    CHECK(port.readByte(byte) == ReadResult::TimedOut);
    CHECK(stopwatch.elapsedMs() < 500);
}

TEST_CASE("reports a line that hung up")
{
    const std::string name = peer->newLine();
    SerialPort port;
    REQUIRE(port.open(name, 9600));
    port.setReadTimeout(1000);

    peer->hangUp();
    char byte = 0;
    Stopwatch stopwatch;
    const ReadResult result = port.readByte(byte);
    if (differsUnderWine(hangUpReadsAsSilence)) {
        CHECK(result == ReadResult::TimedOut);
    } else {
        CHECK(result == ReadResult::Failed);
        CHECK(stopwatch.elapsedMs() < 500); // without waiting out the time-out
    }
    CHECK_FALSE(port.write("x", 1));
}

TEST_CASE("refuses a port that does not exist; a port that is not open neither reads nor writes")
{
    for (const std::string& name : {peer->missingName(), std::string()}) {
        CAPTURE(name);
        SerialPort port;
        CHECK_FALSE(port.open(name, 9600));
        CHECK_FALSE(port.isOpen());
        CHECK_FALSE(port.write("x", 1));
        char byte = 0;
        CHECK(port.readByte(byte) == ReadResult::Failed);
        port.close();
        CHECK_FALSE(port.isOpen());
    }
}

TEST_CASE("keeps the port to itself while it is open")
{
    const std::string name = peer->newLine();
    SerialPort first;
    REQUIRE(first.open(name, 9600));
    CHECK_FALSE(first.open(name, 115200)); // opening again what is open changes nothing
    CHECK(first.isOpen());
    CHECK(peer->settings().baudRate == 9600);

    SerialPort second;
    const bool secondOpened = second.open(name, 9600);
    const bool held = peer->heldForOtherPrograms();
    if (differsUnderWine(secondOpenerLetIn)) {
        CHECK(secondOpened);
        CHECK_FALSE(held);
        second.close();
    } else {
        CHECK_FALSE(secondOpened);
        CHECK_FALSE(second.isOpen());
        CHECK(held);
    }

    first.close();
    CHECK_FALSE(peer->heldForOtherPrograms());
    CHECK(second.open(name, 115200)); // closing gave the port back
}

// What was written before the close still reaches the device, and the port opens again at once at the new
// speed; reopen(), as the handshake uses it, does the same without letting the port go.
TEST_CASE("closes with its output delivered and reopens at another speed")
{
    const std::string name = peer->newLine();
    SerialPort port;
    REQUIRE(port.open(name, 9600));
    CHECK(port.write(":GIV\n", 5));
    port.close();
    CHECK_FALSE(port.isOpen());
    CHECK(peer->receive(5, 2000) == ":GIV\n");

    REQUIRE(port.open(name, 115200));
    CHECK(peer->settings().baudRate == 115200);
    port.setReadTimeout(2000);
    peer->send("k");
    char byte = 0;
    CHECK(port.readByte(byte) == ReadResult::Byte);
    CHECK(byte == 'k');

    // Reopened in place: the output still comes first, and the port stays open at the new speed.
    CHECK(port.write(":SCM0\n", 6));
    REQUIRE(port.reopen(9600));
    CHECK(peer->receive(6, 2000) == ":SCM0\n");
    CHECK(peer->settings().baudRate == 9600);
    peer->send("j");
    CHECK(port.readByte(byte) == ReadResult::Byte);
    CHECK(byte == 'j');
}

int main(int argc, char** argv)
{
#ifdef _WIN32
    // Standard input and output carry the peer's replies and requests; the report goes to standard error.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    LinePeer windowsPeer(stdout, stdin);
    peer = &windowsPeer;
    doctest::Context context(argc, argv);
    context.setCout(&std::cerr);
    return context.run();
#else
    // As the peer of this program's Windows build: tst_serialportcontract --peer DOSDEVICES -- COMMAND...
    if (argc > 4 && std::string(argv[1]) == "--peer" && std::string(argv[3]) == "--") {
        PtyPeer server(argv[2]);
        return server.serveCommand(argv + 4);
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        std::cerr << "no socket pair for the peer\n";
        return 2;
    }
    PtyPeer server;
    std::thread serving([&] { server.serve(ends[1], ends[1]); });
    std::FILE* requests = ::fdopen(ends[0], "w");
    std::FILE* replies = ::fdopen(::dup(ends[0]), "r");
    int result = 2;
    if (requests != nullptr && replies != nullptr) {
        LinePeer nativePeer(requests, replies);
        peer = &nativePeer;
        doctest::Context context(argc, argv);
        result = context.run();
        peer = nullptr;
    }
    // The peer sees the end of its requests and stops.
    ::shutdown(ends[0], SHUT_RDWR);
    if (requests != nullptr)
        std::fclose(requests);
    if (replies != nullptr)
        std::fclose(replies);
    serving.join();
    ::close(ends[1]);
    return result;
#endif
}
