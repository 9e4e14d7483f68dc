#pragma once

#include "imfframe.h"

#include <QString>

#include <cstdint>
#include <memory>

// Builds frames from memory: a packed picture in the record's colour format and interleaved audio
// samples in the record's channels, rate and bits per sample.
//
// A factory also converts frames of the media layer to another format record. It keeps its scaler and
// resampler between calls, so one factory per stream of frames gives gap-free audio; a factory may be
// shared between threads (calls are serialised).
class MFFactory {
public:
    MFFactory();
    virtual ~MFFactory();
    MFFactory(const MFFactory &) = delete;
    MFFactory &operator=(const MFFactory &) = delete;

    static std::shared_ptr<MFFactory> create();

    // audio points at audioSamples x channels interleaved samples (16-bit signed, or 32-bit float);
    // picture at pictureBytes bytes of the picture, rows top-down (a negative height: bottom-up), planes
    // one after the other without padding. Either may be absent (null / 0 samples), not both.
    virtual int MFFrameCreateFromMem(const MFFormat &format, const uint8_t *picture, int64_t pictureBytes,
                                     int audioSamples, const uint8_t *audio, MFFramePtr *frame, const QString &options);

    // The frame converted to the record: zero fields keep the frame's values; a video format code with
    // no size gives that standard's size. Picture and audio that need no change are shared, not copied.
    // Frame rate and interlace are taken into the result's record but not converted here. Audio comes
    // interleaved: 16 bits signed, 24 bits in a 32-bit signed container, 32 bits float.
    // MF_E_INVALIDARG for a frame of another kind or a record naming an unknown colour or sample format.
    virtual int MFFrameConvert(const MFFramePtr &source, const MFFormat &format, MFFramePtr *frame);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
