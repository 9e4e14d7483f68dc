#pragma once

#include "mfvideoencoder.h"

// A video encoder of FFmpeg's libavcodec, configured from the codec table. An entry with a VAAPI encoder falls
// back to it, on a render node, when its own encoder cannot open; the pictures are then uploaded to the device.
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
    // Opens the named encoder; on the VAAPI device when one is given.
    bool openEncoder(const char *name, const MFVideoSettings &settings, AVBufferRef *device, QString *why);
    void close();

    const MFCodecEntry &entry;
    AVCodecContext *context = nullptr;
    AVBufferRef *deviceFrames = nullptr; // the VAAPI device's picture pool; nullptr for a software encoder
    bool retargetable = false;
};
