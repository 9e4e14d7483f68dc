#pragma once

#include "imfframe.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <cstdint>

// Glass-to-glass latency of a received feed, read off the timecode strip of its decoded frames. The thread that
// decodes measures every frame; any thread (a window's timer) reads the newest figure.
class MFGlassToGlass {
public:
    // A feed whose last readable strip is older than this has no figure.
    static constexpr int kStaleMs = 2000;

    // now: the network clock when the frame is decoded. Frames without a readable strip leave the figure as it is.
    void measure(const IMFFrame &frame, const QDateTime &now);
    // The newest latency in milliseconds; false when no strip was read within kStaleMs.
    bool latest(qint64 *ms) const;
    void reset();

    // "glass-to-glass 412 ms"
    static QString text(qint64 ms);

private:
    std::atomic<int64_t> latencyMs{0};
    std::atomic<int64_t> readAtMs{INT64_MIN};
};
