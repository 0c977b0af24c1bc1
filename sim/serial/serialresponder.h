// The command interpreter of the simulated controller behind vkr-sim: answers each command line of
// the controller's ASCII protocol from a SimController, follows the speed change of the
// handshake, and applies the scenario's serial faults to what it answers.
#pragma once

#include "serialfaults.h"
#include "simcontroller.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// What the controller does about one command.
struct SerialAnswer
{
    // The bytes to send, noise included; empty when nothing is answered.
    std::string bytes;
    // Pause between two bytes of the answer, in ms; 0 sends it in one go.
    uint32_t byteDelayMs = 0;
    // The line is to be hung up now, without an answer.
    bool hangUp = false;
};

class SerialResponder
{
public:
    // The line speed after power-up, and the code acknowledging a command the controller does
    // not understand (unknown word, missing or malformed argument).
    static constexpr uint32_t PowerUpBaudRate = 9600;
    static constexpr uint32_t NotUnderstood = 300;
    // The firmware version that "GIV" reports.
    static constexpr int64_t FirmwareVersion[3] = {1, 0, 0};

    SerialResponder(SimScenario scenario, SerialFaults faults);

    // Parses a scenario with serial-fault items; null (and error, if given, says why) when it
    // does not parse.
    static std::unique_ptr<SerialResponder> fromScenario(std::string_view text, std::string* error = nullptr);

    // The speed the controller listens and answers at.
    uint32_t baudRate() const { return lineBaudRate; }
    bool isSilent() const { return silent; }

    // Carries out one command, given without its ':' and line feed, and says what to send back.
    SerialAnswer answer(std::string_view command);

    // The controller's own account of events goes to truth under name (see simtruth.h).
    void keepTruth(std::shared_ptr<SimTruth> truth, std::string name) { controller.keepTruth(truth, name); }
    // Notes in that account that the host closed the line, or that the controller ends, with the
    // channels still calibrating: a real controller carries on when its host goes away.
    void accountRunning(std::string_view event) { controller.accountRunning(event); }

    // The command word of a command text: its leading capital letters.
    static std::string_view commandWord(std::string_view command);

private:
    struct Reply;

    // The reply as the controller means it, before any fault; an empty name for no reply.
    Reply replyTo(std::string_view word, std::string_view argument);
    Reply statusReply(uint32_t channel);
    std::string render(std::string_view word, Reply reply) const;

    SimController controller;
    const SerialFaults faults;
    uint32_t lineBaudRate = PowerUpBaudRate;
    uint32_t answered = 0;
    bool silent = false;
    // When a silence of a given length ends; a controller falls silent once only.
    std::optional<std::chrono::steady_clock::time_point> silenceEnds;
    bool silenceOver = false;
};
