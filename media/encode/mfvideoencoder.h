#pragma once

#include "mfcodectable.h"

#include <QString>

#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

// One video encoder of the writer: FFmpeg's, or our own on a library FFmpeg was built without.
class MFVideoEncoder {
public:
    virtual ~MFVideoEncoder() = default;

    // The encoder for the codec entry; nullptr when this build has no way to run it.
    static std::unique_ptr<MFVideoEncoder> create(const MFCodecEntry &entry);

    // Opens for the settings; false with the reason in *why.
    virtual bool open(const MFVideoSettings &settings, QString *why) = 0;
    // The picture format the frames must have.
    virtual AVPixelFormat pixelFormat() const = 0;
    // Time base of the packets' time stamps; frames carry pts in frame periods (1 / frame rate).
    virtual AVRational timeBase() const = 0;
    // The stream description for the muxer.
    virtual void fillParameters(AVCodecParameters *parameters) const = 0;
    // Encodes one frame (nullptr drains the encoder) and appends the finished packets, which the caller
    // owns. False with the reason in *why.
    virtual bool encode(const AVFrame *frame, std::vector<AVPacket *> *packets, QString *why) = 0;
    // Retargets the bitrate of an open encoder from the next frame on, without a new stream header; false
    // when this encoder or its rate control cannot (the rate then stays as it was).
    virtual bool setBitrate(int64_t bitsPerSecond) {
        (void)bitsPerSecond;
        return false;
    }
    // Whether encoders of this entry, with this rate control ("auto", "cbr" ...), can retarget their bitrate in
    // place.
    static bool changesBitrateInPlace(const MFCodecEntry &entry, const QString &rcType);
};
