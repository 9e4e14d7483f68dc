#pragma once

#include "linkstats.h"

#include <QString>

// Bends the video bitrate to the link, from the relay's once-a-second figures: a send buffer past a quarter of the
// SRT latency, or loss above 2 %, for 2 s steps it down by 20 % (never below a quarter of the operator's value);
// ten clean seconds step it up by 10 % toward the operator's value. Pure logic: the caller applies the steps.
class AdaptiveBitrate {
public:
    static constexpr double kStepDownFactor = 0.8;
    static constexpr double kStepUpFactor = 1.1;
    static constexpr double kFloorShare = 0.25;
    static constexpr double kLossPercent = 2.0;
    static constexpr int kLossySeconds = 2;
    // One full second is not yet a full link: libsrt's sender thread lags that long on a busy machine.
    static constexpr int kFullSeconds = 2;
    static constexpr int kCleanSeconds = 10;
    // After a step down the buffer the link built up needs time to drain before it is judged again.
    static constexpr int kSettleSeconds = 2;
    static constexpr int kSendBufferLatencyDivisor = 4;

    struct Step {
        int kbps = 0; // 0: no change
        QString reason;
    };

    void reset(int operatorKbps);
    // One sample of the running stream; a sample seen before (same sequence) changes nothing.
    Step onSample(const LinkStats &stats);

    int currentKbps() const { return current; }
    int operatorKbps() const { return target; }
    int floorKbps() const;

private:
    int target = 0;
    int current = 0;
    quint64 lastSequence = 0;
    int lossySeconds = 0;
    int fullSeconds = 0;
    int cleanSeconds = 0;
    int settleSeconds = 0;
};
