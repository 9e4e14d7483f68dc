#include "devicegrabber.h"

#include "mfresult.h"

#include <mutex>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/time.h>
}

namespace {
// Pause between polls of a device read without blocking: short against a frame period.
constexpr unsigned POLL_US = 2000;
} // namespace

DeviceGrabber::DeviceGrabber(const std::atomic<bool> *abort) : abortFlag(abort) {}

DeviceGrabber::~DeviceGrabber() {
    close();
}

void DeviceGrabber::registerDevices() {
    static std::once_flag once;
    std::call_once(once, [] { avdevice_register_all(); });
}

QString DeviceGrabber::errorText(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return QString::fromUtf8(text);
}

int DeviceGrabber::interrupted(void *opaque) {
    const auto *flag = static_cast<const std::atomic<bool> *>(opaque);
    return flag && flag->load() ? 1 : 0;
}

int DeviceGrabber::open(const char *formatName, const QString &url, const QMap<QString, QString> &options,
                        QString *error, bool nonBlocking) {
    close();
    registerDevices();
    const AVInputFormat *format = av_find_input_format(formatName);
    if (!format) {
        *error = QStringLiteral("FFmpeg has no input device \"%1\"").arg(QString::fromLatin1(formatName));
        return MF_E_UNSUPPORTED;
    }
    input = avformat_alloc_context();
    if (!input) {
        *error = QStringLiteral("out of memory");
        return MF_E_FAIL;
    }
    input->interrupt_callback.callback = &DeviceGrabber::interrupted;
    input->interrupt_callback.opaque = const_cast<std::atomic<bool> *>(abortFlag);
    if (nonBlocking)
        input->flags |= AVFMT_FLAG_NONBLOCK;

    AVDictionary *dict = nullptr;
    for (auto it = options.constBegin(); it != options.constEnd(); ++it)
        av_dict_set(&dict, it.key().toUtf8().constData(), it.value().toUtf8().constData(), 0);
    int result = avformat_open_input(&input, url.toUtf8().constData(), format, &dict);
    av_dict_free(&dict);
    if (result < 0) {
        // avformat_open_input frees the context on failure.
        input = nullptr;
        *error =
            QStringLiteral("cannot open %1 \"%2\": %3").arg(QString::fromLatin1(formatName), url, errorText(result));
        return MF_E_FAIL;
    }
    // Input devices describe their stream when they open; probing would only cost the first pictures.
    result = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (result < 0) {
        *error = QStringLiteral("no picture from \"%1\": %2").arg(url, errorText(result));
        close();
        return MF_E_FAIL;
    }
    streamIndex = result;
    const AVCodecParameters *parameters = input->streams[streamIndex]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
    decoder = codec ? avcodec_alloc_context3(codec) : nullptr;
    packet = av_packet_alloc();
    if (!decoder || !packet || avcodec_parameters_to_context(decoder, parameters) < 0 ||
        avcodec_open2(decoder, codec, nullptr) < 0) {
        *error = QStringLiteral("no decoder for the pictures of \"%1\" (%2)")
                     .arg(url, QString::fromLatin1(avcodec_get_name(parameters->codec_id)));
        close();
        return MF_E_UNSUPPORTED;
    }
    return MF_OK;
}

int DeviceGrabber::next(AVFrame *frame, QString *error) {
    av_frame_unref(frame);
    if (!input) {
        *error = QStringLiteral("not open");
        return MF_E_NOTREADY;
    }
    for (;;) {
        int result = avcodec_receive_frame(decoder, frame);
        if (result >= 0)
            return MF_OK;
        if (result != AVERROR(EAGAIN)) {
            *error = QStringLiteral("decoding failed: %1").arg(errorText(result));
            return MF_E_FAIL;
        }
        if (interrupted(const_cast<std::atomic<bool> *>(abortFlag)))
            return MF_E_TIMEOUT;
        result = av_read_frame(input, packet);
        if (result < 0) {
            if (interrupted(const_cast<std::atomic<bool> *>(abortFlag)))
                return MF_E_TIMEOUT;
            // A device read without blocking reports a momentary lack of data as EAGAIN.
            if (result == AVERROR(EAGAIN)) {
                av_usleep(POLL_US);
                continue;
            }
            *error = QStringLiteral("reading failed: %1").arg(errorText(result));
            return MF_E_FAIL;
        }
        if (packet->stream_index == streamIndex)
            result = avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
        // A damaged picture (a corrupt MJPEG frame) is skipped, not fatal.
        if (result < 0 && result != AVERROR(EAGAIN) && result != AVERROR_INVALIDDATA) {
            *error = QStringLiteral("decoding failed: %1").arg(errorText(result));
            return MF_E_FAIL;
        }
    }
}

void DeviceGrabber::close() {
    avcodec_free_context(&decoder);
    av_packet_free(&packet);
    if (input)
        avformat_close_input(&input);
    streamIndex = -1;
}

QSize DeviceGrabber::size() const {
    if (!input || streamIndex < 0)
        return {};
    const AVCodecParameters *parameters = input->streams[streamIndex]->codecpar;
    return QSize(parameters->width, parameters->height);
}

double DeviceGrabber::frameRate() const {
    if (!input || streamIndex < 0)
        return 0.0;
    const AVRational rate = input->streams[streamIndex]->avg_frame_rate;
    return rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
}
