#pragma once

#include <cstdint>

// Stop times of consecutive frames in 100 ns units. Truncating k x duration loses a fraction per
// frame; the fractions are summed and, once they pass 100 units, put into one frame's stop time.
class SLDFrameClock {
public:
    static constexpr double CARRY_LIMIT = 100.0;

    explicit SLDFrameClock(double frameRate);

    // The stop time of the next frame (the first frame's is 0).
    uint64_t next();
    double frameDuration() const { return duration; }
    double carry() const { return truncationCarry; }

private:
    double duration;
    uint64_t count = 0;
    double truncationCarry = 0.0;
};
