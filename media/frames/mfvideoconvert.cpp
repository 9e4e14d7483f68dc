#include "mfvideoconvert.h"

#include "mfformat.h"
#include "mfresult.h"

extern "C" {
#include <libswscale/swscale.h>
}

AVPixelFormat mfPixelFormatFromColor(uint32_t colorFormat) {
    switch (colorFormat) {
    case MFCC_ARGB32:
        return AV_PIX_FMT_BGRA;
    case MFCC_RGB32:
        return AV_PIX_FMT_BGR0;
    case MFCC_I420:
        return AV_PIX_FMT_YUV420P;
    case MFCC_NV12:
        return AV_PIX_FMT_NV12;
    case MFCC_YUY2:
        return AV_PIX_FMT_YUYV422;
    case MFCC_UYVY:
    case MFCC_HDYC:
        return AV_PIX_FMT_UYVY422;
    default:
        return AV_PIX_FMT_NONE;
    }
}

uint32_t mfColorFromPixelFormat(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_BGRA:
        return MFCC_ARGB32;
    case AV_PIX_FMT_BGR0:
        return MFCC_RGB32;
    case AV_PIX_FMT_YUV420P:
        return MFCC_I420;
    case AV_PIX_FMT_NV12:
        return MFCC_NV12;
    case AV_PIX_FMT_YUYV422:
        return MFCC_YUY2;
    case AV_PIX_FMT_UYVY422:
        return MFCC_UYVY;
    default:
        return 0;
    }
}

int mfScaleFrame(SwsContext **context, const AVFrame *src, AVFrame *dst, int width, int height, AVPixelFormat format) {
    if (!context || !src || !dst || width <= 0 || height <= 0 || format == AV_PIX_FMT_NONE)
        return MF_E_INVALIDARG;
    *context = sws_getCachedContext(*context, src->width, src->height, AVPixelFormat(src->format), width, height,
                                    format, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!*context)
        return MF_E_UNSUPPORTED;
    av_frame_unref(dst);
    dst->format = format;
    dst->width = width;
    dst->height = height;
    if (av_frame_get_buffer(dst, 0) < 0)
        return MF_E_FAIL;
    if (sws_scale(*context, src->data, src->linesize, 0, src->height, dst->data, dst->linesize) != height)
        return MF_E_FAIL;
    av_frame_copy_props(dst, src);
    return MF_OK;
}
