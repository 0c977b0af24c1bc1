#include "runprogress.h"

RunProgress::RunProgress(QObject* parent) : QObject(parent)
{
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, [this] { emit changed(text()); });
}

void RunProgress::begin(const QString& shownLocator)
{
    locator = shownLocator;
    channel.reset();
    channelCount = 0;
    timer.start();
    emit changed(text());
}

void RunProgress::channelStarted(quint32 started, quint32 count)
{
    channel = started;
    channelCount = count;
    channelClock.start();
    // The ticks count from the channel's start, so each second shows when it has passed.
    if (timer.isActive())
        timer.start();
    emit changed(text());
}

void RunProgress::end()
{
    timer.stop();
}

QString RunProgress::text() const
{
    if (!channel)
        return tr("%1: opening the controller and reading its channels").arg(locator);
    // Channels are numbered from 0, as the log numbers them.
    return tr("%1: calibrating channel %2 (%3 of %4) for %5 s")
        .arg(locator)
        .arg(*channel)
        .arg(*channel + 1)
        .arg(channelCount)
        .arg(channelClock.elapsed() / 1000);
}

#include "moc_runprogress.cpp"
