#include "signalwatcher.h"

#include <utility>

SignalWatcher::SignalWatcher(std::vector<int> signalNumbers, QObject* parent)
    : SignalWatcher(EndAtOnce(), std::move(signalNumbers), parent)
{
}

#include "moc_signalwatcher.cpp"
