// The controller's serial command protocol as VKRConnection speaks it: the baud-rate handshake
// that opens a serial locator, the reply reader, and the command/reply exchange of each operation.
#include "vkrconnection.h"

#include <chrono>

using namespace ResultCode;

namespace {
// The result of an acknowledge reply "E" for the given channel: the controller's own code, or
// 14 when the reply is anything else.
uint32_t acknowledged(const Reply& reply, uint32_t channel)
{
    if (!reply.is("E", 2) || reply.values[0] != channel)
        return MalformedReply;
    return reply.values[1];
}

// How many replies that answer another command an exchange passes over before it takes what
// comes: a controller late by more than that is a controller out of step.
constexpr int MaxPassedReplies = 4;
} // namespace

bool VKRConnection::ExpectedReply::fits(const Reply& reply) const
{
    return reply.is(name, count) && (!channel || reply.values[0] == *channel);
}

QString VKRConnection::commandText(const char* word, uint32_t argument)
{
    return QLatin1String(word) + QString::number(argument);
}

uint32_t VKRConnection::readReply(QString& name, uint32_t& count, uint32_t values[4], uint32_t timeoutMs)
{
    QString line;
    if (const uint32_t read = readLine(line, timeoutMs))
        return read;
    Reply reply;
    if (const uint32_t parsed = ReplyParser::parse(line, reply))
        return parsed;
    name = reply.name;
    count = reply.count;
    std::copy(reply.values, reply.values + 4, values);
    return Success;
}

uint32_t VKRConnection::readReply(Reply& reply)
{
    return readReply(reply.name, reply.count, reply.values, replyTimeoutMs);
}

// Moves the controller's line from 9600 to 115200 baud and checks that it answers there. Any
// failure closes the port again, so no port stays open unless the result is 0.
//
// The port stays open from the first stage to the last and changes speed in place: closed between
// them, it would be free for another program (a terminal program that locks ports) to take in the
// gap. Each stage starts with the input dropped that a close would have dropped, and the first with
// what was waiting on the line before the handshake began: no byte from before a command is read
// as its reply.
uint32_t VKRConnection::handshake(const QString& portName)
{
    // A zero byte at 4800 baud first: it ends whatever the controller may have half received.
    if (openSerialPort(portName, 4800) != Success)
        return OpenFailed;
    portHandle.discardInput();
    if (writeRaw(QString(QChar(0))) != Success) {
        portHandle.close();
        return WriteFailed;
    }

    if (!portHandle.reopen(9600))
        return OpenFailed;
    portHandle.discardInput();
    if (const uint32_t switched = sendRS232String(QStringLiteral("CB115200,1"))) {
        portHandle.close();
        return switched;
    }

    // The controller takes its time to change speed; the port is left alone meanwhile.
    if (!portHandle.reopen(115200, std::chrono::milliseconds(800)))
        return OpenFailed;
    portHandle.discardInput();
    const uint32_t checked = checkControllerAnswers(portName);
    if (checked != Success)
        portHandle.close();
    return checked;
}

// Asks the controller its version, then switches it to command mode. A reply of the wrong form, or a
// refusal, says in openFailure what came back; the port's own failures are put in words by the caller.
uint32_t VKRConnection::checkControllerAnswers(const QString& portName)
{
    Reply reply;
    QString line;
    const auto notUnderstood = [&](const char* command, uint32_t result) {
        openFailure = QStringLiteral("serial port %1: the controller's answer to %2 was not understood: %3")
                          .arg(portName, QLatin1String(command), shownReply(line));
        return result;
    };
    if (const uint32_t r = ask(QStringLiteral("GIV"), reply, line))
        return r == MalformedReply || r == ValueOutOfRange ? notUnderstood("GIV", r) : r;
    if (!reply.is("IV", 3))
        return notUnderstood("GIV", MalformedReply);

    if (const uint32_t r = ask(QStringLiteral("SCM0"), reply, line))
        return r == MalformedReply || r == ValueOutOfRange ? notUnderstood("SCM0", r) : r;
    const uint32_t result = acknowledged(reply, ControllerValue::NoChannel);
    if (!reply.is("E", 2) || reply.values[0] != ControllerValue::NoChannel)
        return notUnderstood("SCM0", result);
    if (result != Success)
        openFailure = QStringLiteral("serial port %1: the controller refused command mode (SCM0): code %2")
                          .arg(portName)
                          .arg(result);
    return result;
}

// One question of the handshake: the command, then its reply read and parsed; line keeps what came.
uint32_t VKRConnection::ask(const QString& command, Reply& reply, QString& line)
{
    if (const uint32_t r = sendRS232String(command))
        return r;
    if (const uint32_t r = readLine(line, replyTimeoutMs))
        return r; // 14 for a "line" without end, which is shown like any reply of the wrong form
    return ReplyParser::parse(line, reply);
}

// A reply as the user is shown it: without its line feed, cut short when it is long (a flood without
// one), quoted.
QString VKRConnection::shownReply(QString line)
{
    constexpr int ShownLength = 40;
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    if (line.size() > ShownLength)
        line = line.left(ShownLength) + QStringLiteral("...");
    return QLatin1Char('"') + line + QLatin1Char('"');
}

// One command and its reply, indivisible for every other user of this connection. The lock is
// released before the caller looks at the reply.
//
// A controller that answered later than the time-out still sends that reply, and carries out the
// commands queued behind it: read as the next command's reply, it would fail a command that the
// controller carried out, and every reply after it would be one behind. So once a reply has missed
// its time-out on this connection, a reply that cannot answer the command (or a line cut short by
// the time-out) is passed over, a few at most. A controller that keeps to the time-out never meets
// this.
uint32_t VKRConnection::exchange(const QString& command, const ExpectedReply& expected, Reply& reply)
{
    std::lock_guard<std::mutex> lock(exchangeMutex);
    const auto answersAnother = [&](uint32_t read) {
        return read == MalformedReply || read == ValueOutOfRange ||
               (read == Success && !expected.fits(reply));
    };
    uint32_t result = sendRS232String(command);
    bool heardAnything = false;
    for (int passed = 0; result == Success; ++passed) {
        result = readReply(reply);
        heardAnything = heardAnything || lastReadHeardAnything;
        if (!lateReplyMayFollow || passed == MaxPassedReplies || !answersAnother(result))
            break;
    }
    lateReplyMayFollow = lateReplyMayFollow || result == ReplyTimedOut;
    lastExchangeLostLine = (result == WriteFailed || result == ReadFailed) && portHandle.lineGone();
    // A controller that holds the line (flow control) and sends nothing is as silent as one that
    // does not answer: without this, a wait would poll it for ever, one stalled write at a time.
    lastExchangeSilent =
        (result == ReplyTimedOut && !heardAnything) || (result == WriteFailed && !lastExchangeLostLine);
    return result;
}

std::chrono::steady_clock::duration VKRConnection::silentFor() const
{
    if (connectionMode != Serial || !lastExchangeSilent)
        return std::chrono::steady_clock::duration::zero();
    return std::chrono::steady_clock::now() - lastHeard;
}

uint32_t VKRConnection::queryValue(const QString& command, const char* replyName, uint32_t& value)
{
    Reply reply;
    if (const uint32_t r = exchange(command, {replyName, 1, std::nullopt}, reply))
        return r;
    if (!reply.is(replyName, 1))
        return MalformedReply;
    value = reply.values[0];
    return Success;
}

uint32_t VKRConnection::queryStatus(uint32_t channel, uint32_t& status)
{
    Reply reply;
    if (const uint32_t r = exchange(commandText("GS", channel), {"S", 2, channel}, reply))
        return r;
    if (!reply.is("S", 2) || reply.values[0] != channel)
        return MalformedReply;
    status = reply.values[1];
    return Success;
}

uint32_t VKRConnection::acknowledgedCommand(const QString& command, uint32_t channel)
{
    Reply reply;
    if (const uint32_t r = exchange(command, {"E", 2, channel}, reply))
        return r;
    return acknowledged(reply, channel);
}
