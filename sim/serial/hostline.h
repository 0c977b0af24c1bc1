// The host's end of a simulated controller's line, as a server waits on it from the master side
// of the pseudo-terminal: the host opening and closing its port (between runs, and three times in
// a handshake), the bytes it sends, and a request to stop.
#pragma once

class HostLine
{
public:
    enum class Event
    {
        HostOpened,
        HostClosed, // what the host wrote before it closed has been delivered as Input first
        Input,      // bytes to read on the master
        Stop,       // the stop descriptor became readable
        Failed      // the line cannot be waited on any more
    };

    // Waits for the next event on the master descriptor or the stop descriptor.
    Event wait(int masterDescriptor, int stopDescriptor);

    // Waits up to timeoutMs; true when the stop descriptor became readable.
    static bool stopRequested(int stopDescriptor, int timeoutMs);

private:
    bool hostOnLine = false;
};
