// Serves a simulated controller on a pseudo-terminal: reads what the host sends, hands complete
// commands at the right line speed to the SerialResponder and writes its answers back, until told
// to stop or until the scenario hangs the line up.
#pragma once

#include "commandassembler.h"
#include "ptymaster.h"
#include "serialresponder.h"

#include <ostream>
#include <string>

class PtyServer
{
public:
    enum class End
    {
        Stopped, // the stop descriptor became readable
        HungUp,  // the scenario hung the line up; the pseudo-terminal is gone
        Failed   // the line could not be served any more
    };

    // log, when given, receives one line for every command received and answer sent, the noise
    // dropped and the host opening and closing the line.
    PtyServer(SerialResponder& responder, std::ostream* log = nullptr);

    bool open(std::string& error, const std::string& link = std::string())
    {
        return master.open(error, link);
    }
    std::string slavePath() const { return master.slavePath(); }

    // Serves until stopDescriptor is readable (a signal handler writes to a pipe) or the line ends.
    End serve(int stopDescriptor);

private:
    enum class Step
    {
        Continue,
        Stop,
        HangUp,
        Fail
    };

    Step serveInput(int stopDescriptor);
    Step carryOut(const std::string& command, int stopDescriptor);
    PtyMaster::Written send(const SerialAnswer& answer, int stopDescriptor);
    void reportNoise(uint32_t hostBaudRate);
    void logLine(const std::string& text);

    SerialResponder& responder;
    std::ostream* log;
    PtyMaster master;
    CommandAssembler assembler;
};
