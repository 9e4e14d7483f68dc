#pragma once

// Frame-rate arithmetic of the live source, exact for the NTSC family (29.97 is 30000/1001, not 2997/100).
// Media-internal.

#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

// The rational rate for a rate as the record holds it; {0, 1} for rates of 0 or below.
AVRational mfFrameRateRational(double rate);

// Audio samples that belong to frames 0 .. frame-1 at the sample rate: rounded cumulatively, so that the
// per-frame counts alternate (1602, 1601, 1602, 1601, 1602 at 29.97 and 48 kHz: 8008 per 5 frames) and never
// drift from the exact total.
int64_t mfSamplesBefore(int64_t frame, int sampleRate, AVRational rate);

// Start time of a frame in units per second (1000000 for microseconds, 10000000 for the record's 100 ns).
int64_t mfFrameTime(int64_t frame, AVRational rate, int64_t unitsPerSecond);
