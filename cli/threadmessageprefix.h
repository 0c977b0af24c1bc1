// Puts a run's log prefix in front of the Qt messages its worker thread writes (the --debug lines
// of the commands sent), so that side-by-side runs' lines on standard error tell whose they are.
#pragma once

#include <QString>

class QThread;

class ThreadMessagePrefix
{
public:
    // Installs the message handler; one at a time per process. Its destruction puts the handler
    // of before back; every thread it names must have ended by then.
    ThreadMessagePrefix();
    ~ThreadMessagePrefix();
    ThreadMessagePrefix(const ThreadMessagePrefix&) = delete;
    ThreadMessagePrefix& operator=(const ThreadMessagePrefix&) = delete;

    // Messages from the thread, from now on, start with the prefix. May be called from any thread.
    void add(const QThread* thread, const QString& prefix);
};
