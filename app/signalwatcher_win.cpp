// The Windows half of SignalWatcher: a console control handler, which the system calls on a thread of
// its own. It counts the event and sets an event object that a QWinEventNotifier waits on in the
// watcher's thread; no Qt code runs inside the handler.
#include "signalwatcher.h"

#include <QWinEventNotifier>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <utility>
#include <windows.h>

namespace {

// The events that arrived and are not yet reported, by signal number.
std::atomic<int> pendingSignals[NSIG];
HANDLE signalsPending = nullptr;
// The watched signals, read by the handler; set before it is installed.
std::vector<int> watchedSignals;

// The rule for ending at once, as on POSIX.
int endArrival = 0;
int endStatus = 0;
char endMessage[512];
DWORD endMessageLength = 0;
void (*endCleanUp)() = nullptr;
std::atomic<int> arrivals{0};

int signalOfEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_BREAK_EVENT:
        return SIGBREAK;
    default: // the console closed, a logoff, a shutdown
        return SIGTERM;
    }
}

BOOL WINAPI forwardConsoleEvent(DWORD event)
{
    const int signalNumber = signalOfEvent(event);
    if (std::find(watchedSignals.begin(), watchedSignals.end(), signalNumber) == watchedSignals.end())
        return FALSE; // the next handler decides; the last one ends the process
    if (endArrival > 0 && arrivals.fetch_add(1) + 1 >= endArrival) {
        if (endCleanUp)
            endCleanUp();
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), endMessage, endMessageLength, &written, nullptr);
        // As _exit on POSIX: no destructors, no waiting for the threads.
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(endStatus));
    }
    ++pendingSignals[signalNumber];
    SetEvent(signalsPending);
    // Once the console has closed, or the user logs off or the machine shuts down, the system ends
    // the process as soon as the handler returns (or a few seconds later): waiting here gives the
    // runs those seconds to stop their channels. The process's end ends this thread too.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

std::vector<int> SignalWatcher::terminationSignals()
{
    return {SIGINT, SIGBREAK, SIGTERM};
}

// Windows has neither SIGPIPE nor SIGXFSZ: a failed write already fails.
void SignalWatcher::makeWriteFailuresErrors() {}

// A console program's Ctrl+C ends it until a watcher takes it over; a parent that ignored it for its
// children (a new process group) is left as it chose.
void SignalWatcher::endOnTerminationSignals() {}

SignalWatcher::SignalWatcher(EndAtOnce endAtOnce, std::vector<int> signalNumbers, QObject* parent)
    : QObject(parent), watched(std::move(signalNumbers))
{
    endArrival = endAtOnce.arrival;
    endStatus = endAtOnce.status;
    endCleanUp = endAtOnce.cleanUp;
    endMessageLength = static_cast<DWORD>(std::min(std::strlen(endAtOnce.message), sizeof endMessage));
    std::memcpy(endMessage, endAtOnce.message, endMessageLength);
    arrivals = 0;
    watchedSignals.clear();
    for (const int signalNumber : watched)
        if (signalNumber > 0 && signalNumber < NSIG)
            watchedSignals.push_back(signalNumber);
    for (std::atomic<int>& pending : pendingSignals)
        pending = 0;
    signalsPending = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!signalsPending)
        return;
    auto* eventNotifier = new QWinEventNotifier(signalsPending, this);
    connect(eventNotifier, &QWinEventNotifier::activated, this, &SignalWatcher::readPending);
    notifier = eventNotifier;
    SetConsoleCtrlHandler(forwardConsoleEvent, TRUE);
}

SignalWatcher::~SignalWatcher()
{
    if (!notifier)
        return;
    SetConsoleCtrlHandler(forwardConsoleEvent, FALSE);
    delete notifier;
    CloseHandle(signalsPending);
    signalsPending = nullptr;
}

// A console event meets the C runtime's handling once this watcher's handler is removed; the
// watcher itself never changes that handling, so it is set now.
void SignalWatcher::ignoreWhenGone()
{
    for (const int signalNumber : watched)
        std::signal(signalNumber, SIG_IGN);
}

void SignalWatcher::readPending()
{
    for (const int signalNumber : watchedSignals)
        for (int count = pendingSignals[signalNumber].exchange(0); count > 0; --count)
            emit received(signalNumber);
}
