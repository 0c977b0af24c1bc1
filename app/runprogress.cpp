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

// What changes comes first, so that the channel and its seconds show also in a narrow window,
// whose title names the controller as well.
QString RunProgress::text() const
{
    if (!channel)
        return tr("Starting \u00b7 %1").arg(locator);
    // Channels are numbered from 0, as the log numbers them.
    return tr("Channel %1 (%2 of %3): %4 s \u00b7 %5")
        .arg(*channel)
        .arg(*channel + 1)
        .arg(channelCount)
        .arg(channelClock.elapsed() / 1000)
        .arg(locator);
}

#include "moc_runprogress.cpp"
