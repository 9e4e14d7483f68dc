#include "mfndioutput.h"

#include "mfframe.h"
#include "mfframerate.h"
#include "mfndiruntime.h"
#include "ndiapi.h"

#include <QDebug>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <vector>

namespace {

const QString kLineOut = QStringLiteral("line-out");
constexpr double kDefaultRate = 25.0;

} // namespace

QStringList MFNdiOutputProvider::list() {
    return MFNdiRuntime::instance().available() ? QStringList{deviceName()} : QStringList();
}

std::unique_ptr<MFOutputDevice> MFNdiOutputProvider::open(const QString &name, const MFOutputProps &props) {
    if (name != deviceName() || !MFNdiRuntime::instance().available())
        return nullptr;
    return std::make_unique<MFNdiOutput>(props);
}

MFNdiOutput::MFNdiOutput(const MFOutputProps &props) : streamName(props.value(kLineOut)) {}

MFNdiOutput::~MFNdiOutput() {
    if (sender)
        MFNdiRuntime::instance().api()->send_destroy(sender);
    sws_freeContext(toUyvy);
    swr_free(&toFloat);
}

int MFNdiOutput::setProperty(const QString &name, const QString &value) {
    if (name == kLineOut) {
        std::lock_guard<std::mutex> locker(lock);
        streamName = value;
    }
    return MF_OK;
}

int MFNdiOutput::put(const MFFramePtr &frame, int) {
    MFFrame *in = MFFrame::from(frame);
    if (!in)
        return MF_E_INVALIDARG;
    const NDIlib_v5 *ndi = MFNdiRuntime::instance().api();
    if (!ndi)
        return MF_E_UNSUPPORTED;
    std::lock_guard<std::mutex> locker(lock);
    const QString name = streamName.isEmpty() ? defaultStreamName() : streamName;
    if (sender && senderName != name) {
        ndi->send_destroy(sender);
        sender = nullptr;
    }
    if (!sender) {
        const QByteArray utf8 = name.toUtf8();
        // The feed arrives at its own pace already: the runtime must not clock the sends as well.
        NDIlib_send_create_t settings{utf8.constData(), nullptr, false, false};
        sender = ndi->send_create(&settings);
        if (!sender) {
            qWarning() << "NDI output: the runtime refused to create the sender" << name;
            return MF_E_FAIL;
        }
        senderName = name;
    }

    const MFFormat &format = in->format();
    if (const AVFrame *picture = in->video(); picture && picture->width > 0 && picture->height > 0) {
        // 4:2:2 is the runtime's own format: it sends UYVY without a conversion of its own.
        const int width = picture->width & ~1;
        const int stride = width * 2;
        std::vector<uint8_t> uyvy(size_t(stride) * size_t(picture->height));
        toUyvy = sws_getCachedContext(toUyvy, picture->width, picture->height, AVPixelFormat(picture->format), width,
                                      picture->height, AV_PIX_FMT_UYVY422, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (toUyvy) {
            uint8_t *planes[4] = {uyvy.data(), nullptr, nullptr, nullptr};
            int strides[4] = {stride, 0, 0, 0};
            sws_scale(toUyvy, picture->data, picture->linesize, 0, picture->height, planes, strides);
            const AVRational rate = mfFrameRateRational(format.frameRate > 0.0 ? format.frameRate : kDefaultRate);
            NDIlib_video_frame_v2_t video{};
            video.xres = width;
            video.yres = picture->height;
            video.FourCC = NDIlib_FourCC_type_UYVY;
            video.frame_rate_N = rate.num;
            video.frame_rate_D = rate.den;
            video.picture_aspect_ratio =
                format.aspectX > 0 && format.aspectY > 0 ? float(format.aspectX) / float(format.aspectY) : 0.0f;
            video.frame_format_type =
                picture->interlaced_frame ? NDIlib_frame_format_type_interleaved : NDIlib_frame_format_type_progressive;
            video.timecode = NDIlib_send_timecode_synthesize;
            video.p_data = uyvy.data();
            video.line_stride_in_bytes = stride;
            ndi->send_send_video_v2(sender, &video);
        }
    }

    if (const AVFrame *sound = in->audio(); sound && sound->nb_samples > 0 && sound->sample_rate > 0) {
        const int channels = sound->ch_layout.nb_channels;
        if (!toFloat || floatFrom[0] != sound->format || floatFrom[1] != channels ||
            floatFrom[2] != sound->sample_rate) {
            swr_free(&toFloat);
            AVChannelLayout layout{};
            av_channel_layout_copy(&layout, &sound->ch_layout);
            if (swr_alloc_set_opts2(&toFloat, &layout, AV_SAMPLE_FMT_FLTP, sound->sample_rate, &layout,
                                    AVSampleFormat(sound->format), sound->sample_rate, 0, nullptr) < 0 ||
                swr_init(toFloat) < 0)
                swr_free(&toFloat);
            av_channel_layout_uninit(&layout);
            floatFrom[0] = sound->format;
            floatFrom[1] = channels;
            floatFrom[2] = sound->sample_rate;
        }
        if (toFloat) {
            // Planar float, one channel after the other, as the runtime takes audio.
            std::vector<float> planar(size_t(channels) * size_t(sound->nb_samples));
            std::vector<uint8_t *> planes(static_cast<size_t>(channels));
            for (int c = 0; c < channels; ++c)
                planes[size_t(c)] = reinterpret_cast<uint8_t *>(planar.data() + size_t(c) * sound->nb_samples);
            const int converted = swr_convert(toFloat, planes.data(), sound->nb_samples,
                                              const_cast<const uint8_t **>(sound->extended_data), sound->nb_samples);
            if (converted > 0) {
                NDIlib_audio_frame_v2_t audio{};
                audio.sample_rate = sound->sample_rate;
                audio.no_channels = channels;
                audio.no_samples = converted;
                audio.timecode = NDIlib_send_timecode_synthesize;
                audio.p_data = planar.data();
                audio.channel_stride_in_bytes = int(sizeof(float)) * sound->nb_samples;
                ndi->send_send_audio_v2(sender, &audio);
            }
        }
    }
    return MF_OK;
}
