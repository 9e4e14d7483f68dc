#include "mffactory.h"

#include "mfframe.h"
#include "mfresult.h"
#include "mfsampleformat.h"
#include "mfvideoformattable.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

// Larger pictures or audio blocks than these are refused as malformed input rather than allocated.
constexpr int kMaxPictureSide = 16384;
constexpr int kMaxChannels = 64;
constexpr int kMaxSampleRate = 768000;
constexpr int kMaxAudioSamples = 1 << 22;

struct ColorEntry {
    uint32_t color;
    AVPixelFormat pixel;
};
// The first entry of a pixel format is the colour format reported for it.
constexpr ColorEntry kColors[] = {{MFCC_ARGB32, AV_PIX_FMT_BGRA},  {MFCC_RGB32, AV_PIX_FMT_BGR0},
                                  {MFCC_I420, AV_PIX_FMT_YUV420P}, {MFCC_NV12, AV_PIX_FMT_NV12},
                                  {MFCC_YUY2, AV_PIX_FMT_YUYV422}, {MFCC_UYVY, AV_PIX_FMT_UYVY422},
                                  {MFCC_HDYC, AV_PIX_FMT_UYVY422}};

AVPixelFormat pixelOf(uint32_t color) {
    for (const ColorEntry &entry : kColors)
        if (entry.color == color)
            return entry.pixel;
    return AV_PIX_FMT_NONE;
}

struct FrameDeleter {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
using FrameHolder = std::unique_ptr<AVFrame, FrameDeleter>;

const int *swsCoefficientsFor(uint32_t color, const AVFrame *frame) {
    const bool hd = color == MFCC_HDYC || (frame && frame->colorspace == AVCOL_SPC_BT709);
    return sws_getCoefficients(hd ? SWS_CS_ITU709 : SWS_CS_ITU601);
}

} // namespace

struct MFFactory::Impl {
    QMutex lock; // serialises conversions: the contexts below carry state between frames
    SwsContext *scaler = nullptr;
    SwrContext *resampler = nullptr;
    AVChannelLayout resampleInLayout{};
    AVSampleFormat resampleInFormat = AV_SAMPLE_FMT_NONE;
    int resampleInRate = 0;
    AVChannelLayout resampleOutLayout{};
    AVSampleFormat resampleOutFormat = AV_SAMPLE_FMT_NONE;
    int resampleOutRate = 0;

    ~Impl() {
        sws_freeContext(scaler);
        swr_free(&resampler);
        av_channel_layout_uninit(&resampleInLayout);
        av_channel_layout_uninit(&resampleOutLayout);
    }

    int convertPicture(const AVFrame *in, uint32_t inColor, AVPixelFormat outPixel, uint32_t outColor, int width,
                       int height, FrameHolder *out);
    int convertAudio(const AVFrame *in, int channels, int rate, AVSampleFormat format, FrameHolder *out);
};

MFFactory::MFFactory() : d(std::make_unique<Impl>()) {}

MFFactory::~MFFactory() = default;

std::shared_ptr<MFFactory> MFFactory::create() {
    return std::make_shared<MFFactory>();
}

int MFFactory::MFFrameCreateFromMem(const MFFormat &format, const uint8_t *picture, int64_t pictureBytes,
                                    int audioSamples, const uint8_t *audio, MFFramePtr *frame, const QString &) {
    if (!frame)
        return MF_E_INVALIDARG;
    frame->reset();
    if ((!picture && (!audio || audioSamples <= 0)) || (audioSamples > 0 && !audio))
        return MF_E_INVALIDARG;

    MFFormat record = format;
    FrameHolder video;
    if (picture) {
        const AVPixelFormat pixel = pixelOf(format.colorFormat);
        const int width = format.width;
        const bool bottomUp = format.height < 0;
        const int height = std::abs(format.height);
        if (pixel == AV_PIX_FMT_NONE || width <= 0 || height <= 0 || width > kMaxPictureSide ||
            height > kMaxPictureSide || pictureBytes <= 0)
            return MF_E_INVALIDARG;
        const int needed = av_image_get_buffer_size(pixel, width, height, 1);
        if (needed <= 0 || pictureBytes < needed)
            return MF_E_INVALIDARG;

        video.reset(av_frame_alloc());
        if (!video)
            return MF_E_FAIL;
        video->format = pixel;
        video->width = width;
        video->height = height;
        video->colorspace = format.colorFormat == MFCC_HDYC ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG;
        if (av_frame_get_buffer(video.get(), 0) < 0)
            return MF_E_FAIL;

        uint8_t *planes[4] = {};
        int strides[4] = {};
        if (av_image_fill_arrays(planes, strides, picture, pixel, width, height, 1) < 0)
            return MF_E_INVALIDARG;
        if (bottomUp) {
            // Walk each plane from its last row upwards.
            const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(pixel);
            for (int plane = 0; plane < 4 && planes[plane]; ++plane) {
                const int rows = (plane == 1 || plane == 2) ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
                planes[plane] += int64_t(strides[plane]) * (rows - 1);
                strides[plane] = -strides[plane];
            }
        }
        av_image_copy(video->data, video->linesize, const_cast<const uint8_t **>(planes), strides, pixel, width,
                      height);
        if (format.interlace == MFIL_TOP_FIRST || format.interlace == MFIL_BOTTOM_FIRST) {
            video->interlaced_frame = 1;
            video->top_field_first = format.interlace == MFIL_TOP_FIRST;
        }
        record.height = height;
    } else {
        record.colorFormat = MFCC_NONE;
        record.width = 0;
        record.height = 0;
    }

    FrameHolder sound;
    if (audio && audioSamples > 0) {
        const AVSampleFormat sample = mfSampleFormatOfBits(format.bitsPerSample);
        if ((sample != AV_SAMPLE_FMT_S16 && sample != AV_SAMPLE_FMT_FLT) || format.bitsPerSample < 0 ||
            format.channels <= 0 || format.channels > kMaxChannels || format.sampleRate <= 0 ||
            format.sampleRate > kMaxSampleRate || audioSamples > kMaxAudioSamples)
            return MF_E_INVALIDARG;
        sound.reset(av_frame_alloc());
        if (!sound)
            return MF_E_FAIL;
        sound->format = sample;
        sound->sample_rate = format.sampleRate;
        sound->nb_samples = audioSamples;
        av_channel_layout_default(&sound->ch_layout, format.channels);
        if (av_frame_get_buffer(sound.get(), 0) < 0)
            return MF_E_FAIL;
        std::memcpy(sound->data[0], audio, size_t(audioSamples) * format.channels * av_get_bytes_per_sample(sample));
    } else if (audioSamples < 0) {
        return MF_E_INVALIDARG;
    } else {
        record.channels = 0;
        record.sampleRate = 0;
        record.bitsPerSample = 0;
    }

    *frame = MFFrame::make(video.get(), sound.get(), record);
    return MF_OK;
}

int MFFactory::Impl::convertPicture(const AVFrame *in, uint32_t inColor, AVPixelFormat outPixel, uint32_t outColor,
                                    int width, int height, FrameHolder *out) {
    FrameHolder result(av_frame_alloc());
    if (!result)
        return MF_E_FAIL;
    result->format = outPixel;
    result->width = width;
    result->height = height;
    if (av_frame_get_buffer(result.get(), 0) < 0)
        return MF_E_FAIL;
    av_frame_copy_props(result.get(), in);
    result->colorspace = outColor == MFCC_HDYC ? AVCOL_SPC_BT709 : in->colorspace;

    scaler = sws_getCachedContext(scaler, in->width, in->height, AVPixelFormat(in->format), width, height, outPixel,
                                  SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!scaler)
        return MF_E_UNSUPPORTED;
    const int fullRange = in->color_range == AVCOL_RANGE_JPEG || in->format == AV_PIX_FMT_YUVJ420P;
    sws_setColorspaceDetails(scaler, swsCoefficientsFor(inColor, in), fullRange, swsCoefficientsFor(outColor, nullptr),
                             0, 0, 1 << 16, 1 << 16);
    sws_scale(scaler, in->data, in->linesize, 0, in->height, result->data, result->linesize);
    *out = std::move(result);
    return MF_OK;
}

int MFFactory::Impl::convertAudio(const AVFrame *in, int channels, int rate, AVSampleFormat format, FrameHolder *out) {
    AVChannelLayout outLayout{};
    av_channel_layout_default(&outLayout, channels);
    const bool same = resampler && resampleInFormat == in->format && resampleInRate == in->sample_rate &&
                      !av_channel_layout_compare(&resampleInLayout, &in->ch_layout) && resampleOutFormat == format &&
                      resampleOutRate == rate && !av_channel_layout_compare(&resampleOutLayout, &outLayout);
    if (!same) {
        swr_free(&resampler);
        if (swr_alloc_set_opts2(&resampler, &outLayout, format, rate, const_cast<AVChannelLayout *>(&in->ch_layout),
                                AVSampleFormat(in->format), in->sample_rate, 0, nullptr) < 0 ||
            swr_init(resampler) < 0) {
            swr_free(&resampler);
            av_channel_layout_uninit(&outLayout);
            return MF_E_UNSUPPORTED;
        }
        av_channel_layout_uninit(&resampleInLayout);
        av_channel_layout_copy(&resampleInLayout, &in->ch_layout);
        resampleInFormat = AVSampleFormat(in->format);
        resampleInRate = in->sample_rate;
        av_channel_layout_uninit(&resampleOutLayout);
        av_channel_layout_copy(&resampleOutLayout, &outLayout);
        resampleOutFormat = format;
        resampleOutRate = rate;
    }

    FrameHolder result(av_frame_alloc());
    if (!result) {
        av_channel_layout_uninit(&outLayout);
        return MF_E_FAIL;
    }
    result->format = format;
    result->sample_rate = rate;
    av_channel_layout_copy(&result->ch_layout, &outLayout);
    av_channel_layout_uninit(&outLayout);
    result->nb_samples = swr_get_out_samples(resampler, in->nb_samples);
    if (result->nb_samples <= 0) {
        result->nb_samples = 0;
        *out = std::move(result);
        return MF_OK;
    }
    if (av_frame_get_buffer(result.get(), 0) < 0)
        return MF_E_FAIL;
    const int converted = swr_convert(resampler, result->extended_data, result->nb_samples,
                                      const_cast<const uint8_t **>(in->extended_data), in->nb_samples);
    if (converted < 0)
        return MF_E_FAIL;
    result->nb_samples = converted;
    result->pts = in->pts;
    *out = std::move(result);
    return MF_OK;
}

int MFFactory::MFFrameConvert(const MFFramePtr &source, const MFFormat &format, MFFramePtr *frame) {
    if (!frame)
        return MF_E_INVALIDARG;
    frame->reset();
    MFFrame *in = MFFrame::from(source);
    if (!in)
        return MF_E_INVALIDARG;

    MFFormat wanted = format;
    if (const MFVideoFormatTable::Entry *standard = MFVideoFormatTable::find(format.videoFormat)) {
        if (!wanted.width && !wanted.height) {
            wanted.width = standard->width;
            wanted.height = standard->height;
        }
        if (wanted.frameRate <= 0)
            wanted.frameRate = standard->frameRate;
        if (!wanted.interlace)
            wanted.interlace = standard->interlace;
    }

    const MFFormat &have = in->format();
    MFFormat record = have;
    if (wanted.videoFormat)
        record.videoFormat = wanted.videoFormat;
    if (wanted.frameRate > 0)
        record.frameRate = wanted.frameRate;
    if (wanted.interlace)
        record.interlace = wanted.interlace;
    if (wanted.aspectX > 0 && wanted.aspectY > 0) {
        record.aspectX = wanted.aspectX;
        record.aspectY = wanted.aspectY;
    }

    QMutexLocker lock(&d->lock);
    FrameHolder convertedVideo;
    const AVFrame *video = in->video();
    if (video) {
        const uint32_t outColor = wanted.colorFormat ? wanted.colorFormat : have.colorFormat;
        AVPixelFormat outPixel = wanted.colorFormat ? pixelOf(wanted.colorFormat) : AVPixelFormat(video->format);
        if (outPixel == AV_PIX_FMT_NONE)
            return MF_E_INVALIDARG;
        const int width = wanted.width > 0 ? wanted.width : video->width;
        const int height = wanted.height ? std::abs(wanted.height) : video->height;
        if (width > kMaxPictureSide || height > kMaxPictureSide)
            return MF_E_INVALIDARG;
        const bool sameColor = outPixel == video->format && (outColor == have.colorFormat || !have.colorFormat);
        if (!sameColor || width != video->width || height != video->height) {
            const int result =
                d->convertPicture(video, have.colorFormat, outPixel, outColor, width, height, &convertedVideo);
            if (MF_FAILED(result))
                return result;
            video = convertedVideo.get();
        }
        record.colorFormat = outColor;
        record.width = width;
        record.height = height;
    }

    FrameHolder convertedAudio;
    const AVFrame *audio = in->audio();
    if (audio && audio->nb_samples > 0) {
        const int channels = wanted.channels > 0 ? wanted.channels : audio->ch_layout.nb_channels;
        const int rate = wanted.sampleRate > 0 ? wanted.sampleRate : audio->sample_rate;
        const AVSampleFormat sample = wanted.bitsPerSample ? mfSampleFormatOfBits(wanted.bitsPerSample)
                                                           : av_get_packed_sample_fmt(AVSampleFormat(audio->format));
        if (sample == AV_SAMPLE_FMT_NONE || wanted.bitsPerSample < 0 || channels > kMaxChannels ||
            rate > kMaxSampleRate)
            return MF_E_INVALIDARG;
        if (sample != audio->format || rate != audio->sample_rate || channels != audio->ch_layout.nb_channels) {
            const int result = d->convertAudio(audio, channels, rate, sample, &convertedAudio);
            if (MF_FAILED(result))
                return result;
            audio = convertedAudio.get();
        }
        record.channels = channels;
        record.sampleRate = rate;
        if (wanted.bitsPerSample)
            record.bitsPerSample = wanted.bitsPerSample;
    } else if (have.channels > 0) {
        // A frame that carries no samples this time still describes the audio to come: a writer that opens
        // its encoder from the first frame would otherwise encode the source's rate, not the one asked for.
        if (wanted.channels > 0)
            record.channels = wanted.channels;
        if (wanted.sampleRate > 0)
            record.sampleRate = wanted.sampleRate;
        if (wanted.bitsPerSample)
            record.bitsPerSample = wanted.bitsPerSample;
    }

    auto result = MFFrame::make(video, audio, record);
    int64_t start = 0, stop = 0;
    in->MFTimeGet(&start, &stop);
    result->MFTimeSet(start, stop);
    *frame = result;
    return MF_OK;
}
