// The fastest controller a benchmark can have: a thread on the master side of a pseudo-terminal
// that answers every status read ":GS<c>" at once with ":S<c>,0", and the handshake's GIV and SCM0
// with their plain replies. Measures the host, not the controller.
#pragma once

#include "ptymaster.h"

#include <string>
#include <thread>

class StatusPeer
{
public:
    StatusPeer() = default;
    ~StatusPeer(); // stops the thread
    StatusPeer(const StatusPeer&) = delete;
    StatusPeer& operator=(const StatusPeer&) = delete;

    bool start(std::string& error);
    std::string slavePath() const { return master.slavePath(); }

private:
    void serve();
    void answer(const std::string& command);

    PtyMaster master;
    int stopPipe[2] = {-1, -1};
    std::thread thread;
};
