#include "mfalphamask.h"

#include "mfresult.h"
#include "mfvideoconvert.h"

#include <memory>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr uint8_t kLumaBlack = 16;
constexpr int kLumaRange = 219;
constexpr uint8_t kNeutralChroma = 128;
constexpr int kBgraAlpha = 3;

struct FrameFree {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};

} // namespace

bool mfHasAlpha(int pixelFormat) {
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(AVPixelFormat(pixelFormat));
    return desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
}

int mfBuildAlphaMask(SwsContext **scale, SwsContext **toYuv, const AVFrame *src, int width, int pictureHeight,
                     AVFrame *dst) {
    if (!scale || !toYuv || !src || !dst || width <= 0 || pictureHeight <= 0)
        return MF_E_INVALIDARG;
    // One BGRA picture at the half's size gives both halves: its colour for the top, its alpha for the bottom.
    std::unique_ptr<AVFrame, FrameFree> picture(av_frame_alloc());
    if (!picture)
        return MF_E_FAIL;
    if (src->format == AV_PIX_FMT_BGRA && src->width == width && src->height == pictureHeight) {
        if (av_frame_ref(picture.get(), src) < 0)
            return MF_E_FAIL;
    } else {
        const int scaled = mfScaleFrame(scale, src, picture.get(), width, pictureHeight, AV_PIX_FMT_BGRA);
        if (MF_FAILED(scaled))
            return scaled;
    }

    av_frame_unref(dst);
    dst->format = AV_PIX_FMT_UYVY422;
    dst->width = width;
    dst->height = pictureHeight * 2;
    if (av_frame_get_buffer(dst, 0) < 0)
        return MF_E_FAIL;

    *toYuv = sws_getCachedContext(*toYuv, width, pictureHeight, AV_PIX_FMT_BGRA, width, pictureHeight,
                                  AV_PIX_FMT_UYVY422, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!*toYuv)
        return MF_E_UNSUPPORTED;
    sws_setColorspaceDetails(*toYuv, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU709), 0, 0,
                             1 << 16, 1 << 16);
    if (sws_scale(*toYuv, picture->data, picture->linesize, 0, pictureHeight, dst->data, dst->linesize) !=
        pictureHeight)
        return MF_E_FAIL;

    for (int row = 0; row < pictureHeight; ++row) {
        const uint8_t *alpha = picture->data[0] + row * picture->linesize[0] + kBgraAlpha;
        uint8_t *out = dst->data[0] + (pictureHeight + row) * dst->linesize[0];
        for (int x = 0; x < width; ++x) {
            // UYVY: chroma at even bytes, luma of pixel x at byte 2x + 1.
            out[2 * x] = kNeutralChroma;
            out[2 * x + 1] = uint8_t(kLumaBlack + (alpha[4 * x] * kLumaRange + 127) / 255);
        }
    }
    av_frame_copy_props(dst, src);
    dst->colorspace = AVCOL_SPC_BT709;
    dst->color_range = AVCOL_RANGE_MPEG;
    return MF_OK;
}
