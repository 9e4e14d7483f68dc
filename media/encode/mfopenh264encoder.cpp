#include "mfopenh264encoder.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <cstring>

namespace {

ECOMPLEXITY_MODE complexityOf(int quality) {
    if (quality >= 6)
        return HIGH_COMPLEXITY;
    if (quality >= 3 || quality == 0)
        return MEDIUM_COMPLEXITY;
    return LOW_COMPLEXITY;
}

int clampBitrate(int64_t bits) {
    return int(std::clamp<int64_t>(bits, 0, INT32_MAX));
}

} // namespace

MFOpenH264Encoder::MFOpenH264Encoder() = default;

MFOpenH264Encoder::~MFOpenH264Encoder() {
    close();
}

void MFOpenH264Encoder::close() {
    if (encoder) {
        encoder->Uninitialize();
        WelsDestroySVCEncoder(encoder);
        encoder = nullptr;
    }
}

bool MFOpenH264Encoder::open(const MFVideoSettings &settings, QString *why) {
    close();
    if (WelsCreateSVCEncoder(&encoder) != 0 || !encoder) {
        encoder = nullptr;
        *why = QStringLiteral("OpenH264 encoder cannot be created");
        return false;
    }
    int logLevel = WELS_LOG_ERROR;
    encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &logLevel);

    const MFWriterOptions &o = settings.options;
    const MFRateControl rc = mfRateControl(o.rcType);
    width = settings.width;
    height = settings.height;
    frameRate = settings.frameRate;
    timeBaseValue = av_inv_q(frameRate);
    bitrate = o.videoBitrate;

    SEncParamExt p;
    encoder->GetDefaultParams(&p);
    p.iUsageType = CAMERA_VIDEO_REAL_TIME;
    p.iPicWidth = width;
    p.iPicHeight = height;
    p.fMaxFrameRate = float(av_q2d(frameRate));
    p.iTargetBitrate = clampBitrate(o.videoBitrate);
    p.iMaxBitrate = o.videoMaxrate > 0 ? clampBitrate(o.videoMaxrate) : UNSPECIFIED_BIT_RATE;
    p.iRCMode = RC_BITRATE_MODE;
    if (rc == MFRateControl::Cqp || rc == MFRateControl::Quality) {
        p.iRCMode = RC_QUALITY_MODE;
        p.iMinQp = p.iMaxQp = mfConstantQuality(o.quality);
    }
    if (p.iTargetBitrate <= 0 && p.iRCMode == RC_BITRATE_MODE)
        p.iTargetBitrate = 2000000;
    bitrateMode = p.iRCMode == RC_BITRATE_MODE;
    maxBitrate = p.iMaxBitrate == UNSPECIFIED_BIT_RATE ? 0 : p.iMaxBitrate;
    // A live stream keeps every frame: skipping frames to meet the rate would break the constant cadence.
    p.bEnableFrameSkip = false;
    p.iComplexityMode = complexityOf(o.quality);
    p.uiIntraPeriod = unsigned(mfGopFrames(settings));
    p.eSpsPpsIdStrategy = CONSTANT_ID;
    p.bPrefixNalAddingCtrl = false;
    p.iEntropyCodingModeFlag = 0; // constrained baseline has no CABAC
    p.iTemporalLayerNum = 1;
    p.iSpatialLayerNum = 1;
    p.iMultipleThreadIdc = 1;
    p.bEnableSceneChangeDetect = false;
    SSpatialLayerConfig &layer = p.sSpatialLayers[0];
    layer.iVideoWidth = width;
    layer.iVideoHeight = height;
    layer.fFrameRate = p.fMaxFrameRate;
    layer.iSpatialBitrate = p.iTargetBitrate;
    layer.iMaxSpatialBitrate = p.iMaxBitrate;
    layer.uiProfileIdc = PRO_BASELINE;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
    hd = settings.hd();
    layer.bVideoSignalTypePresent = true;
    layer.uiVideoFormat = VF_UNDEF;
    layer.bFullRange = false;
    layer.bColorDescriptionPresent = true;
    layer.uiColorPrimaries = hd ? CP_BT709 : CP_SMPTE170M;
    layer.uiTransferCharacteristics = hd ? TRC_BT709 : TRC_SMPTE170M;
    layer.uiColorMatrix = hd ? CM_BT709 : CM_SMPTE170M;
    if (encoder->InitializeExt(&p) != cmResultSuccess) {
        close();
        *why = QStringLiteral("OpenH264 refused %1x%2 at %3 fps").arg(width).arg(height).arg(p.fMaxFrameRate);
        return false;
    }
    int dataFormat = videoFormatI420;
    encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &dataFormat);
    return true;
}

void MFOpenH264Encoder::fillParameters(AVCodecParameters *parameters) const {
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_H264;
    parameters->width = width;
    parameters->height = height;
    parameters->format = AV_PIX_FMT_YUV420P;
    parameters->profile = FF_PROFILE_H264_CONSTRAINED_BASELINE;
    parameters->bit_rate = bitrate;
    parameters->field_order = AV_FIELD_PROGRESSIVE;
    parameters->sample_aspect_ratio = AVRational{1, 1};
    parameters->color_range = AVCOL_RANGE_MPEG;
    parameters->color_space = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    parameters->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    parameters->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
}

bool MFOpenH264Encoder::encode(const AVFrame *frame, std::vector<AVPacket *> *packets, QString *why) {
    if (!encoder) {
        *why = QStringLiteral("encoder not open");
        return false;
    }
    if (!frame)
        return true; // nothing is held back
    SSourcePicture picture;
    std::memset(&picture, 0, sizeof picture);
    picture.iColorFormat = videoFormatI420;
    picture.iPicWidth = width;
    picture.iPicHeight = height;
    for (int plane = 0; plane < 3; ++plane) {
        picture.iStride[plane] = frame->linesize[plane];
        picture.pData[plane] = frame->data[plane];
    }
    picture.uiTimeStamp = av_rescale_q(frame->pts, timeBaseValue, AVRational{1, 1000});
    SFrameBSInfo info;
    std::memset(&info, 0, sizeof info);
    if (encoder->EncodeFrame(&picture, &info) != cmResultSuccess) {
        *why = QStringLiteral("OpenH264 failed to encode a frame");
        return false;
    }
    if (info.eFrameType == videoFrameTypeSkip || info.iFrameSizeInBytes <= 0)
        return true;
    AVPacket *packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, info.iFrameSizeInBytes) < 0) {
        av_packet_free(&packet);
        *why = QStringLiteral("out of memory");
        return false;
    }
    int offset = 0;
    for (int i = 0; i < info.iLayerNum; ++i) {
        const SLayerBSInfo &layer = info.sLayerInfo[i];
        int size = 0;
        for (int nal = 0; nal < layer.iNalCount; ++nal)
            size += layer.pNalLengthInByte[nal];
        if (offset + size > packet->size)
            break;
        std::memcpy(packet->data + offset, layer.pBsBuf, size_t(size));
        offset += size;
    }
    av_shrink_packet(packet, offset);
    packet->pts = packet->dts = frame->pts;
    packet->duration = 1;
    if (info.eFrameType == videoFrameTypeIDR || info.eFrameType == videoFrameTypeI)
        packet->flags |= AV_PKT_FLAG_KEY;
    packets->push_back(packet);
    return true;
}

bool MFOpenH264Encoder::setBitrate(int64_t bitsPerSecond) {
    if (!encoder || !bitrateMode || bitsPerSecond <= 0 || bitrate <= 0)
        return false;
    // OpenH264 refuses a target above the layer's maximum: a set maximum keeps its proportion to the target and
    // moves first when the target rises, last when it falls.
    SBitrateInfo target{SPATIAL_LAYER_ALL, clampBitrate(bitsPerSecond)};
    SBitrateInfo ceiling{SPATIAL_LAYER_ALL, clampBitrate(maxBitrate * bitsPerSecond / bitrate)};
    const bool rising = bitsPerSecond > bitrate;
    auto setCeiling = [&] {
        return maxBitrate <= 0 || encoder->SetOption(ENCODER_OPTION_MAX_BITRATE, &ceiling) == cmResultSuccess;
    };
    if (rising && !setCeiling())
        return false;
    if (encoder->SetOption(ENCODER_OPTION_BITRATE, &target) != cmResultSuccess)
        return false;
    if (!rising && !setCeiling())
        return false;
    if (maxBitrate > 0)
        maxBitrate = ceiling.iBitrate;
    bitrate = bitsPerSecond;
    return true;
}
