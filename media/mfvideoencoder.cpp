#include "mfvideoencoder.h"

#include "mfavvideoencoder.h"
#include "mfopenh264encoder.h"

std::unique_ptr<MFVideoEncoder> MFVideoEncoder::create(const MFCodecEntry &entry) {
    if (avcodec_find_encoder_by_name(entry.encoder))
        return std::make_unique<MFAvVideoEncoder>(entry);
    // FFmpeg without its OpenH264 wrapper: Debian's libopenh264 directly.
    if (entry.family == MFEncoderFamily::OpenH264)
        return std::make_unique<MFOpenH264Encoder>();
    return nullptr;
}
