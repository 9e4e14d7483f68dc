#pragma once

#include "linkstats.h"

#include <QString>

// Bends the video bitrate to the link from the relay's samples, which may come several times a second (times
// below are stream time, summed from the samples' own intervals). Pure logic: the caller applies the steps.
//
// Down: the link is congested when the send buffer holds more than a quarter of the SRT latency beyond the round
// trip while the round trip has grown above its least (a queue fills), or when the sender had to drop packets, and
// the buffer is not emptying. Congested for half a second, the bitrate steps down to the least the link delivered
// meanwhile (the acknowledged share of what was handed over), less a fifth. Loss above 2 % takes 2 s, for loss
// without a queue may be the link's own, which a lower bitrate does not cure; the step is to what was delivered on
// average. Without the delivered figure (RIST) a step is a fifth. At most to three tenths at once, never below a
// quarter of the operator's value; after a step the link gets the time its queue needs to drain at the new rate
// (one to three seconds) before it is judged again. In a run's first two seconds only a queue that outlasts the
// encoder's starting burst, a second, counts, and the step is to two fifths.
//
// Up: the relay can add padding (SRT), so the link is probed before the encoder is asked for more: after 3 clean
// seconds, padding of half the stream (no more than the operator's value needs) for 1.5 s. If the link carries it
// all, the bitrate rises to a fifth below what the link carried, and the next probe, twice as large, follows a
// second later; at the first sign of a queue, or when the link acknowledges less than nine tenths of what it is
// handed, the padding stops, the bitrate stays and the next probe waits 5 s. A stream is thus never above four
// fifths of what its link was seen to carry: on a steady link it stays where it settled, and on a widened one it
// is back at the operator's value within a few probes. Without padding (RIST), ten clean seconds step the bitrate
// up by a tenth.
class AdaptiveBitrate {
public:
    static constexpr double kFloorShare = 0.25;
    static constexpr double kStepDownFactor = 0.8;
    static constexpr double kDeepestStep = 0.3;
    static constexpr double kStartStep = 0.4;
    static constexpr double kDeepestFollowingStep = 0.7;
    static constexpr int kFollowingMs = 3000;
    static constexpr int kStartMs = 2000;
    static constexpr int kStartCongestedMs = 1000;
    // A sign seen for this long (in one sample or two) is the link's, not chance.
    static constexpr int kLastingMs = 500;
    static constexpr double kHeadroom = 0.8;
    static constexpr double kLossPercent = 2.0;
    static constexpr int kLossyMs = 2000;
    static constexpr int kCongestedMs = 500;
    static constexpr int kDrainMs = 1000;
    // After a step to where the link has room, the queue's drain at the new rate is waited for, up to this; the
    // encoder takes half a second to follow.
    static constexpr int kLongestDrainMs = 3000;
    static constexpr int kEncoderFollowMs = 500;
    // A step smaller than this is no step: the link's trouble is its backlog. Unless that lasts kBacklogMs.
    static constexpr double kSmallestStep = 0.95;
    static constexpr int kBacklogMs = 3000;
    static constexpr int kSendBufferLatencyDivisor = 4;
    // Acknowledged this much faster than handed over: the buffer empties.
    static constexpr double kDrainingShare = 1.02;
    // A round trip this much above its least (and at least half of it again) means a queue on the way.
    static constexpr double kQueueMs = 20;
    static constexpr int kCleanBeforeProbeMs = 3000;
    static constexpr int kProbeMs = 1500;
    static constexpr double kFirstProbeShare = 0.5;
    static constexpr double kLargestProbeShare = 1.0;
    // A probe whose link acknowledged less than this share of what it was handed found no room.
    static constexpr double kProbeCarried = 0.9;
    static constexpr int kAfterProbeMs = 1000;
    // Of a probe, this much time is needed to judge what the link acknowledged: a group of pictures.
    static constexpr int kProbeJudgedMs = 1000;
    static constexpr int kProbeRetryMs = 5000;
    // The video's share of the wire: its TS and SRT headers.
    static constexpr double kVideoWire = 1.05;
    // What the rest of the stream costs until measured: sound travels in small packets, each AAC frame in whole TS
    // packets of its own, at about two and a half times its bitrate; and the tables and clock of the stream.
    static constexpr double kSoundWire = 2.5;
    static constexpr double kTablesKbps = 20;
    static constexpr double kOverheadLearning = 0.05;
    static constexpr double kStreamSmoothing = 0.25;
    // Unchanged this long before the stream's cost on the wire is learnt.
    static constexpr int kSteadyMs = 2000;
    static constexpr double kStepUpFactor = 1.1;
    static constexpr int kCleanMs = 10000;
    // Samples come a pulse apart, give or take a few milliseconds: two of 249 ms are half a second.
    static constexpr int kSampleSlackMs = 10;

    struct Step {
        int kbps = 0;         // 0: no change
        int paddingKbps = -1; // the padding the relay sends from now on; -1: no change
        QString reason;
    };

    // canProbe: the relay can add padding on request (SRT). soundKbps: the sound's bitrate (0 for none).
    void reset(int operatorKbps, bool canProbe, int soundKbps);
    // One sample of the running stream; a sample seen before (same sequence) changes nothing.
    Step onSample(const LinkStats &stats);

    int currentKbps() const { return current; }
    int operatorKbps() const { return target; }
    int floorKbps() const;
    bool probing() const { return probeKbps > 0; }

private:
    static bool lasted(int ms, int limit);
    // The stream on the wire for a video bitrate, and back; the rest of the stream as learnt.
    int wireKbps(int videoKbps) const;
    int videoKbpsFor(double wireKbps) const;
    // How long a queue takes to drain over a link of that rate under a stream of this one.
    static int drainTimeMs(double queueMs, double linkKbps, double streamKbps);
    void afterStepDown(int drainTime);
    // The probe now running (0: none), with its figures from nothing.
    void setProbe(int kbps);

    int target = 0;
    int current = 0;
    bool canProbe = false;
    quint64 lastSequence = 0;
    double leastRttMs = -1;
    bool queuedBefore = false;
    bool lossyBefore = false;
    int sinceStepMs = kFollowingMs;
    int runMs = 0;
    double congestedLeast = -1;
    int congestedMs = 0;
    int lossyMs = 0;
    int backlogMs = 0;
    double lossyDelivered = 0;
    int cleanMs = 0;
    // Time since the bitrate or the padding last changed: the encoder follows a change within a second or two.
    int unchangedMs = 0;
    double overheadKbps = 0;
    // The stream handed over, averaged over a few pulses.
    double streamKbps = 0;
    int drainMs = 0;
    // The clean time the next probe waits for, and the next probe's size as a share of the stream.
    int probeWaitMs = kCleanBeforeProbeMs;
    double probeShare = kFirstProbeShare;
    int probeKbps = 0;
    int probedMs = 0;
    int probeJudgedMs = 0;
    double probeHandedKbit = 0;
    double probeDeliveredKbit = 0;
};
