// What a run's worker signals reach: the device that shows the run, while one does. The worker
// outlives its device when the device is destroyed mid-run (a library call that does not return,
// then the admin's DevRestart); until the device made in its place takes the run over, the link
// holds what the run says, so that none of its log and not its end are lost.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <mutex>

class RunLink
{
public:
    using Message = std::function<void(const QString&)>;
    using Finished = std::function<void()>;

    // From now on the run's messages and its end go to these, beginning with what was held.
    void attach(Message message, Finished finished)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        onMessage = std::move(message);
        onFinished = std::move(finished);
        for (const QString& text : held)
            onMessage(text);
        held.clear();
        if (ended)
            onFinished();
        ended = false;
    }
    // Once this returns, no call reaches what was attached.
    void detach()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        onMessage = nullptr;
        onFinished = nullptr;
    }

    // What the worker's signals call, in the worker's thread.
    void message(const QString& text)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (onMessage)
            onMessage(text);
        else
            held << text;
    }
    void finished()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (onFinished)
            onFinished();
        else
            ended = true;
    }

private:
    std::mutex mutex;
    Message onMessage;
    Finished onFinished;
    QStringList held;
    bool ended = false;
};
