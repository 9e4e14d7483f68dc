#include "sldframeclock.h"

#include "mfformat.h"

SLDFrameClock::SLDFrameClock(double frameRate)
    : duration(frameRate > 0.0 ? double(MF_TIME_UNITS_PER_SECOND) / frameRate : 0.0) {}

uint64_t SLDFrameClock::next() {
    const double t = double(count) * duration;
    uint64_t stop = uint64_t(t);
    truncationCarry += t - double(stop);
    if (truncationCarry > CARRY_LIMIT) {
        stop = uint64_t(truncationCarry + double(stop));
        truncationCarry = t - double(stop);
    }
    ++count;
    return stop;
}
