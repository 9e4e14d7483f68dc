#include "mfvideoencoder.h"

#include "mfavvideoencoder.h"
#include "mfopenh264encoder.h"

bool MFVideoEncoder::changesBitrateInPlace(const MFCodecEntry &entry, const QString &rcType) {
    const bool ffmpegHasIt = avcodec_find_encoder_by_name(entry.encoder) != nullptr;
    const MFRateControl rc = mfRateControl(rcType);
    if (rc == MFRateControl::Cqp || rc == MFRateControl::Quality)
        return false;
    // FFmpeg's libx264 wrapper compares the context's rates with x264's before every frame and calls
    // x264_encoder_reconfig on a change; its other encoders (and its OpenH264 wrapper) read them once at open.
    // x264 itself retargets only through the VBV: not without one (avbr), and not its fixed NAL HRD (cbr). The
    // libx265 wrapper hands x265 the rates once, when it opens, and never calls x265_encoder_reconfig.
    if (entry.family == MFEncoderFamily::X264)
        return ffmpegHasIt && rc != MFRateControl::Cbr && rc != MFRateControl::Avbr;
    return entry.family == MFEncoderFamily::OpenH264 && !ffmpegHasIt;
}

std::unique_ptr<MFVideoEncoder> MFVideoEncoder::create(const MFCodecEntry &entry) {
    if (avcodec_find_encoder_by_name(entry.encoder) ||
        (entry.vaapiEncoder && avcodec_find_encoder_by_name(entry.vaapiEncoder)))
        return std::make_unique<MFAvVideoEncoder>(entry);
    // FFmpeg without its OpenH264 wrapper: Debian's libopenh264 directly.
    if (entry.family == MFEncoderFamily::OpenH264)
        return std::make_unique<MFOpenH264Encoder>();
    return nullptr;
}
