#include "mfsampleformat.h"

#include <cstdlib>

AVSampleFormat mfSampleFormatOfBits(int bitsPerSample) {
    switch (std::abs(bitsPerSample)) {
    case 8:
        return AV_SAMPLE_FMT_U8;
    case 16:
        return AV_SAMPLE_FMT_S16;
    case 24:
        return AV_SAMPLE_FMT_S32;
    case 32:
        return AV_SAMPLE_FMT_FLT;
    default:
        return AV_SAMPLE_FMT_NONE;
    }
}
