#include "linepeer.h"

#include <cstdlib>
#include <sstream>

namespace PeerProtocol {

const char* flowName(LinePeer::Flow flow)
{
    switch (flow) {
    case LinePeer::Flow::None:
        return "none";
    case LinePeer::Flow::RtsCts:
        return "rtscts";
    case LinePeer::Flow::XonXoff:
        return "xonxoff";
    }
    return "?";
}

bool flowFromName(const std::string& name, LinePeer::Flow& flow)
{
    for (const LinePeer::Flow candidate :
         {LinePeer::Flow::None, LinePeer::Flow::RtsCts, LinePeer::Flow::XonXoff}) {
        if (name == flowName(candidate)) {
            flow = candidate;
            return true;
        }
    }
    return false;
}

std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        hex += digits[static_cast<unsigned char>(byte) >> 4];
        hex += digits[static_cast<unsigned char>(byte) & 0xf];
    }
    return hex;
}

bool fromHex(const std::string& hex, std::string& bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    const auto value = [](char digit) {
        if (digit >= '0' && digit <= '9')
            return digit - '0';
        if (digit >= 'a' && digit <= 'f')
            return digit - 'a' + 10;
        return -1;
    };
    bytes.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = value(hex[i]);
        const int low = value(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

} // namespace PeerProtocol

using namespace PeerProtocol;

LinePeer::LinePeer(std::FILE* requests, std::FILE* replies) : requests(requests), replies(replies) {}

void LinePeer::start(const std::string& request)
{
    if (std::fputs((request + '\n').c_str(), requests) < 0 || std::fflush(requests) != 0)
        throw Broken("the peer takes no more requests");
}

std::string LinePeer::finish()
{
    std::string reply;
    for (int c; (c = std::fgetc(replies)) != '\n';) {
        if (c == EOF)
            throw Broken("the peer has gone");
        reply += static_cast<char>(c);
    }
    if (!reply.empty() && reply.back() == '\r')
        reply.pop_back();
    const std::string prefix = std::string(ok);
    if (reply.compare(0, prefix.size(), prefix) != 0)
        throw Broken("the peer answers: " + reply);
    return reply.size() > prefix.size() ? reply.substr(prefix.size() + 1) : std::string();
}

std::string LinePeer::exchange(const std::string& request)
{
    start(request);
    return finish();
}

std::string LinePeer::newLine(Flow flow)
{
    return exchange(std::string(line) + ' ' + flowName(flow));
}

std::string LinePeer::missingName()
{
    return exchange(missing);
}

LinePeer::Settings LinePeer::settings()
{
    std::istringstream reply(exchange(PeerProtocol::settings));
    Settings current;
    std::string flow;
    if (!(reply >> current.baudRate >> current.stopBits >> flow) || !flowFromName(flow, current.flow))
        throw Broken("the peer cannot tell the line's settings");
    return current;
}

void LinePeer::send(const std::string& bytes)
{
    exchange(std::string(PeerProtocol::send) + ' ' + toHex(bytes));
}

void LinePeer::sendAfter(int milliseconds, const std::string& bytes)
{
    exchange(std::string(PeerProtocol::sendAfter) + ' ' + std::to_string(milliseconds) + ' ' + toHex(bytes));
}

std::string LinePeer::receive(std::size_t count, int timeoutMs)
{
    startReceive(count, timeoutMs);
    return finishReceive();
}

void LinePeer::startReceive(std::size_t count, int timeoutMs)
{
    start(std::string(PeerProtocol::receive) + ' ' + std::to_string(count) + ' ' + std::to_string(timeoutMs));
}

std::string LinePeer::finishReceive()
{
    std::string bytes;
    if (!fromHex(finish(), bytes))
        throw Broken("the peer's bytes are no hex");
    return bytes;
}

void LinePeer::startEcho(int count, int timeoutMs)
{
    start(std::string(echo) + ' ' + std::to_string(count) + ' ' + std::to_string(timeoutMs));
}

int LinePeer::finishEcho()
{
    return std::atoi(finish().c_str());
}

void LinePeer::hangUp()
{
    exchange(PeerProtocol::hangUp);
}

bool LinePeer::heldForOtherPrograms()
{
    return exchange(held) == "yes";
}
