#pragma once

#include "imfframe.h"

#include <QDateTime>

#include <cstdint>

// One vertical interval timecode word (SMPTE 12M) as read back from a picture.
struct MFVitcCode {
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int frames = 0; // as coded: above 31 frames per second it counts pairs of frames
    bool flag35 = false;
    bool flag75 = false;
    uint32_t userBits = 0;

    // The frame number within its second, as the stamping side counted it at this rate.
    int frameInSecond(double frameRate) const;
    // The stamped UTC time of day, with the milliseconds the user bits carry, on the day within 12 hours of
    // reference (a stamp just before midnight read just after it belongs to the day before).
    QDateTime stampedTime(const QDateTime &reference) const;
    // Glass-to-glass latency: reference (the network clock when the frame is shown) minus the stamped time.
    qint64 latencyMs(const QDateTime &reference) const;
};

// Reads the timecode strip back from the bottom rows of a picture: 90 cells of equal width over the full width,
// white for 1 and black for 0, as the capture side draws them. A word whose sync bits, check bits or digits do not
// hold is a misread and is rejected.
class MFVitcReader {
public:
    static constexpr int kBits = 90;

    // The strip of a frame; false when the frame has no readable strip.
    static bool read(const IMFFrame &frame, MFVitcCode *code);
    // The same from 8-bit luma samples of one strip row (sampleStep bytes apart) averaged over rows rows
    // stride bytes apart.
    static bool readLuma(const uint8_t *firstRow, int rows, int stride, int sampleStep, int width, MFVitcCode *code);
    // Decodes a word of 90 bits, one byte (0 or 1) each.
    static bool decode(const uint8_t bits[kBits], MFVitcCode *code);
};
