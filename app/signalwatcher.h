// Turns the process's termination signals into a Qt signal on the thread that created the
// watcher. On POSIX the handler only writes the signal's number to a socket pair, whose other end a
// QSocketNotifier reads in the event loop, so no Qt code runs inside a handler. On Windows a console
// control handler stands in for the signal handlers: Ctrl+C arrives as SIGINT, Ctrl+Break as SIGBREAK,
// and the console's closing, a logoff or a shutdown as SIGTERM. Optionally it ends the process at
// once, inside the handler, when signals keep coming.
#pragma once

#include <QObject>
#include <vector>

class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    // The signals a program ends on when asked from outside: Ctrl+C, a logout or kill, and a
    // terminal or SSH session that went away.
    static std::vector<int> terminationSignals();
    // Makes the signals that end a program for a failed write (a reader that went away, a file size
    // limit reached) leave it to the write to fail, so that each writer takes back and reports what
    // it could not write instead of the program ending with a torn line behind it.
    static void makeWriteFailuresErrors();
    // Gives the termination signals their default action, ending the program, until a watcher takes
    // them over, also where the program was started with them ignored (a shell's background job
    // ignores Ctrl+C). The watcher answers them whatever the program inherited, so without this a
    // signal would be ignored or answered depending only on whether it came before the watcher.
    static void endOnTerminationSignals();

    // The way out for a user whose request to stop is not being answered: a run stuck in a library
    // call, a main thread blocked while it waits for the run. On the arrival-th watched signal,
    // counted over all of them from the first, the handler writes the message to standard error and
    // ends the process with the status, whatever the threads are doing. 0 never ends it.
    // Before it ends the process, the handler calls cleanUp (when given), which must be
    // async-signal-safe: what must not outlive the process, such as the ports' lock files, goes with it.
    struct EndAtOnce
    {
        int arrival = 0;
        const char* message = "";
        int status = 0;
        void (*cleanUp)() = nullptr;
        // Called by the handler at every signal, before it is reported; async-signal-safe only.
        void (*atEverySignal)() = nullptr;
    };

    // Installs the handlers at once. One watcher at a time per process; its destruction gives
    // the signals back the handling they had before. Where the platform has no such signals, it never reports
    // one.
    explicit SignalWatcher(std::vector<int> signalNumbers = terminationSignals(), QObject* parent = nullptr);
    explicit SignalWatcher(EndAtOnce endAtOnce, std::vector<int> signalNumbers = terminationSignals(),
                           QObject* parent = nullptr);
    ~SignalWatcher() override;

    // Once the watcher is gone, its signals are ignored instead of given back the handling they had:
    // for a program whose work is done by then, where a signal would only lose the status it made.
    // Ignoring them before the watcher is made would leave a moment in which a signal is lost.
    void ignoreWhenGone();

signals:
    // Emitted once for every arrival, in the event loop of the watcher's thread (but the one that
    // ends the process at once).
    void received(int signalNumber);

private:
    void readPending();

    // What tells the watcher's thread that signals are waiting: a socket notifier on POSIX, an
    // event notifier on Windows.
    QObject* notifier = nullptr;
    std::vector<int> watched;
};
