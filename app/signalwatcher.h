// Turns the process's termination signals into a Qt signal on the thread that created the
// watcher: the handler only writes the signal's number to a socket pair, whose other end a
// QSocketNotifier reads in the event loop, so no Qt code runs inside a handler.
#pragma once

#include <QObject>
#include <vector>

class QSocketNotifier;

class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    // The signals a program ends on when asked from outside: Ctrl+C, a logout or kill, and a
    // terminal or SSH session that went away.
    static std::vector<int> terminationSignals();

    // Installs the handlers at once. One watcher at a time per process; its destruction gives
    // the signals back the handling they had before. Where the platform has no such signals, it never reports
    // one.
    explicit SignalWatcher(std::vector<int> signalNumbers = terminationSignals(), QObject* parent = nullptr);
    ~SignalWatcher() override;

signals:
    // Emitted once for every arrival, in the event loop of the watcher's thread.
    void received(int signalNumber);

private:
    void readPending();

    QSocketNotifier* notifier = nullptr;
    std::vector<int> watched;
};
