#include "ptyserver.h"

#include "printable.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <poll.h>

namespace {

// While no host has the slave open, the master reports a hang-up at once on every poll; it is
// looked at again this often instead of being polled in a busy loop.
constexpr int noHostRecheckMs = 10;

// Waits up to timeoutMs; true when the stop descriptor became readable.
bool stopRequested(int stopDescriptor, int timeoutMs)
{
    pollfd entry{stopDescriptor, POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&entry, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return ready != 0;
}

} // namespace

PtyServer::PtyServer(SerialResponder& responder, std::ostream* log) : responder(responder), log(log) {}

PtyServer::End PtyServer::serve(int stopDescriptor)
{
    bool hostOnLine = false;
    for (;;) {
        if (!hostOnLine) {
            if (stopRequested(stopDescriptor, noHostRecheckMs))
                return End::Stopped;
            pollfd line{master.descriptor(), POLLIN, 0};
            if (::poll(&line, 1, 0) < 0 && errno != EINTR)
                return End::Failed;
            if (!(line.revents & POLLIN) && (line.revents & POLLHUP))
                continue;
            hostOnLine = true;
            logLine("host opened the line");
        }

        pollfd entries[2] = {{stopDescriptor, POLLIN, 0}, {master.descriptor(), POLLIN, 0}};
        if (::poll(entries, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return End::Failed;
        }
        if (entries[0].revents)
            return End::Stopped;
        if (entries[1].revents & POLLIN) {
            switch (serveInput(stopDescriptor)) {
            case Step::Continue:
                continue;
            case Step::Stop:
                return End::Stopped;
            case Step::HangUp:
                return End::HungUp;
            case Step::Fail:
                return End::Failed;
            }
        }
        if (entries[1].revents & (POLLHUP | POLLERR)) {
            // What the host wrote before it closed has been read above; the line is empty now.
            hostOnLine = false;
            logLine("host closed the line");
        }
    }
}

PtyServer::Step PtyServer::serveInput(int stopDescriptor)
{
    char chunk[512];
    const ssize_t count = master.read(chunk, sizeof chunk);
    if (count <= 0)
        return Step::Continue; // nothing after all, or the host has gone: the poll tells
    // The speed the host runs its end at now is the speed these bytes were sent at: a host
    // changes speed only by reopening the port, after its bytes have left.
    const uint32_t hostBaudRate = master.hostBaudRate();
    for (ssize_t i = 0; i < count; ++i) {
        const std::optional<std::string> command =
            assembler.push(chunk[i], hostBaudRate == responder.baudRate());
        if (!command)
            continue;
        reportNoise(hostBaudRate);
        const Step step = carryOut(*command, stopDescriptor);
        if (step != Step::Continue)
            return step;
    }
    reportNoise(hostBaudRate);
    return Step::Continue;
}

void PtyServer::reportNoise(uint32_t hostBaudRate)
{
    if (const std::size_t dropped = assembler.takeDroppedCount()) {
        logLine("dropped " + std::to_string(dropped) + " byte(s) of noise (host at " +
                std::to_string(hostBaudRate) + " baud, controller at " +
                std::to_string(responder.baudRate()) + ")");
    }
}

PtyServer::Step PtyServer::carryOut(const std::string& command, int stopDescriptor)
{
    logLine("in  :" + printable(command));
    const uint32_t baudRateBefore = responder.baudRate();
    const SerialAnswer answer = responder.answer(command);
    if (answer.hangUp) {
        logLine("hanging up the line");
        master.close();
        return Step::HangUp;
    }
    if (responder.baudRate() != baudRateBefore)
        logLine("line now at " + std::to_string(responder.baudRate()) + " baud");
    if (answer.bytes.empty())
        return Step::Continue;
    bool stopped = false;
    const bool sent = send(answer, stopDescriptor, stopped);
    logLine("out " + printable(answer.bytes) + (sent ? "" : " (not sent whole)"));
    if (stopped)
        return Step::Stop;
    return sent ? Step::Continue : Step::Fail;
}

bool PtyServer::send(const SerialAnswer& answer, int stopDescriptor, bool& stopped)
{
    if (answer.byteDelayMs == 0)
        return master.write(answer.bytes.data(), answer.bytes.size());
    for (std::size_t i = 0; i < answer.bytes.size(); ++i) {
        if (i > 0 && stopRequested(stopDescriptor, int(std::min<uint32_t>(answer.byteDelayMs, INT_MAX)))) {
            stopped = true;
            return false;
        }
        if (!master.write(&answer.bytes[i], 1))
            return false;
    }
    return true;
}

void PtyServer::logLine(const std::string& text)
{
    if (log)
        *log << "vkr-sim: " << text << std::endl;
}
