#pragma once

#include <cstdint>

// Colour format codes of the format record. ARGB32's value is the one callers store in files and compare
// against; the others are ours.
enum MFColorFormat : uint32_t {
    MFCC_NONE = 0,            // as the source
    MFCC_ARGB32 = 0x773C9AC0, // 8-bit B,G,R,A in memory order (little-endian ARGB)
    MFCC_RGB32 = 0x32424752,  // as ARGB32, alpha ignored
    MFCC_I420 = 0x30323449,   // planar YUV 4:2:0
    MFCC_NV12 = 0x3231564E,   // semi-planar YUV 4:2:0
    MFCC_YUY2 = 0x32595559,   // packed YUV 4:2:2, Y0 U Y1 V
    MFCC_UYVY = 0x59565955,   // packed YUV 4:2:2, U Y0 V Y1 (BT.601)
    MFCC_HDYC = 0x43594448    // packed YUV 4:2:2 as UYVY, BT.709
};

// Interlace codes of the format record.
enum MFInterlace : int {
    MFIL_NONE = 0,         // as the source
    MFIL_TOP_FIRST = 1,    // interlaced, top field first
    MFIL_BOTTOM_FIRST = 2, // interlaced, bottom field first
    MFIL_PROGRESSIVE = 3
};

// Audio and video format of a frame, or the format a frame is to be converted to. A zero field means
// "as the source". A negative height marks a bottom-up picture; sizes compare by absolute value.
struct MFFormat {
    int videoFormat = 0;      // video format code (a named standard; 0 = custom / as the source)
    uint32_t colorFormat = 0; // MFColorFormat
    int width = 0;
    int height = 0;
    int interlace = 0; // MFInterlace
    int16_t aspectX = 0;
    int16_t aspectY = 0;
    double frameRate = 0.0; // frames per second, 29.97 for NTSC
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0; // 16 for signed 16-bit samples, 32 for float; negative for big-endian
};

// Time stamps of a frame are in 100 ns units.
constexpr int64_t MF_TIME_UNITS_PER_SECOND = 10000000;
