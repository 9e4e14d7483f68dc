#pragma once

#include "imfframe.h"

// Something that hands out frames.
class IMFSource {
public:
    virtual ~IMFSource() = default;
    // The next frame converted to the format (zero fields keep the source's values). timeoutMs -1 waits
    // as long as the source needs for its next frame; 0 does not wait.
    virtual int SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                                const QString &options) = 0;
};
