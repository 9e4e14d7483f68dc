#pragma once

#include "imfframe.h"

// Something that takes frames.
class IMFReceiver {
public:
    virtual ~IMFReceiver() = default;
    // timeoutMs -1 waits until the receiver has taken the frame; 0 never waits (a full receiver drops).
    virtual int ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &options) = 0;
};
