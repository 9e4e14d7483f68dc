#pragma once

#include "mfvideoencoder.h"

// A video encoder of FFmpeg's libavcodec, configured from the codec table.
class MFAvVideoEncoder : public MFVideoEncoder {
public:
    explicit MFAvVideoEncoder(const MFCodecEntry &entry);
    ~MFAvVideoEncoder() override;
    MFAvVideoEncoder(const MFAvVideoEncoder &) = delete;
    MFAvVideoEncoder &operator=(const MFAvVideoEncoder &) = delete;

    bool open(const MFVideoSettings &settings, QString *why) override;
    AVPixelFormat pixelFormat() const override;
    AVRational timeBase() const override;
    void fillParameters(AVCodecParameters *parameters) const override;
    bool encode(const AVFrame *frame, std::vector<AVPacket *> *packets, QString *why) override;
    bool setBitrate(int64_t bitsPerSecond) override;

private:
    const MFCodecEntry &entry;
    AVCodecContext *context = nullptr;
    bool retargetable = false;
};
