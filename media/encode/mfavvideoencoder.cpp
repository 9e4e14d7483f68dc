#include "mfavvideoencoder.h"

#include "mfvaapidevice.h"

#include <QDebug>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

namespace {

QString errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromUtf8(text);
}

// Planar 4:2:0 when the encoder takes it, else its first software format (NV12 for Quick Sync).
AVPixelFormat chooseFormat(const AVCodec *codec) {
    if (!codec->pix_fmts)
        return AV_PIX_FMT_YUV420P;
    AVPixelFormat fallback = AV_PIX_FMT_NONE;
    for (const AVPixelFormat *f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == AV_PIX_FMT_YUV420P)
            return *f;
        const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(*f);
        if (fallback == AV_PIX_FMT_NONE && desc && !(desc->flags & AV_PIX_FMT_FLAG_HWACCEL))
            fallback = *f;
    }
    return fallback == AV_PIX_FMT_NONE ? AV_PIX_FMT_YUV420P : fallback;
}

// What the VAAPI encoders of H.264 and HEVC take in every driver; the writer converts to it before the upload.
constexpr AVPixelFormat vaapiUploadFormat = AV_PIX_FMT_NV12;

} // namespace

MFAvVideoEncoder::MFAvVideoEncoder(const MFCodecEntry &codecEntry) : entry(codecEntry) {}

MFAvVideoEncoder::~MFAvVideoEncoder() {
    close();
}

void MFAvVideoEncoder::close() {
    avcodec_free_context(&context);
    av_buffer_unref(&deviceFrames);
}

bool MFAvVideoEncoder::open(const MFVideoSettings &settings, QString *why) {
    close();
    retargetable = changesBitrateInPlace(entry, settings.options.rcType);
    if (openEncoder(entry.encoder, settings, nullptr, why))
        return true;
    if (!entry.vaapiEncoder)
        return false;
    QString node;
    QString vaapiWhy;
    AVBufferRef *device = mfOpenVaapiDevice(settings.renderNodeDirectory, &node, &vaapiWhy);
    const bool opened = device && openEncoder(entry.vaapiEncoder, settings, device, &vaapiWhy);
    av_buffer_unref(&device);
    if (!opened) {
        *why += QStringLiteral("; VAAPI: %1").arg(vaapiWhy);
        return false;
    }
    qDebug().noquote() << "MFWriter:" << entry.id << "encodes with" << entry.vaapiEncoder << "on" << node;
    return true;
}

bool MFAvVideoEncoder::openEncoder(const char *name, const MFVideoSettings &settings, AVBufferRef *device,
                                   QString *why) {
    const AVCodec *codec = avcodec_find_encoder_by_name(name);
    if (!codec) {
        *why = QStringLiteral("FFmpeg has no encoder %1").arg(QLatin1String(name));
        return false;
    }
    context = avcodec_alloc_context3(codec);
    if (!context) {
        *why = QStringLiteral("out of memory");
        return false;
    }
    context->width = settings.width;
    context->height = settings.height;
    context->pix_fmt = chooseFormat(codec);
    context->framerate = settings.frameRate;
    context->time_base = av_inv_q(settings.frameRate);
    context->sample_aspect_ratio = AVRational{1, 1};
    context->color_range = AVCOL_RANGE_MPEG;
    context->colorspace = settings.hd() ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    context->color_primaries = settings.hd() ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
    context->color_trc = settings.hd() ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
    AVDictionary *options = nullptr;
    int result = 0;
    if (device) {
        deviceFrames = av_hwframe_ctx_alloc(device);
        if (!deviceFrames) {
            *why = QStringLiteral("out of memory");
            close();
            return false;
        }
        auto *frames = reinterpret_cast<AVHWFramesContext *>(deviceFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = vaapiUploadFormat;
        frames->width = settings.width;
        frames->height = settings.height;
        // No initial pool size: the pool grows with the pictures the encoder holds. Only decoders need a fixed
        // set of surfaces.
        result = av_hwframe_ctx_init(deviceFrames);
        context->pix_fmt = AV_PIX_FMT_VAAPI;
        context->hw_frames_ctx = av_buffer_ref(deviceFrames);
        mfApplyVaapiOptions(entry, settings, context, &options);
    } else {
        mfApplyVideoOptions(entry, settings, context, &options);
    }
    if (result >= 0)
        result = avcodec_open2(context, codec, &options);
    AVDictionaryEntry *left = nullptr;
    while ((left = av_dict_get(options, "", left, AV_DICT_IGNORE_SUFFIX)))
        qDebug() << "MFWriter:" << name << "did not take the option" << left->key << left->value;
    av_dict_free(&options);
    if (result < 0) {
        *why = QStringLiteral("encoder %1 cannot be opened: %2").arg(QLatin1String(name), errorText(result));
        close();
        return false;
    }
    return true;
}

AVPixelFormat MFAvVideoEncoder::pixelFormat() const {
    if (deviceFrames)
        return vaapiUploadFormat;
    return context ? context->pix_fmt : AV_PIX_FMT_NONE;
}

AVRational MFAvVideoEncoder::timeBase() const {
    return context ? context->time_base : AVRational{1, 25};
}

void MFAvVideoEncoder::fillParameters(AVCodecParameters *parameters) const {
    if (context)
        avcodec_parameters_from_context(parameters, context);
}

bool MFAvVideoEncoder::encode(const AVFrame *frame, std::vector<AVPacket *> *packets, QString *why) {
    if (!context) {
        *why = QStringLiteral("encoder not open");
        return false;
    }
    AVFrame *uploaded = nullptr;
    if (deviceFrames && frame) {
        uploaded = av_frame_alloc();
        int result = uploaded ? av_hwframe_get_buffer(deviceFrames, uploaded, 0) : AVERROR(ENOMEM);
        if (result >= 0)
            result = av_hwframe_transfer_data(uploaded, frame, 0);
        if (result >= 0)
            result = av_frame_copy_props(uploaded, frame);
        if (result < 0) {
            av_frame_free(&uploaded);
            *why = QStringLiteral("%1: the picture cannot be uploaded: %2")
                       .arg(QLatin1String(context->codec->name), errorText(result));
            return false;
        }
        frame = uploaded;
    }
    int result = avcodec_send_frame(context, frame);
    av_frame_free(&uploaded);
    if (result < 0 && result != AVERROR_EOF) {
        *why = QStringLiteral("%1 refused a frame: %2").arg(QLatin1String(context->codec->name), errorText(result));
        return false;
    }
    while (true) {
        AVPacket *packet = av_packet_alloc();
        result = avcodec_receive_packet(context, packet);
        if (result < 0) {
            av_packet_free(&packet);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return true;
            *why = QStringLiteral("%1 failed: %2").arg(QLatin1String(context->codec->name), errorText(result));
            return false;
        }
        packets->push_back(packet);
    }
}

bool MFAvVideoEncoder::setBitrate(int64_t bitsPerSecond) {
    // Constant quality and quantiser modes carry no bitrate to retarget.
    if (!context || bitsPerSecond <= 0 || context->bit_rate <= 0 || !retargetable)
        return false;
    // The ceiling and the VBV buffer keep their proportion to the target, so the buffer still spans the same time.
    const double scale = double(bitsPerSecond) / double(context->bit_rate);
    context->bit_rate = bitsPerSecond;
    if (context->rc_max_rate > 0)
        context->rc_max_rate = int64_t(double(context->rc_max_rate) * scale);
    if (context->rc_buffer_size > 0)
        context->rc_buffer_size = int(std::min<double>(double(context->rc_buffer_size) * scale, INT32_MAX));
    return true;
}
