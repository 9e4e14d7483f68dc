#pragma once

#include "mfvideoencoder.h"

class ISVCEncoder;

// H.264 constrained baseline through Cisco's OpenH264 library, for FFmpeg builds without its wrapper.
// OpenH264 has no B-frames and no delay: every frame in gives its packet at once.
class MFOpenH264Encoder : public MFVideoEncoder {
public:
    MFOpenH264Encoder();
    ~MFOpenH264Encoder() override;
    MFOpenH264Encoder(const MFOpenH264Encoder &) = delete;
    MFOpenH264Encoder &operator=(const MFOpenH264Encoder &) = delete;

    bool open(const MFVideoSettings &settings, QString *why) override;
    AVPixelFormat pixelFormat() const override { return AV_PIX_FMT_YUV420P; }
    AVRational timeBase() const override { return timeBaseValue; }
    void fillParameters(AVCodecParameters *parameters) const override;
    bool encode(const AVFrame *frame, std::vector<AVPacket *> *packets, QString *why) override;
    bool setBitrate(int64_t bitsPerSecond) override;

private:
    void close();

    ISVCEncoder *encoder = nullptr;
    int width = 0;
    int height = 0;
    int64_t bitrate = 0;
    bool bitrateMode = false;
    int64_t maxBitrate = 0;
    bool hd = false;
    AVRational frameRate{25, 1};
    AVRational timeBaseValue{1, 25};
};
