// vkr-sim --replay: serves a recorded serial conversation on a pseudo-terminal. Each command the
// tool sends is answered with the bytes the controller sent after the same command in the
// recording, with the recorded gaps (shortened by the speed factor), and the line hangs up where
// it did. Where the tool's commands depart from the recording, the first difference is reported
// and nothing more is answered.
#pragma once

#include "commandassembler.h"
#include "ptymaster.h"
#include "ptyserver.h"
#include "serialreplay.h"

#include <cstdint>
#include <ostream>
#include <string>

class ReplayServer
{
public:
    // The range of the speed factor: from a gap a thousand times as long to one a thousand times
    // as short.
    static constexpr double SlowestSpeed = 0.001;
    static constexpr double FastestSpeed = 1000;

    // report receives the departure; log, when given, every command received and chunk sent.
    ReplayServer(const SerialReplay& replay, double speed, std::ostream& report, std::ostream* log = nullptr);

    bool open(std::string& error, const std::string& link = std::string())
    {
        return master.open(error, link);
    }
    std::string slavePath() const { return master.slavePath(); }

    // Serves until stopDescriptor is readable, the recording hangs the line up, or the line fails.
    PtyServer::End serve(int stopDescriptor);

    bool departed() const { return hasDeparted; }

private:
    enum class Step
    {
        Continue,
        Stop,
        HangUp,
        Fail
    };

    Step serveInput(int stopDescriptor);
    Step answer(const std::string& command, int stopDescriptor);
    // Sends the exchange's reply with its gaps, and hangs up where it does.
    Step play(const SerialReplay::Exchange& exchange, int stopDescriptor);
    // Waits delayUs (divided by the speed) past the previous deadline; false when told to stop.
    bool waitFor(int64_t delayUs, int stopDescriptor);
    void depart(const std::string& what);
    void logLine(const std::string& text);

    const SerialReplay& replay;
    const double speed;
    std::ostream& report;
    std::ostream* log;
    PtyMaster master;
    CommandAssembler assembler;
    std::size_t next = 0; // the exchange the next command must match
    bool hasDeparted = false;
    int64_t deadlineUs = 0; // of the steady clock
};
