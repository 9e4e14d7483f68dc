#include "mfreader.h"

#include "mffactory.h"
#include "mfffmpeglog.h"
#include "mfframe.h"
#include "mfresult.h"
#include "mfsink.h"

#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libswresample/swresample.h>
}

namespace {

const QString kSinkScheme = QStringLiteral("mp://");
// Audio waiting for a video frame is capped, so a stream whose video stalls cannot grow it without end.
constexpr int kMaxPendingAudioSeconds = 10;
// Audio-only sources hand out frames of this many samples.
constexpr int kAudioOnlyFrameSamples = 1024;
// A source that has ended (or failed) answers a waiting request after this pause, not at once, so that a
// caller retrying at once does not spin.
constexpr int kEndedPauseMs = 100;
constexpr int kPollMs = 20;
constexpr double kMuteDb = -100.0;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void initNetworkOnce() {
    static std::once_flag once;
    std::call_once(once, [] { avformat_network_init(); });
}

// A return feed's URL carries its passphrase; logs show it as ***.
QString withoutSecret(const QString &url) {
    static const QRegularExpression secret(QStringLiteral("(passphrase=)[^&]*"));
    return QString(url).replace(secret, QStringLiteral("\\1***"));
}

// The return feed's stream id and passphrase are the operator's own text and come percent-encoded in its URL.
// FFmpeg's libsrt takes URL values literally (only '+' turns into a blank), so an '&' there could not be written
// at all: they go to libsrt decoded, as options, and the URL FFmpeg opens (and logs) no longer holds them.
QByteArray withoutSrtValues(const QString &url, AVDictionary **options) {
    const int query = url.indexOf(QLatin1Char('?'));
    if (!url.startsWith(QLatin1String("srt://")) || query < 0)
        return url.toUtf8();
    QStringList kept;
    for (const QString &pair : url.mid(query + 1).split(QLatin1Char('&'))) {
        const QString key = pair.section(QLatin1Char('='), 0, 0);
        if (key != QLatin1String("streamid") && key != QLatin1String("passphrase")) {
            kept.append(pair);
            continue;
        }
        const QByteArray value = QByteArray::fromPercentEncoding(pair.section(QLatin1Char('='), 1).toUtf8());
        av_dict_set(options, key.toUtf8().constData(), value.constData(), 0);
    }
    QString path = url.left(query);
    if (!kept.isEmpty())
        path += QLatin1Char('?') + kept.join(QLatin1Char('&'));
    return path.toUtf8();
}

QString errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

uint32_t colorOf(int pixel, const AVFrame *frame) {
    switch (pixel) {
    case AV_PIX_FMT_BGRA:
        return MFCC_ARGB32;
    case AV_PIX_FMT_BGR0:
        return MFCC_RGB32;
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        return MFCC_I420;
    case AV_PIX_FMT_NV12:
        return MFCC_NV12;
    case AV_PIX_FMT_YUYV422:
        return MFCC_YUY2;
    case AV_PIX_FMT_UYVY422:
        return frame && frame->colorspace == AVCOL_SPC_BT709 ? MFCC_HDYC : MFCC_UYVY;
    default:
        return MFCC_NONE;
    }
}

bool isAllZero(const MFFormat &format) {
    return !format.videoFormat && !format.colorFormat && !format.width && !format.height && !format.interlace &&
           !format.aspectX && !format.aspectY && format.frameRate <= 0 && !format.channels && !format.sampleRate &&
           !format.bitsPerSample;
}

} // namespace

struct MFReader::Impl {
    QMutex lock; // serialises open, read and close; ReaderInterrupt never takes it
    std::atomic<bool> interrupted{false};
    // The owner's own stop condition, asked wherever the interrupt flag is: an open that starts just after
    // the owner decided to stop sees it, where an interrupt sent before the open would be reset by it.
    std::function<bool()> stopCheck; // set under lock, read by the thread that holds it
    bool stopped() const { return interrupted.load() || (stopCheck && stopCheck()); }
    std::atomic<int64_t> deadline{0}; // steady-clock ms at which a blocking FFmpeg call gives up; 0 = none

    // Everything below is guarded by lock.
    bool open = false;
    QString sinkName; // set when reading a sink
    AVFormatContext *input = nullptr;
    AVCodecContext *videoDecoder = nullptr;
    AVCodecContext *audioDecoder = nullptr;
    int videoStream = -1;
    int audioStream = -1;
    AVPacket *packet = nullptr;
    AVFrame *decoded = nullptr;
    AVFrame *decodedAudio = nullptr;
    SwrContext *toPacked = nullptr;
    AVAudioFifo *pendingAudio = nullptr;
    AVChannelLayout audioLayout{};
    int audioRate = 0;
    double frameRate = 0.0;
    int64_t firstPts = AV_NOPTS_VALUE;
    int64_t lastStart = 0;
    bool draining = false;
    bool ended = false;
    bool loggedDecodeError = false;
    MFFactory converter;

    QMutex propsLock; // guards props and gains: set by the caller's thread while a read may run
    QHash<QString, QString> props;
    QVector<double> gains;

    static int interruptCallback(void *opaque) {
        auto *self = static_cast<Impl *>(opaque);
        if (self->stopped())
            return 1;
        const int64_t until = self->deadline.load();
        return until && nowMs() > until;
    }

    void close();
    int openUrl(const QString &url, const QString &options);
    int openDecoder(int stream, AVCodecContext **decoder, bool lowDelay);
    int readFromSink(int timeoutMs, MFFramePtr *frame);
    int readFromInput(int timeoutMs, MFFramePtr *frame);
    void takeAudio(const AVFrame *audio);
    AVFrame *pendingAudioFrame(int maxSamples);
    void applyGains(AVFrame *audio);
    MFFramePtr makeVideoFrame();
    bool pause(int ms);
};

void MFReader::Impl::close() {
    avcodec_free_context(&videoDecoder);
    avcodec_free_context(&audioDecoder);
    avformat_close_input(&input);
    av_packet_free(&packet);
    av_frame_free(&decoded);
    av_frame_free(&decodedAudio);
    swr_free(&toPacked);
    if (pendingAudio)
        av_audio_fifo_free(pendingAudio);
    pendingAudio = nullptr;
    av_channel_layout_uninit(&audioLayout);
    audioRate = 0;
    videoStream = audioStream = -1;
    frameRate = 0.0;
    firstPts = AV_NOPTS_VALUE;
    lastStart = 0;
    draining = ended = loggedDecodeError = false;
    sinkName.clear();
    open = false;
}

int MFReader::Impl::openDecoder(int stream, AVCodecContext **decoder, bool lowDelay) {
    const AVCodecParameters *parameters = input->streams[stream]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        return AVERROR_DECODER_NOT_FOUND;
    *decoder = avcodec_alloc_context3(codec);
    if (!*decoder)
        return AVERROR(ENOMEM);
    int result = avcodec_parameters_to_context(*decoder, parameters);
    if (result < 0)
        return result;
    (*decoder)->pkt_timebase = input->streams[stream]->time_base;
    if (codec->type == AVMEDIA_TYPE_VIDEO) {
        (*decoder)->thread_count = 2;
        // Frame threads hold back a frame per thread; slices add no delay.
        (*decoder)->thread_type = lowDelay ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
        if (lowDelay)
            (*decoder)->flags |= AV_CODEC_FLAG_LOW_DELAY;
    }
    return avcodec_open2(*decoder, codec, nullptr);
}

int MFReader::Impl::openUrl(const QString &url, const QString &options) {
    bool lowDelay = false;
    for (const QString &pair : options.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString key = pair.section(QLatin1Char('='), 0, 0);
        const QString value = pair.section(QLatin1Char('='), 1);
        if (key == QLatin1String("network.low_delay"))
            lowDelay = value == QLatin1String("true") || value == QLatin1String("1");
        else if (!key.startsWith(QLatin1String("network.")))
            qWarning() << "MFReader: option ignored:" << key;
        // network.buffer_max, network.open_async and network.show_attempts need nothing here: frames are
        // decoded on request, so nothing buffers beyond FFmpeg's own input buffer.
    }

    mfInstallFfmpegLog();
    initNetworkOnce();
    input = avformat_alloc_context();
    if (!input)
        return MF_E_FAIL;
    input->interrupt_callback.callback = &Impl::interruptCallback;
    input->interrupt_callback.opaque = this;
    // Probing a shorter stretch of a live feed starts the picture sooner. The packets read while probing
    // are kept (no AVFMT_FLAG_NOBUFFER): they hold the first key frame and its parameter sets.
    if (lowDelay)
        input->max_analyze_duration = AV_TIME_BASE;

    deadline = nowMs() + MFReader::OPEN_TIMEOUT_MS;
    AVDictionary *protocolOptions = nullptr;
    const QByteArray path = withoutSrtValues(url, &protocolOptions);
    int result = avformat_open_input(&input, path.constData(), nullptr, &protocolOptions);
    av_dict_free(&protocolOptions);
    if (result >= 0)
        result = avformat_find_stream_info(input, nullptr);
    deadline = 0;
    if (result < 0) {
        qWarning() << "MFReader: cannot open" << withoutSecret(url) << ":"
                   << (stopped() ? QStringLiteral("interrupted") : errorText(result));
        return MF_E_FAIL;
    }

    videoStream = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audioStream = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, videoStream, nullptr, 0);
    if (videoStream >= 0 && (result = openDecoder(videoStream, &videoDecoder, lowDelay)) < 0) {
        qWarning() << "MFReader: no video decoder for" << withoutSecret(url) << ":" << errorText(result);
        avcodec_free_context(&videoDecoder);
        videoStream = -1;
    }
    if (audioStream >= 0 && (result = openDecoder(audioStream, &audioDecoder, lowDelay)) < 0) {
        qWarning() << "MFReader: no audio decoder for" << withoutSecret(url) << ":" << errorText(result);
        avcodec_free_context(&audioDecoder);
        audioStream = -1;
    }
    if (videoStream < 0 && audioStream < 0) {
        qWarning() << "MFReader: nothing to decode in" << withoutSecret(url);
        return MF_E_UNSUPPORTED;
    }
    for (unsigned i = 0; i < input->nb_streams; ++i)
        if (int(i) != videoStream && int(i) != audioStream)
            input->streams[i]->discard = AVDISCARD_ALL;
    if (videoStream >= 0) {
        const AVRational rate = av_guess_frame_rate(input, input->streams[videoStream], nullptr);
        frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0;
    }
    packet = av_packet_alloc();
    decoded = av_frame_alloc();
    decodedAudio = av_frame_alloc();
    if (!packet || !decoded || !decodedAudio)
        return MF_E_FAIL;
    return MF_OK;
}

bool MFReader::Impl::pause(int ms) {
    const int64_t until = nowMs() + ms;
    while (!stopped() && nowMs() < until)
        QThread::msleep(kPollMs);
    return !stopped();
}

void MFReader::Impl::takeAudio(const AVFrame *audio) {
    if (!toPacked || audio->sample_rate != audioRate || av_channel_layout_compare(&audio->ch_layout, &audioLayout)) {
        // A new or changed audio format: what is pending in the old one cannot be mixed with the new.
        swr_free(&toPacked);
        if (pendingAudio)
            av_audio_fifo_free(pendingAudio);
        pendingAudio = nullptr;
        av_channel_layout_uninit(&audioLayout);
        av_channel_layout_copy(&audioLayout, &audio->ch_layout);
        audioRate = audio->sample_rate;
        if (swr_alloc_set_opts2(&toPacked, &audioLayout, AV_SAMPLE_FMT_FLT, audioRate, &audioLayout,
                                AVSampleFormat(audio->format), audio->sample_rate, 0, nullptr) < 0 ||
            swr_init(toPacked) < 0) {
            swr_free(&toPacked);
            return;
        }
        pendingAudio = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLT, audioLayout.nb_channels, audioRate);
        if (!pendingAudio) {
            swr_free(&toPacked);
            return;
        }
    }
    const int room = swr_get_out_samples(toPacked, audio->nb_samples);
    if (room <= 0)
        return;
    uint8_t *buffer = nullptr;
    if (av_samples_alloc(&buffer, nullptr, audioLayout.nb_channels, room, AV_SAMPLE_FMT_FLT, 0) < 0)
        return;
    const int converted =
        swr_convert(toPacked, &buffer, room, const_cast<const uint8_t **>(audio->extended_data), audio->nb_samples);
    if (converted > 0) {
        const int excess = av_audio_fifo_size(pendingAudio) + converted - kMaxPendingAudioSeconds * audioRate;
        if (excess > 0)
            av_audio_fifo_drain(pendingAudio, excess);
        void *planes[1] = {buffer};
        av_audio_fifo_write(pendingAudio, planes, converted);
    }
    av_freep(&buffer);
}

AVFrame *MFReader::Impl::pendingAudioFrame(int maxSamples) {
    const int available = pendingAudio ? av_audio_fifo_size(pendingAudio) : 0;
    const int samples = maxSamples > 0 ? std::min(available, maxSamples) : available;
    if (samples <= 0)
        return nullptr;
    AVFrame *audio = av_frame_alloc();
    if (!audio)
        return nullptr;
    audio->format = AV_SAMPLE_FMT_FLT;
    audio->sample_rate = audioRate;
    audio->nb_samples = samples;
    av_channel_layout_copy(&audio->ch_layout, &audioLayout);
    if (av_frame_get_buffer(audio, 0) < 0) {
        av_frame_free(&audio);
        return nullptr;
    }
    av_audio_fifo_read(pendingAudio, reinterpret_cast<void **>(audio->data), samples);
    applyGains(audio);
    return audio;
}

void MFReader::Impl::applyGains(AVFrame *audio) {
    QVector<double> factors;
    {
        QMutexLocker lock(&propsLock);
        if (gains.isEmpty())
            return;
        for (double gain : gains)
            factors.append(gain <= kMuteDb ? 0.0 : std::pow(10.0, gain / 20.0));
    }
    const int channels = audio->ch_layout.nb_channels;
    auto *samples = reinterpret_cast<float *>(audio->data[0]);
    for (int channel = 0; channel < channels && channel < factors.size(); ++channel) {
        const float factor = float(factors[channel]);
        if (factor == 1.0f)
            continue;
        for (int i = 0; i < audio->nb_samples; ++i)
            samples[i * channels + channel] *= factor;
    }
}

MFFramePtr MFReader::Impl::makeVideoFrame() {
    MFFormat format;
    format.colorFormat = colorOf(decoded->format, decoded);
    format.width = decoded->width;
    format.height = decoded->height;
    format.interlace = !decoded->interlaced_frame ? MFIL_PROGRESSIVE
                       : decoded->top_field_first ? MFIL_TOP_FIRST
                                                  : MFIL_BOTTOM_FIRST;
    const AVRational sar = decoded->sample_aspect_ratio.num > 0 ? decoded->sample_aspect_ratio : AVRational{1, 1};
    int aspectX = 0, aspectY = 0;
    av_reduce(&aspectX, &aspectY, int64_t(decoded->width) * sar.num, int64_t(decoded->height) * sar.den, 32767);
    format.aspectX = int16_t(aspectX);
    format.aspectY = int16_t(aspectY);
    format.frameRate = frameRate;
    if (audioStream >= 0) {
        // Before the first audio is decoded the decoder's parameters tell what will come.
        format.channels = audioRate > 0 ? audioLayout.nb_channels : audioDecoder->ch_layout.nb_channels;
        format.sampleRate = audioRate > 0 ? audioRate : audioDecoder->sample_rate;
        format.bitsPerSample = 32;
    }

    const int64_t duration = int64_t(std::llround(MF_TIME_UNITS_PER_SECOND / frameRate));
    int64_t start = lastStart + duration;
    const int64_t pts = decoded->best_effort_timestamp;
    if (pts != AV_NOPTS_VALUE) {
        if (firstPts == AV_NOPTS_VALUE)
            firstPts = pts;
        start =
            av_rescale_q(pts - firstPts, input->streams[videoStream]->time_base, {1, int(MF_TIME_UNITS_PER_SECOND)});
    }
    lastStart = start;

    AVFrame *audio = pendingAudioFrame(0);
    std::shared_ptr<MFFrame> frame = MFFrame::make(decoded, audio, format);
    av_frame_free(&audio);
    av_frame_unref(decoded);
    frame->MFTimeSet(start, start + duration);
    if (format.colorFormat == MFCC_NONE) {
        // A picture format the rest of the layer does not know (10-bit, 4:4:4 ...) becomes I420.
        MFFormat planar;
        planar.colorFormat = MFCC_I420;
        MFFramePtr converted;
        if (MF_FAILED(converter.MFFrameConvert(frame, planar, &converted)))
            return nullptr;
        return converted;
    }
    return frame;
}

int MFReader::Impl::readFromSink(int timeoutMs, MFFramePtr *frame) {
    const int64_t until = nowMs() + (timeoutMs < 0 ? MFSink::MAX_WAIT_MS : timeoutMs);
    const MFFormat asItIs;
    do {
        if (stopped())
            return MF_E_FAIL;
        // Looked up for every request: the sink may be cleaned and set up again under the same name.
        if (std::shared_ptr<MFSink> sink = MFSink::findByName(sinkName)) {
            const int slice = int(std::max<int64_t>(0, std::min<int64_t>(kPollMs * 5, until - nowMs())));
            const int result = sink->SourceFrameConvertedGetByFormat(asItIs, frame, slice, QString());
            if (result == MF_OK)
                return MF_OK;
        } else {
            QThread::msleep(kPollMs);
        }
    } while (nowMs() < until);
    return timeoutMs == 0 ? MF_FALSE : MF_E_TIMEOUT;
}

int MFReader::Impl::readFromInput(int timeoutMs, MFFramePtr *frame) {
    if (ended) {
        if (timeoutMs != 0)
            pause(kEndedPauseMs);
        return MF_E_FAIL;
    }
    deadline = nowMs() + (timeoutMs > 0 ? timeoutMs : MFReader::STALL_TIMEOUT_MS);
    struct DeadlineReset {
        std::atomic<int64_t> &deadline;
        ~DeadlineReset() { deadline = 0; }
    } reset{deadline};

    for (;;) {
        if (videoDecoder) {
            const int result = avcodec_receive_frame(videoDecoder, decoded);
            if (result == 0) {
                *frame = makeVideoFrame();
                return *frame ? MF_OK : MF_E_FAIL;
            }
            if (result == AVERROR_EOF) {
                ended = true;
                return MF_E_FAIL;
            }
        } else {
            const int available = pendingAudio ? av_audio_fifo_size(pendingAudio) : 0;
            if (available >= kAudioOnlyFrameSamples || (draining && available > 0)) {
                MFFormat format;
                format.channels = audioLayout.nb_channels;
                format.sampleRate = audioRate;
                format.bitsPerSample = 32;
                AVFrame *audio = pendingAudioFrame(kAudioOnlyFrameSamples);
                auto made = MFFrame::make(nullptr, audio, format);
                const int64_t start = lastStart;
                lastStart += av_rescale(audio ? audio->nb_samples : 0, MF_TIME_UNITS_PER_SECOND, audioRate);
                made->MFTimeSet(start, lastStart);
                av_frame_free(&audio);
                *frame = made;
                return MF_OK;
            }
            if (draining) {
                ended = true;
                return MF_E_FAIL;
            }
        }

        const int result = av_read_frame(input, packet);
        if (result < 0) {
            if (stopped())
                return MF_E_FAIL;
            if (result == AVERROR(EAGAIN)) {
                QThread::msleep(kPollMs);
                continue;
            }
            // Our deadline, not the end (a demuxer may call a cut-short read its end of file): let a later
            // request go on reading the same input.
            const int64_t until = deadline;
            if (result == AVERROR_EXIT || (until && nowMs() > until)) {
                if (input->pb) {
                    input->pb->eof_reached = 0;
                    input->pb->error = 0;
                }
                return MF_E_TIMEOUT;
            }
            if (result != AVERROR_EOF && !loggedDecodeError) {
                qWarning() << "MFReader: read failed:" << errorText(result);
                loggedDecodeError = true;
            }
            // End of input: flush what the decoders hold, then report the end.
            draining = true;
            if (audioDecoder && avcodec_send_packet(audioDecoder, nullptr) >= 0)
                while (avcodec_receive_frame(audioDecoder, decodedAudio) == 0) {
                    takeAudio(decodedAudio);
                    av_frame_unref(decodedAudio);
                }
            if (videoDecoder)
                avcodec_send_packet(videoDecoder, nullptr);
            continue;
        }
        if (packet->stream_index == audioStream) {
            if (avcodec_send_packet(audioDecoder, packet) >= 0)
                while (avcodec_receive_frame(audioDecoder, decodedAudio) == 0) {
                    takeAudio(decodedAudio);
                    av_frame_unref(decodedAudio);
                }
        } else if (packet->stream_index == videoStream) {
            const int sent = avcodec_send_packet(videoDecoder, packet);
            if (sent < 0 && sent != AVERROR(EAGAIN) && !loggedDecodeError) {
                qWarning() << "MFReader: video decoding failed:" << errorText(sent);
                loggedDecodeError = true;
            }
        }
        av_packet_unref(packet);
    }
}

MFReader::MFReader() : d(std::make_unique<Impl>()) {}

MFReader::~MFReader() {
    ReaderClose();
}

std::shared_ptr<MFReader> MFReader::create() {
    return std::make_shared<MFReader>();
}

int MFReader::ReaderOpen(const QString &url, const QString &options) {
    QMutexLocker lock(&d->lock);
    d->close();
    d->interrupted = false;
    if (url.isEmpty())
        return MF_E_INVALIDARG;
    if (url.startsWith(kSinkScheme)) {
        const QString name = url.mid(kSinkScheme.size());
        if (!MFSink::findByName(name)) {
            qWarning() << "MFReader: no sink named" << name;
            return MF_E_NOTFOUND;
        }
        d->sinkName = name;
        d->open = true;
        return MF_OK;
    }
    const int result = d->openUrl(url, options);
    if (MF_FAILED(result)) {
        d->close();
        return result;
    }
    d->open = true;
    return MF_OK;
}

int MFReader::SourceFrameGet(int timeoutMs, MFFramePtr *frame, const QString &) {
    if (!frame)
        return MF_E_INVALIDARG;
    frame->reset();
    QMutexLocker lock(&d->lock);
    if (!d->open)
        return MF_E_NOTREADY;
    if (d->stopped())
        return MF_E_FAIL;
    return d->sinkName.isEmpty() ? d->readFromInput(timeoutMs, frame) : d->readFromSink(timeoutMs, frame);
}

int MFReader::SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                              const QString &options) {
    MFFramePtr source;
    const int result = SourceFrameGet(timeoutMs, &source, options);
    if (result != MF_OK)
        return result;
    if (isAllZero(format)) {
        *frame = std::move(source);
        return MF_OK;
    }
    return d->converter.MFFrameConvert(source, format, frame);
}

int MFReader::ReaderStopCheckSet(std::function<bool()> check) {
    QMutexLocker lock(&d->lock);
    d->stopCheck = std::move(check);
    return MF_OK;
}

int MFReader::ReaderInterrupt() {
    d->interrupted = true;
    return MF_OK;
}

int MFReader::ReaderClose() {
    d->interrupted = true; // a read in progress on another thread returns first
    QMutexLocker lock(&d->lock);
    d->close();
    return MF_OK;
}

int MFReader::PropsSet(const QString &name, const QString &value) {
    if (name.isEmpty())
        return MF_E_INVALIDARG;
    QVector<double> parsed;
    if (name == QLatin1String("audio_gain")) {
        for (const QString &item : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            bool ok = false;
            const double gain = item.trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(gain))
                return MF_E_INVALIDARG;
            parsed.append(gain);
        }
    }
    QMutexLocker lock(&d->propsLock);
    d->props.insert(name, value);
    if (name == QLatin1String("audio_gain"))
        d->gains = parsed;
    return MF_OK;
}

int MFReader::PropsGet(const QString &name, QString *value) {
    QMutexLocker lock(&d->propsLock);
    auto found = d->props.constFind(name);
    if (found == d->props.constEnd())
        return MF_E_NOTFOUND;
    if (value)
        *value = found.value();
    return MF_OK;
}

int MFReader::PropsOptionGetCount(const QString &, int *count) {
    if (!count)
        return MF_E_INVALIDARG;
    *count = 0;
    return MF_OK;
}

int MFReader::PropsOptionGetByIndex(const QString &, int, QString *value, QString *description) {
    if (value)
        value->clear();
    if (description)
        description->clear();
    return MF_E_NOTFOUND;
}

int MFReader::PropsOptionSetByIndex(const QString &, int) {
    return MF_E_NOTFOUND;
}
