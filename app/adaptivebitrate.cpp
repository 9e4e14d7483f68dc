#include "adaptivebitrate.h"

#include <algorithm>
#include <cmath>

void AdaptiveBitrate::reset(int operatorKbps, bool canProbe, int soundKbps) {
    *this = AdaptiveBitrate();
    target = operatorKbps;
    current = operatorKbps;
    overheadKbps = soundKbps * kSoundWire + kTablesKbps;
    this->canProbe = canProbe;
}

int AdaptiveBitrate::floorKbps() const {
    return int(std::ceil(target * kFloorShare));
}

void AdaptiveBitrate::afterStepDown() {
    sinceStepMs = 0;
    backlogMs = 0;
    congestedMs = 0;
    congestedDelivered = 0;
    lossyMs = 0;
    lossyDelivered = 0;
    cleanMs = 0;
    unchangedMs = 0;
    drainMs = kDrainMs;
    probeWaitMs = kCleanBeforeProbeMs;
    probeShare = kFirstProbeShare;
    probeKbps = 0;
}

AdaptiveBitrate::Step AdaptiveBitrate::onSample(const LinkStats &stats) {
    Step step;
    if (!stats.valid() || stats.sequence <= lastSequence || target <= 0)
        return step;
    lastSequence = stats.sequence;
    const int ms = stats.intervalMs > 0 ? stats.intervalMs : 1000;

    if (stats.rttMs > 0)
        leastRttMs = leastRttMs < 0 ? stats.rttMs : std::min(leastRttMs, stats.rttMs);
    const double baseRttMs = std::max(leastRttMs, 0.0);
    const bool queuedNow = leastRttMs >= 0 && stats.rttMs - leastRttMs > std::max(kQueueMs, leastRttMs / 2);
    // One high round trip in a short sample may be the machine, not the link (a receiver thread that ran late); two
    // in a row are not.
    const bool queued = queuedNow && (queuedBefore || ms >= kLastingMs);
    queuedBefore = queuedNow;
    // Packets wait in the send buffer for their acknowledgement, a round trip even on an idle link.
    const bool full =
        stats.latencyMs > 0 && stats.sendBufferMs > baseRttMs + double(stats.latencyMs) / kSendBufferLatencyDivisor;
    runMs += ms;
    sinceStepMs += ms;
    const bool lossyNow = stats.lostPercent() > kLossPercent;
    // A quarter second holds few packets: two lost may be 2 %. Loss that lasts is not chance.
    const bool lossy = lossyNow && (lossyBefore || ms >= kLastingMs);
    lossyBefore = lossyNow;
    const bool dropped = stats.droppedInterval > 0;
    // A full buffer that empties faster than it fills is the backlog of a step already taken, not a new one.
    const double handedKbps = stats.inputKbps + stats.paddingKbps;
    const bool measured = handedKbps > 0;
    const bool draining = measured && stats.deliveredKbps > handedKbps * kDrainingShare;
    const bool growing = measured && stats.deliveredKbps * kDrainingShare < handedKbps;
    // A queue that was there from the first sample never shows in the round trip; a buffer that grows while
    // packets are lost is the same link.
    const bool congested = ((full && (queuedNow || (lossyNow && growing))) || dropped) && !draining;
    const bool clean = !full && !queued && !lossy && !dropped;

    congestedMs = congested ? congestedMs + ms : 0;
    congestedDelivered = congested && measured ? congestedDelivered + stats.deliveredKbps * ms : 0;
    if (!congested || !measured)
        congestedLeast = -1;
    else
        congestedLeast = congestedLeast < 0 ? stats.deliveredKbps : std::min(congestedLeast, stats.deliveredKbps);
    lossyMs = lossyNow ? lossyMs + ms : 0;
    if (!congested && !lossyNow)
        backlogMs = 0;
    lossyDelivered = lossyNow && measured ? lossyDelivered + stats.deliveredKbps * ms : 0;
    cleanMs = clean ? cleanMs + ms : 0;
    unchangedMs += ms;
    // What the stream costs on the wire beside the video the encoder is asked for (sound in its small packets,
    // headers; less than nothing when the picture is simple), learnt while nothing changes, so that a step lands
    // where the link has room.
    if (measured && clean && unchangedMs >= kSteadyMs && probeKbps == 0 && stats.paddingKbps == 0)
        overheadKbps += kOverheadLearning * (stats.inputKbps - current * kVideoWire - overheadKbps);

    if (probeKbps > 0) {
        // The first sign of a queue ends the probe: the padding goes at once, the encoder never noticed.
        if (!clean) {
            step.paddingKbps = 0;
            step.reason = QStringLiteral("probe of %1 kbit/s found no room").arg(probeKbps);
            probeKbps = 0;
            probeShare = kFirstProbeShare;
            probeWaitMs = kProbeRetryMs;
            congestedMs = 0;
            congestedDelivered = 0;
            // The probe's own queue drains before the link is judged again.
            drainMs = kProbeDrainMs;
            unchangedMs = 0;
            return step;
        }
        // Only time with the padding on the wire counts; the relay starts it at its next pulse.
        if (stats.paddingKbps >= probeKbps / 2.0)
            probedMs += ms;
        if (probedMs < kProbeMs)
            return step;
        const int higher =
            std::min(target, std::max(current + 1, int(std::lround(current * (1 + probeShare) * kProbeKeep))));
        step.paddingKbps = 0;
        step.kbps = higher;
        step.reason = QStringLiteral("link carried %1 kbit/s of padding for %2 s")
                          .arg(probeKbps)
                          .arg(double(probedMs) / 1000, 0, 'f', 1);
        current = higher;
        probeKbps = 0;
        probeShare = std::min(kLargestProbeShare, probeShare * 2);
        probeWaitMs = kAfterProbeMs;
        cleanMs = 0;
        unchangedMs = 0;
        return step;
    }

    if (drainMs > 0) {
        drainMs -= ms;
        congestedMs = 0;
        congestedDelivered = 0;
        return step;
    }

    const bool congestedLong = congestedMs >= kCongestedMs;
    if ((congestedLong || lossyMs >= kLossyMs) && current > floorKbps()) {
        // To what the link delivered, less the headroom, in the encoder's terms. Without the delivered figure
        // (RIST), a fifth.
        // In a run's first seconds the link's queues and shaper let through at once what they hold: the least of
        // the window then, its average later.
        const double delivered = !congestedLong     ? lossyDelivered / lossyMs
                                 : runMs < kStartMs ? congestedLeast
                                                    : congestedDelivered / congestedMs;
        int lower = int(std::lround(current * kStepDownFactor));
        if (delivered > 0) {
            lower = int(std::lround((delivered * kHeadroom - std::max(overheadKbps, 0.0)) / kVideoWire));
            // The encoder already fits what the link delivers: what still congests it is the backlog of before (the
            // repairs of what was lost meanwhile), which time clears. Should it not, the link is stepped down anyway.
            if (lower >= current * kSmallestStep) {
                backlogMs += ms;
                if (backlogMs < kBacklogMs)
                    return step;
                lower = int(std::lround(current * kStepDownFactor));
            }
        }
        // Not below two fifths at once: what a congested link is seen to deliver is disturbed by the congestion.
        // Right after a step, by the repairs of what was lost before it, which take the link from the stream for a
        // while: a step that follows one closely goes less deep.
        const double deepest = sinceStepMs < kFollowingMs ? kDeepestFollowingStep : kDeepestStep;
        lower = std::max(lower, int(std::lround(current * deepest)));
        lower = std::min(current - 1, std::max(floorKbps(), lower));
        if (congestedLong)
            step.reason = QStringLiteral("link congested for %1 s: send buffer %2 ms, round trip %3 ms, delivered "
                                         "%4 kbit/s of %5")
                              .arg(double(congestedMs) / 1000, 0, 'f', 2)
                              .arg(stats.sendBufferMs, 0, 'f', 0)
                              .arg(stats.rttMs, 0, 'f', 0)
                              .arg(delivered, 0, 'f', 0)
                              .arg(handedKbps, 0, 'f', 0);
        else
            step.reason = QStringLiteral("loss %1 % for %2 s")
                              .arg(stats.lostPercent(), 0, 'f', 1)
                              .arg(double(lossyMs) / 1000, 0, 'f', 1);
        step.kbps = lower;
        current = lower;
        afterStepDown();
        return step;
    }

    if (current < target && cleanMs >= probeWaitMs) {
        if (canProbe) {
            const double stream = stats.inputKbps > 0 ? stats.inputKbps : double(current);
            probeKbps = std::max(1, int(std::lround(stream * probeShare)));
            probedMs = 0;
            unchangedMs = 0;
            step.paddingKbps = probeKbps;
            step.reason = QStringLiteral("probing the link with %1 kbit/s of padding").arg(probeKbps);
        } else if (cleanMs >= kCleanMs) {
            const int higher = std::min(target, std::max(current + 1, int(std::lround(current * kStepUpFactor))));
            step.reason = QStringLiteral("link clean for %1 s").arg(cleanMs / 1000);
            step.kbps = higher;
            current = higher;
            cleanMs = 0;
            unchangedMs = 0;
        }
    }
    return step;
}
