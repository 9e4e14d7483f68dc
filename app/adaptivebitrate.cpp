#include "adaptivebitrate.h"

#include <algorithm>
#include <cmath>

void AdaptiveBitrate::reset(int operatorKbps) {
    target = operatorKbps;
    current = operatorKbps;
    lastSequence = 0;
    lossySeconds = 0;
    fullSeconds = 0;
    cleanSeconds = 0;
    settleSeconds = 0;
}

int AdaptiveBitrate::floorKbps() const {
    return int(std::ceil(target * kFloorShare));
}

AdaptiveBitrate::Step AdaptiveBitrate::onSample(const LinkStats &stats) {
    Step step;
    if (!stats.valid() || stats.sequence <= lastSequence || target <= 0)
        return step;
    lastSequence = stats.sequence;

    const bool bufferFull =
        stats.latencyMs > 0 && stats.sendBufferMs > double(stats.latencyMs) / kSendBufferLatencyDivisor;
    const bool lossy = stats.lostPercent() > kLossPercent;
    lossySeconds = lossy ? lossySeconds + 1 : 0;
    fullSeconds = bufferFull ? fullSeconds + 1 : 0;
    const bool clean = !bufferFull && stats.lostInterval == 0 && stats.droppedInterval == 0;
    cleanSeconds = clean ? cleanSeconds + 1 : 0;
    if (settleSeconds > 0) {
        --settleSeconds;
        return step;
    }

    if ((fullSeconds >= kFullSeconds || lossySeconds >= kLossySeconds) && current > floorKbps()) {
        const int lower = std::max(floorKbps(), int(std::lround(current * kStepDownFactor)));
        step.reason = fullSeconds >= kFullSeconds
                          ? QStringLiteral("send buffer %1 ms past a quarter of the %2 ms latency")
                                .arg(stats.sendBufferMs, 0, 'f', 0)
                                .arg(stats.latencyMs)
                          : QStringLiteral("loss %1 % for %2 s").arg(stats.lostPercent(), 0, 'f', 1).arg(lossySeconds);
        step.kbps = lower;
        current = lower;
        lossySeconds = 0;
        fullSeconds = 0;
        cleanSeconds = 0;
        settleSeconds = kSettleSeconds;
        return step;
    }
    if (cleanSeconds >= kCleanSeconds && current < target) {
        const int higher = std::min(target, std::max(current + 1, int(std::lround(current * kStepUpFactor))));
        step.reason = QStringLiteral("link clean for %1 s").arg(cleanSeconds);
        step.kbps = higher;
        current = higher;
        cleanSeconds = 0;
    }
    return step;
}
