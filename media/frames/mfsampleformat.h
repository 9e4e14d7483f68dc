#pragma once

// The interleaved FFmpeg sample format a bitsPerSample value of an MF audio format stands for. Only code in
// media/ includes it (FFmpeg types).

extern "C" {
#include <libavutil/samplefmt.h>
}

// 8-bit unsigned, 16-bit signed, 24 bits in a 32-bit signed container, 32-bit float; the sign of
// bitsPerSample is not looked at. AV_SAMPLE_FMT_NONE for any other size (0: none asked for).
AVSampleFormat mfSampleFormatOfBits(int bitsPerSample);
