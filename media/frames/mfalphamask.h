#pragma once

// The masked form of a picture with transparency: the picture on top and its alpha plane as a grey picture of
// the same size below, in one packed 4:2:2 frame twice the picture's height. A receiver that knows the stream
// carries a mask splits the two halves again. Media-internal (exposes FFmpeg types).

extern "C" {
#include <libavutil/frame.h>
}

struct SwsContext;

// The name under which a frame with transparency carries its masked form.
constexpr char kMFAlphaMaskObject[] = "_hdyc_w_mask_";

// True for pixel formats with an alpha channel.
bool mfHasAlpha(int pixelFormat);

// Builds into dst (unreferenced first) the masked form of src at width x pictureHeight per half. The picture
// half is BT.709 limited range, the alpha half maps alpha 0..255 to luma 16..235 with neutral chroma. The
// contexts are created or replaced as needed and freed by the caller with sws_freeContext. Negative on failure.
int mfBuildAlphaMask(SwsContext **scale, SwsContext **toYuv, const AVFrame *src, int width, int pictureHeight,
                     AVFrame *dst);
