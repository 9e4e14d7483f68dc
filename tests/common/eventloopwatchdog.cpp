#include "eventloopwatchdog.h"

#include <algorithm>

EventLoopWatchdog::EventLoopWatchdog(int intervalMs, QObject *parent) : QObject(parent) {
    // A coarse timer may fire up to 5 % late by design, which would count as a gap the loop did not cause.
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(intervalMs);
    connect(&timer, &QTimer::timeout, this, &EventLoopWatchdog::tick);
}

void EventLoopWatchdog::start() {
    worstMs = 0;
    tickCount = 0;
    sinceTick.start();
    timer.start();
}

void EventLoopWatchdog::stop() {
    worstMs = worstGapMs();
    timer.stop();
    sinceTick.invalidate();
}

qint64 EventLoopWatchdog::worstGapMs() const {
    return sinceTick.isValid() ? std::max(worstMs, sinceTick.elapsed()) : worstMs;
}

void EventLoopWatchdog::tick() {
    worstMs = std::max(worstMs, sinceTick.restart());
    ++tickCount;
}
