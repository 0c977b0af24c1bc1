#include "ptyserver.h"

#include "hostline.h"
#include "printable.h"

#include <algorithm>
#include <climits>

PtyServer::PtyServer(SerialResponder& responder, std::ostream* log) : responder(responder), log(log) {}

PtyServer::End PtyServer::serve(int stopDescriptor)
{
    HostLine line;
    for (;;) {
        switch (line.wait(master.descriptor(), stopDescriptor)) {
        case HostLine::Event::HostOpened:
            logLine("host opened the line");
            break;
        case HostLine::Event::HostClosed:
            logLine("host closed the line");
            responder.accountRunning("closed");
            break;
        case HostLine::Event::Stop:
            return End::Stopped;
        case HostLine::Event::Failed:
            return End::Failed;
        case HostLine::Event::Input:
            switch (serveInput(stopDescriptor)) {
            case Step::Continue:
                break;
            case Step::Stop:
                return End::Stopped;
            case Step::HangUp:
                return End::HungUp;
            case Step::Fail:
                return End::Failed;
            }
            break;
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
    const PtyMaster::Written written = send(answer, stopDescriptor);
    logLine("out " + printable(answer.bytes) +
            (written == PtyMaster::Written::All ? "" : " (not sent whole)"));
    switch (written) {
    case PtyMaster::Written::All:
        return Step::Continue;
    case PtyMaster::Written::HungUp:
        logLine("host closed the line during the reply; the rest is dropped");
        return Step::Continue;
    case PtyMaster::Written::Stopped:
        return Step::Stop;
    case PtyMaster::Written::Stalled:
        break;
    }
    return Step::Fail;
}

PtyMaster::Written PtyServer::send(const SerialAnswer& answer, int stopDescriptor)
{
    if (answer.byteDelayMs == 0)
        return master.write(answer.bytes.data(), answer.bytes.size(), stopDescriptor);
    for (std::size_t i = 0; i < answer.bytes.size(); ++i) {
        if (i > 0 &&
            HostLine::stopRequested(stopDescriptor, int(std::min<uint32_t>(answer.byteDelayMs, INT_MAX))))
            return PtyMaster::Written::Stopped;
        const PtyMaster::Written written = master.write(&answer.bytes[i], 1, stopDescriptor);
        if (written != PtyMaster::Written::All)
            return written;
    }
    return PtyMaster::Written::All;
}

void PtyServer::logLine(const std::string& text)
{
    if (log)
        *log << "vkr-sim: " << text << std::endl;
}
