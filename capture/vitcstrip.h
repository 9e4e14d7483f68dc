#pragma once

#include <QString>

#include <cstdint>

// The 90-bit vertical interval timecode word (SMPTE 12M), one byte (0 or 1) per bit, for a time of day and the
// frame number within its second. Above 31 frames per second the frame number counts field pairs and its
// lowest bit becomes the field flag (bit 35 from 55 frames per second up, bit 75 below).
constexpr int kVitcBits = 90;
void buildVitcBits(int hour, int minute, int second, int frame, double frameRate, uint32_t userBits,
                   uint8_t bits[kVitcBits]);

// The strip drawn into a frame: one two-blank cell per bit, white for 1 and black for 0.
QString vitcMarkup(const uint8_t bits[kVitcBits]);
