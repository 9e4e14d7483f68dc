#pragma once

// Picture helpers of the media layer: colour format codes of the format record against FFmpeg pixel
// formats, and scaling with a cached swscale context. Media-internal (exposes FFmpeg types).

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct SwsContext;

// The pixel format for a colour format code; AV_PIX_FMT_NONE for 0 or an unknown code.
AVPixelFormat mfPixelFormatFromColor(uint32_t colorFormat);
// The colour format code for a pixel format; 0 when the record has no code for it.
uint32_t mfColorFromPixelFormat(AVPixelFormat format);

// Converts src into dst (unreferenced first, new buffers) at width x height in format. *context is
// created or replaced as needed and freed by the caller with sws_freeContext. Copies the frame
// properties (sample aspect, interlace flags) of src. Negative on failure.
int mfScaleFrame(SwsContext **context, const AVFrame *src, AVFrame *dst, int width, int height, AVPixelFormat format);
