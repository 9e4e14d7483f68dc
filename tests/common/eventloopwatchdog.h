#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Tells how long the event loop of the thread it lives on went without turning: a timer ticks every interval
// and the longest time between two ticks is kept. A loop that is blocked right now counts as well, since the
// time since the last tick is part of the figure.
class EventLoopWatchdog : public QObject {
public:
    static constexpr int kDefaultIntervalMs = 50;

    explicit EventLoopWatchdog(int intervalMs = kDefaultIntervalMs, QObject *parent = nullptr);

    // Starts (again) from a worst gap of zero.
    void start();
    void stop();
    // The longest time between two ticks since start(), in milliseconds, including the current one.
    qint64 worstGapMs() const;
    int ticks() const { return tickCount; }

private:
    void tick();

    QTimer timer;
    QElapsedTimer sinceTick;
    qint64 worstMs = 0;
    int tickCount = 0;
};
