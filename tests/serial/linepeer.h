#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

// The device end of a serial line, as the serial port contract sees it: a peer process (or thread) that
// owns a pseudo-terminal, hands out the name its client side is opened by, and plays the device on the
// master side. Requests and replies are text lines, so the same cases drive the peer from a native build
// and from a Windows build running under Wine. Qt-free and portable; ptypeer.h is the serving side.
class LinePeer
{
public:
    enum class Flow
    {
        None,
        RtsCts,
        XonXoff
    };

    // What the device end finds on its line.
    struct Settings
    {
        uint32_t baudRate = 0; // 0 when the speed is none of the known rates
        int stopBits = 0;
        Flow flow = Flow::None;
    };

    // A peer that answers the way no request should be answered, or has gone.
    class Broken : public std::runtime_error
    {
    public:
        using std::runtime_error::runtime_error;
    };

    // Requests go out on requests, replies come in on replies; neither is closed here.
    LinePeer(std::FILE* requests, std::FILE* replies);

    // A new line that the port will find cooked, with two stop bits and the given flow control; the
    // previous line hangs up. Returns the name SerialPort::open takes for it.
    std::string newLine(Flow flow = Flow::None);
    // A name in the same namespace that no port answers to.
    std::string missingName();
    Settings settings();
    void send(const std::string& bytes);
    // Sends the bytes after the given time, unless the peer is busy with a request then: it keeps a
    // port that waits for longer than it should from waiting for ever.
    void sendAfter(int milliseconds, const std::string& bytes);
    // Up to count bytes from the port, fewer when the time-out passed first.
    std::string receive(std::size_t count, int timeoutMs);
    // The same, for bytes that the port has yet to write: the request goes out at once, the bytes come
    // with finishReceive().
    void startReceive(std::size_t count, int timeoutMs);
    std::string finishReceive();
    // Answers each byte from the port with the next byte value, count times or until the time-out; the
    // request goes out at once, finishEcho() tells how many were answered.
    void startEcho(int count, int timeoutMs);
    int finishEcho();
    // Closes the master side: the port's line hangs up.
    void hangUp();
    // Whether another program that locks ports (flock) would find the line taken.
    bool heldForOtherPrograms();

private:
    void start(const std::string& request);
    std::string finish(); // the reply's text after "ok"
    std::string exchange(const std::string& request);

    std::FILE* requests;
    std::FILE* replies;
};

// The words of the peer's requests and replies, shared by both sides.
namespace PeerProtocol {
constexpr const char* line = "line";
constexpr const char* missing = "missing";
constexpr const char* settings = "settings";
constexpr const char* send = "send";
constexpr const char* sendAfter = "sendafter";
constexpr const char* receive = "receive";
constexpr const char* echo = "echo";
constexpr const char* hangUp = "hangup";
constexpr const char* held = "held";
constexpr const char* ok = "ok";
constexpr const char* error = "error";

const char* flowName(LinePeer::Flow flow);
bool flowFromName(const std::string& name, LinePeer::Flow& flow);
// Bytes as two hex digits each, so that any byte value travels in a text line.
std::string toHex(const std::string& bytes);
bool fromHex(const std::string& hex, std::string& bytes);
} // namespace PeerProtocol
