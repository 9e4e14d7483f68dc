#include "ndireceiverprovider.h"

#include "mfndiruntime.h"
#include "ndiapi.h"

#include <QDebug>
#include <QVarLengthArray>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/time.h>
}

#include <algorithm>

namespace {

const QString kLineIn = QStringLiteral("line-in");
constexpr int kIdlePollMs = 50;
// A receiver that reports an error (its source went away) is asked again after this pause.
constexpr int kErrorPauseMs = 200;

AVPixelFormat pixelFormatOf(uint32_t fourCC) {
    switch (fourCC) {
    case NDIlib_FourCC_type_UYVY:
        return AV_PIX_FMT_UYVY422;
    case NDIlib_FourCC_type_BGRA:
        return AV_PIX_FMT_BGRA;
    case NDIlib_FourCC_type_BGRX:
        return AV_PIX_FMT_BGR0;
    case NDIlib_FourCC_type_RGBA:
        return AV_PIX_FMT_RGBA;
    case NDIlib_FourCC_type_RGBX:
        return AV_PIX_FMT_RGB0;
    default:
        return AV_PIX_FMT_NONE;
    }
}

} // namespace

QList<MFDeviceEntry> NDIReceiverProvider::list(int type) {
    if (type != eMFDT_Video || !MFNdiRuntime::instance().available())
        return {};
    return {MFDeviceEntry{deviceName(), MFNdiRuntime::instance().sources(), QString()}};
}

std::unique_ptr<MFVideoDevice> NDIReceiverProvider::openVideo(const MFDeviceEntry &) {
    if (!MFNdiRuntime::instance().available())
        return nullptr;
    return std::make_unique<NDIReceiverDevice>();
}

NDIReceiverDevice::NDIReceiverDevice() {
    ownAudio = std::make_unique<MFAudioFifo>();
}

NDIReceiverDevice::~NDIReceiverDevice() {
    stop();
}

QStringList NDIReceiverDevice::lines(const QStringList &) const {
    // The sources come and go on the network; the list is the finder's of the moment.
    return MFNdiRuntime::instance().sources();
}

int NDIReceiverDevice::start(const MFDeviceProps &props) {
    if (worker.joinable())
        return MF_OK;
    {
        std::lock_guard<std::mutex> locker(sourceLock);
        wanted = props.value(kLineIn);
    }
    gate.reset();
    worker = std::thread([this] { run(); });
    return MF_OK;
}

void NDIReceiverDevice::stop() {
    gate.stop();
    if (worker.joinable())
        worker.join();
}

int NDIReceiverDevice::setProperty(const QString &name, const QString &value) {
    if (name == kLineIn) {
        std::lock_guard<std::mutex> locker(sourceLock);
        wanted = value;
    }
    return MF_OK;
}

void NDIReceiverDevice::run() {
    const NDIlib_v5 *ndi = MFNdiRuntime::instance().api();
    if (!ndi)
        return;
    NDIlib_recv_instance_t receiver = nullptr;
    QString connected;
    while (!gate.stopRequested()) {
        QString source;
        {
            std::lock_guard<std::mutex> locker(sourceLock);
            source = wanted;
        }
        if (source != connected) {
            if (receiver)
                ndi->recv_destroy(receiver);
            receiver = nullptr;
            slot.clear();
            connected = source;
            if (!source.isEmpty()) {
                const QByteArray name = source.toUtf8();
                // BGRA where the source has alpha, BGRX otherwise: one conversion less than YUV for the
                // live source, which converts every picture anyway.
                NDIlib_recv_create_t settings{{name.constData(), nullptr},
                                              NDIlib_recv_color_format_BGRX_BGRA,
                                              NDIlib_recv_bandwidth_highest,
                                              false};
                receiver = ndi->recv_create_v2(&settings);
                if (!receiver)
                    qWarning() << "NDI receiver: cannot receive" << source;
            }
        }
        if (!receiver) {
            gate.pause(kIdlePollMs);
            continue;
        }
        NDIlib_video_frame_v2_t video{};
        NDIlib_audio_frame_v2_t audio{};
        switch (ndi->recv_capture_v2(receiver, &video, &audio, nullptr, CAPTURE_WAIT_MS)) {
        case NDIlib_frame_type_video:
            takeVideo(video);
            ndi->recv_free_video_v2(receiver, &video);
            break;
        case NDIlib_frame_type_audio:
            takeAudio(audio);
            ndi->recv_free_audio_v2(receiver, &audio);
            break;
        case NDIlib_frame_type_error:
            slot.clear();
            gate.pause(kErrorPauseMs);
            break;
        default:
            break;
        }
    }
    if (receiver)
        ndi->recv_destroy(receiver);
}

void NDIReceiverDevice::takeVideo(const NDIlib_video_frame_v2_t &frame) {
    const AVPixelFormat format = pixelFormatOf(frame.FourCC);
    if (format == AV_PIX_FMT_NONE || !frame.p_data || frame.xres <= 0 || frame.yres <= 0)
        return;
    if (frame.frame_rate_N > 0 && frame.frame_rate_D > 0)
        rate.store(double(frame.frame_rate_N) / frame.frame_rate_D);
    // The runtime takes its buffer back when the frame is freed, so the picture is copied out.
    AVFrame *picture = av_frame_alloc();
    if (!picture)
        return;
    picture->format = format;
    picture->width = frame.xres;
    picture->height = frame.yres;
    if (av_frame_get_buffer(picture, 0) >= 0) {
        const int rowBytes = av_image_get_linesize(format, frame.xres, 0);
        av_image_copy_plane(picture->data[0], picture->linesize[0], frame.p_data, frame.line_stride_in_bytes,
                            std::min(rowBytes, frame.line_stride_in_bytes), frame.yres);
        picture->interlaced_frame = frame.frame_format_type == NDIlib_frame_format_type_interleaved;
        slot.put(picture, av_gettime_relative());
    }
    av_frame_free(&picture);
}

void NDIReceiverDevice::takeAudio(const NDIlib_audio_frame_v2_t &frame) {
    if (!frame.p_data || frame.no_channels <= 0 || frame.no_samples <= 0 || frame.sample_rate <= 0)
        return;
    if (ownAudio->format() != AV_SAMPLE_FMT_FLTP || ownAudio->channels() != frame.no_channels ||
        ownAudio->sampleRate() != frame.sample_rate)
        ownAudio->configure(AV_SAMPLE_FMT_FLTP, frame.no_channels, frame.sample_rate);
    // Planar float as the runtime hands it: one plane per channel, channel_stride_in_bytes apart.
    QVarLengthArray<const uint8_t *, 16> planes;
    const auto *base = reinterpret_cast<const uint8_t *>(frame.p_data);
    for (int channel = 0; channel < frame.no_channels; ++channel)
        planes.append(base + ptrdiff_t(channel) * frame.channel_stride_in_bytes);
    ownAudio->write(planes.constData(), frame.no_samples);
}
