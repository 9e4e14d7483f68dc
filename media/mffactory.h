#pragma once

#include "imfframe.h"

#include <QString>

#include <cstdint>
#include <memory>

// Builds frames from memory: a packed picture in the record's colour format and interleaved audio
// samples in the record's channels, rate and bits per sample.
class MFFactory {
public:
    static std::shared_ptr<MFFactory> create();

    virtual ~MFFactory() = default;
    virtual int MFFrameCreateFromMem(const MFFormat &format, const uint8_t *picture, int64_t pictureBytes,
                                     int audioSamples, const uint8_t *audio, MFFramePtr *frame, const QString &options);
};
