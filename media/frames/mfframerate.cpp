#include "mfframerate.h"

#include <cmath>

extern "C" {
#include <libavutil/mathematics.h>
}

AVRational mfFrameRateRational(double rate) {
    if (!(rate > 0.0) || !std::isfinite(rate))
        return AVRational{0, 1};
    // Rates of the NTSC family are written rounded (23.976, 29.97, 59.94); their true value is N*1000/1001.
    const double ntsc = rate * 1.001;
    const double whole = std::round(ntsc);
    if (std::fabs(rate - std::round(rate)) > 0.001 && std::fabs(ntsc - whole) < 0.005 && whole >= 1.0)
        return AVRational{int(whole) * 1000, 1001};
    if (std::fabs(rate - std::round(rate)) < 1e-9)
        return AVRational{int(std::round(rate)), 1};
    return av_d2q(rate, 1000000);
}

int64_t mfSamplesBefore(int64_t frame, int sampleRate, AVRational rate) {
    if (rate.num <= 0 || rate.den <= 0 || sampleRate <= 0 || frame <= 0)
        return 0;
    return av_rescale_rnd(frame, int64_t(sampleRate) * rate.den, rate.num, AV_ROUND_NEAR_INF);
}

int64_t mfFrameTime(int64_t frame, AVRational rate, int64_t unitsPerSecond) {
    if (rate.num <= 0 || rate.den <= 0)
        return 0;
    return av_rescale_rnd(frame, unitsPerSecond * rate.den, rate.num, AV_ROUND_NEAR_INF);
}
