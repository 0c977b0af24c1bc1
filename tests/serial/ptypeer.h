#pragma once

#include "linepeer.h"

#include <chrono>
#include <string>
#include <vector>

// The serving side of LinePeer (POSIX): each line is a fresh pseudo-terminal, played on its master side.
// Natively a line is opened by its terminal's path; for a Windows program under Wine, by a COM port that
// a link in the prefix's dosdevices folder maps onto the terminal (Wine's own way to reach a device).
class PtyPeer
{
public:
    // dosDevices: the Wine prefix's dosdevices folder, or empty for native names.
    explicit PtyPeer(std::string dosDevices = std::string());
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    enum class Served
    {
        Ended,     // the requests ended
        WentSilent // no request came within the silence bound
    };
    // Answers the requests that come in on the descriptor in, on out, until in ends or, with a silence
    // bound, until no request has come for that long since the last reply.
    Served serve(int in, int out, std::chrono::milliseconds silenceBound = std::chrono::milliseconds::zero());
    // Starts command with its standard input and output connected to this peer, serves it until it
    // closes them, and returns its exit status (128 + signal when a signal ended it, 127 when it could
    // not start). A command that stops asking for long is taken for one that hangs, and ended.
    int serveCommand(char* const command[]);

private:
    using Clock = std::chrono::steady_clock;
    struct Scheduled
    {
        Clock::time_point due;
        std::string bytes;
    };

    std::string handle(const std::string& request);
    std::string openLine(const std::string& flowName);
    std::string settingsReply() const;
    bool writeAll(const std::string& bytes);
    std::string readFromPort(std::size_t count, Clock::time_point deadline);
    int answerPort(int count, Clock::time_point deadline);
    bool heldForOtherPrograms() const;
    void sendWhatIsDue();
    void closeLine();

    std::string dosDevices;
    int nextComPort;
    int master = -1;
    std::string slavePath;
    std::string lastRequest;
    std::vector<Scheduled> scheduled;
};
