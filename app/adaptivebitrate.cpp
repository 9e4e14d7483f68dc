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

bool AdaptiveBitrate::lasted(int ms, int limit) {
    return ms + kSampleSlackMs >= limit;
}

int AdaptiveBitrate::wireKbps(int videoKbps) const {
    return int(std::lround(videoKbps * kVideoWire + std::max(overheadKbps, 0.0)));
}

int AdaptiveBitrate::videoKbpsFor(double wire) const {
    return int(std::lround((wire - std::max(overheadKbps, 0.0)) / kVideoWire));
}

int AdaptiveBitrate::drainTimeMs(double queueMs, double linkKbps, double streamKbps) {
    if (linkKbps <= streamKbps)
        return kDrainMs;
    const double ms = kEncoderFollowMs + queueMs * linkKbps / (linkKbps - streamKbps);
    return int(std::clamp(ms, double(kDrainMs), double(kLongestDrainMs)));
}

int AdaptiveBitrate::floorKbps() const {
    return int(std::ceil(target * kFloorShare));
}

void AdaptiveBitrate::afterStepDown(int drainTime) {
    sinceStepMs = 0;
    backlogMs = 0;
    congestedMs = 0;
    lossyMs = 0;
    lossyDelivered = 0;
    cleanMs = 0;
    unchangedMs = 0;
    drainMs = drainTime;
    streamKbps = 0;
    probeWaitMs = kCleanBeforeProbeMs;
    probeShare = kFirstProbeShare;
    setProbe(0);
}

void AdaptiveBitrate::setProbe(int kbps) {
    probeKbps = kbps;
    probedMs = 0;
    probeJudgedMs = 0;
    probeHandedKbit = 0;
    probeDeliveredKbit = 0;
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
    const bool queued = queuedNow && (queuedBefore || lasted(ms, kLastingMs));
    queuedBefore = queuedNow;
    // Packets wait in the send buffer for their acknowledgement, a round trip even on an idle link.
    const bool full =
        stats.latencyMs > 0 && stats.sendBufferMs > baseRttMs + double(stats.latencyMs) / kSendBufferLatencyDivisor;
    sinceStepMs += ms;
    runMs += ms;
    const bool lossyNow = stats.lostPercent() > kLossPercent;
    // A quarter second holds few packets: two lost may be 2 %. Loss that lasts is not chance.
    const bool lossy = lossyNow && (lossyBefore || lasted(ms, kLastingMs));
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
    if (measured && clean && lasted(unchangedMs, kSteadyMs) && probeKbps == 0 && stats.paddingKbps == 0)
        overheadKbps += kOverheadLearning * (stats.inputKbps - current * kVideoWire - overheadKbps);
    // A pulse with a key frame hands over twice what one without does: probes are sized on the average.
    if (measured)
        streamKbps = streamKbps > 0 ? streamKbps + kStreamSmoothing * (stats.inputKbps - streamKbps) : stats.inputKbps;
    const double queueMs = std::max(0.0, stats.sendBufferMs - baseRttMs);

    if (probeKbps > 0) {
        // Only time with the padding on the wire counts; the relay starts it at its next pulse. Its first round
        // trip is not yet acknowledged, so what the link carried is judged from then on.
        const bool padded = stats.paddingKbps >= probeKbps / 2.0;
        if (padded && probedMs >= baseRttMs && measured) {
            probeJudgedMs += ms;
            probeHandedKbit += handedKbps * ms / 1000;
            probeDeliveredKbit += stats.deliveredKbps * ms / 1000;
        }
        // A link that carries less than it is handed queues the rest: that is no room, before any queue shows.
        // Judged over a whole group of pictures: a key frame handed over late in one pulse is acknowledged in the
        // next.
        const bool shortOfPadding =
            lasted(probeJudgedMs, kProbeJudgedMs) && probeDeliveredKbit < probeHandedKbit * kProbeCarried;
        // The first sign of a queue ends the probe: the padding goes at once, the encoder never noticed.
        if (!clean || queuedNow || shortOfPadding) {
            const double carriedKbps =
                probeJudgedMs > 0 ? probeDeliveredKbit * 1000 / probeJudgedMs : stats.deliveredKbps;
            step.paddingKbps = 0;
            step.reason = QStringLiteral("probe of %1 kbit/s found no room").arg(probeKbps);
            setProbe(0);
            probeShare = kFirstProbeShare;
            probeWaitMs = kProbeRetryMs;
            cleanMs = 0;
            congestedMs = 0;
            // The probe's own queue drains before the link is judged again.
            drainMs = measured ? drainTimeMs(queueMs, carriedKbps, stats.inputKbps) : kDrainMs;
            unchangedMs = 0;
            return step;
        }
        if (padded)
            probedMs += ms;
        if (!lasted(probedMs, kProbeMs) || probeHandedKbit <= 0)
            return step;
        // What the link carried, stream and padding, with the same headroom as a step down: a stream that has
        // settled just below a narrow link's rate stays there, however often the probe passes.
        const double carriedKbps = probeDeliveredKbit * 1000 / probeJudgedMs;
        const int higher = std::min(target, videoKbpsFor(carriedKbps * kHeadroom));
        step.paddingKbps = 0;
        if (higher > current) {
            step.kbps = higher;
            step.reason = QStringLiteral("link carried %1 kbit/s with %2 kbit/s of padding for %3 s")
                              .arg(carriedKbps, 0, 'f', 0)
                              .arg(probeKbps)
                              .arg(double(probedMs) / 1000, 0, 'f', 1);
            current = higher;
            streamKbps = 0;
        }
        setProbe(0);
        probeShare = std::min(kLargestProbeShare, probeShare * 2);
        probeWaitMs = kAfterProbeMs;
        cleanMs = 0;
        unchangedMs = 0;
        return step;
    }

    if (drainMs > kSampleSlackMs) {
        drainMs -= ms;
        congestedMs = 0;
        return step;
    }

    // A run starts with the encoder's burst, which a link of the stream's rate queues for a moment; and what a link
    // delivers then, with its shaper's burst let through, says little of its rate. Congestion that lasts beyond the
    // burst steps to two fifths, and the queue of the start gets the longest time to drain.
    const bool starting = runMs < kStartMs;
    const bool congestedLong = lasted(congestedMs, starting ? kStartCongestedMs : kCongestedMs);
    if ((congestedLong || lasted(lossyMs, kLossyMs)) && current > floorKbps()) {
        // To what the link delivered, less the headroom, in the encoder's terms. Without the delivered figure
        // (RIST), a fifth.
        // A link that has just narrowed lets through at first what its queue and shaper hold: the least of the
        // window is its rate.
        const double delivered = !congestedLong ? lossyDelivered / lossyMs : congestedLeast;
        int lower = int(std::lround(current * kStepDownFactor));
        bool measuredStep = false;
        if (delivered > 0) {
            measuredStep = true;
            lower = videoKbpsFor(delivered * kHeadroom);
            // The encoder already fits what the link delivers: what still congests it is the backlog of before (the
            // repairs of what was lost meanwhile), which time clears. Should it not, the link is stepped down anyway.
            if (lower >= current * kSmallestStep) {
                backlogMs += ms;
                if (!lasted(backlogMs, kBacklogMs))
                    return step;
                lower = int(std::lround(current * kStepDownFactor));
                measuredStep = false;
            }
        }
        // Not below three tenths at once: what a congested link is seen to deliver is disturbed by the congestion.
        // Right after a step, by the repairs of what was lost before it, which take the link from the stream for a
        // while: a step that follows one closely goes less deep.
        const double deepest = lasted(sinceStepMs, kFollowingMs) ? kDeepestStep : kDeepestFollowingStep;
        const int wanted = lower;
        lower = std::max(lower, int(std::lround(current * deepest)));
        lower = std::min(current - 1, std::max(floorKbps(), lower));
        // A step to where the link has room waits for its queue to drain; one held back by the limits above is
        // judged again a second later.
        int drainTime = measuredStep && lower <= wanted ? drainTimeMs(queueMs, delivered, wireKbps(lower)) : kDrainMs;
        if (starting && congestedLong) {
            lower = std::min(current - 1, std::max(floorKbps(), int(std::lround(current * kStartStep))));
            drainTime = kLongestDrainMs;
        }
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
        afterStepDown(drainTime);
        return step;
    }

    if (current < target && lasted(cleanMs, probeWaitMs)) {
        if (canProbe) {
            // No larger than what would carry the operator's value.
            const double stream = streamKbps > 0 ? streamKbps : double(wireKbps(current));
            const double enough = wireKbps(target) / kHeadroom - stream;
            setProbe(std::max(1, int(std::lround(std::min(stream * probeShare, enough)))));
            unchangedMs = 0;
            step.paddingKbps = probeKbps;
            step.reason = QStringLiteral("probing the link with %1 kbit/s of padding").arg(probeKbps);
        } else if (lasted(cleanMs, kCleanMs)) {
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
