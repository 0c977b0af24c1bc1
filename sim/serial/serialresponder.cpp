#include "serialresponder.h"

#include "simcodes.h"

#include <utility>
#include <vector>

// A reply line before it is written: its name and values. Values are 64-bit so that the -1 of an
// acknowledge and the out-of-range value of a fault can both be written as they are.
struct SerialResponder::Reply
{
    std::string name;
    std::vector<int64_t> values;

    static Reply acknowledge(int64_t channel, uint32_t code) { return {"E", {channel, code}}; }
};

namespace {

constexpr int64_t NoChannel = -1;
constexpr int64_t BeyondUInt32 = int64_t(1) << 32;
constexpr uint32_t NoStatus = UINT32_MAX;

// The single argument of "CS3", "SSE2": an unsigned 32-bit decimal number, nothing else.
bool numberArgument(std::string_view argument, uint32_t& value)
{
    return SimScenario::parseNumber(argument, value);
}

// "CB115200,1": the new speed and a second number, which the simulated controller does not use.
bool speedChangeArgument(std::string_view argument, uint32_t& baudRate)
{
    const size_t comma = argument.find(',');
    uint32_t unused = 0;
    return comma != std::string_view::npos && numberArgument(argument.substr(0, comma), baudRate) &&
           baudRate > 0 && numberArgument(argument.substr(comma + 1), unused);
}

} // namespace

SerialResponder::SerialResponder(SimScenario scenario, SerialFaults faults)
    : controller(std::move(scenario)), faults(std::move(faults))
{
}

std::unique_ptr<SerialResponder> SerialResponder::fromScenario(std::string_view text, std::string* error)
{
    SerialFaults faults;
    const auto serialItem = [&faults](std::string_view key, std::string_view value) {
        return faults.applyItem(key, value);
    };
    std::optional<SimScenario> scenario = SimScenario::parse(text, error, serialItem);
    if (!scenario)
        return nullptr;
    return std::make_unique<SerialResponder>(std::move(*scenario), std::move(faults));
}

std::string_view SerialResponder::commandWord(std::string_view command)
{
    size_t length = 0;
    while (length < command.size() && command[length] >= 'A' && command[length] <= 'Z')
        ++length;
    return command.substr(0, length);
}

SerialAnswer SerialResponder::answer(std::string_view command)
{
    SerialAnswer result;
    const std::string_view word = commandWord(command);
    if (silent && silenceEnds && std::chrono::steady_clock::now() >= *silenceEnds) {
        silent = false;
        silenceOver = true;
        controller.noteTruth("answers-again");
    }
    if (silent) {
        // A silence that ends is a deaf line, not a dead controller: the command is carried out.
        if (silenceEnds)
            replyTo(word, command.substr(word.size()));
        return result;
    }
    // hangupafter singles out one command by its place in the session, such as one status poll of a
    // channel's wait, which hangup=GS cannot.
    const std::optional<uint32_t> hangUpLimit = faults.hangUpAfter();
    if (faults.has(SerialFaults::Kind::HangUp, word) || (hangUpLimit && answered >= *hangUpLimit)) {
        controller.noteTruth("hangup");
        result.hangUp = true;
        return result;
    }
    // A silent controller is a dead one: it no longer carries out what it is told either.
    const std::optional<uint32_t> limit = faults.silentAfter();
    if (!silenceOver && (faults.has(SerialFaults::Kind::Silent, word) || (limit && answered >= *limit))) {
        silent = true;
        if (const std::optional<uint32_t> length = faults.silenceLength()) {
            silenceEnds = std::chrono::steady_clock::now() + std::chrono::milliseconds(*length);
            controller.noteTruth("muted");
            replyTo(word, command.substr(word.size()));
            return result;
        }
        controller.noteTruth("silent");
        return result;
    }

    Reply reply = replyTo(word, command.substr(word.size()));
    if (reply.name.empty())
        return result;
    ++answered;
    result.bytes = faults.noiseFor(word) + render(word, std::move(reply));
    result.byteDelayMs = faults.byteDelayFor(word);
    return result;
}

SerialResponder::Reply SerialResponder::replyTo(std::string_view word, std::string_view argument)
{
    uint32_t number = 0;
    const bool hasNumber = numberArgument(argument, number);
    if (word == "CB" && speedChangeArgument(argument, number)) {
        lineBaudRate = number; // switched at once, and not answered
        return {};
    }
    if (word == "GIV" && argument.empty())
        return {"IV", {FirmwareVersion[0], FirmwareVersion[1], FirmwareVersion[2]}};
    // The host switches its own echo and reporting off with SCM0; the simulation has neither.
    if (word == "SCM" && hasNumber)
        return Reply::acknowledge(NoChannel, controller.open());

    uint32_t value = 0;
    if (word == "GNC" && argument.empty()) {
        const uint32_t code = controller.getNumberOfChannels(value);
        return code ? Reply::acknowledge(NoChannel, code) : Reply{"N", {value}};
    }
    if (word == "GSE" && argument.empty()) {
        const uint32_t code = controller.getSensorEnabled(value);
        return code ? Reply::acknowledge(NoChannel, code) : Reply{"SE", {value}};
    }
    if (word == "SSE" && hasNumber)
        return Reply::acknowledge(NoChannel, controller.setSensorEnabled(number));
    if (word == "CS" && hasNumber)
        return Reply::acknowledge(number, controller.calibrateSensor(number));
    if (word == "GS" && hasNumber)
        return statusReply(number);
    if (word == "S" && hasNumber)
        return Reply::acknowledge(number, controller.stop(number));
    return Reply::acknowledge(NoChannel, NotUnderstood);
}

// A query has no room for a failure code, so a failed status read is acknowledged instead, which
// the host cannot take for a status. An injected status failure still lets the wait end: once the
// channel's calibration is over, the read reports the status.
SerialResponder::Reply SerialResponder::statusReply(uint32_t channel)
{
    uint32_t status = NoStatus;
    const uint32_t code = controller.getStatus(channel, status);
    if (code == SimCode::Ok || (status != NoStatus && status != SimController::StatusCalibrating))
        return {"S", {channel, status}};
    return Reply::acknowledge(channel, code);
}

std::string SerialResponder::render(std::string_view word, Reply reply) const
{
    using Kind = SerialFaults::Kind;
    if (faults.has(Kind::Garbage, word))
        return "#garbled#\n";
    if (faults.has(Kind::WrongName, word))
        reply.name = "W";
    if (faults.has(Kind::WrongChannel, word))
        reply.values.front() += 1; // -1 becomes 0, channel c becomes c + 1
    if (faults.has(Kind::BigValue, word))
        reply.values.back() = BeyondUInt32;
    if (faults.has(Kind::WrongCount, word)) {
        if (reply.values.size() > 1)
            reply.values.pop_back();
        else
            reply.values.push_back(0);
    }

    std::string line = ":" + reply.name;
    for (size_t i = 0; i < reply.values.size(); ++i) {
        if (i > 0)
            line += ',';
        line += std::to_string(reply.values[i]);
    }
    line += '\n';
    return line;
}
