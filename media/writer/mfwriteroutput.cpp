#include "mfwriteroutput.h"

#include "mfframe.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/mathematics.h>
#include <libavutil/pixdesc.h>
}

namespace {

// The TCP protocol's own bound on connect and on each blocked write, in microseconds; the writer's
// interrupt callback bounds the same waits from outside.
constexpr const char *tcpTimeoutUs = "5000000";
constexpr int defaultFrameRate = 25;
// Added to every time stamp: the AAC encoder's first packet starts 1024 samples before zero (its priming),
// and the muxer must never see a time stamp below the first one it wrote.
constexpr int64_t startOffsetUs = 100000;

QString errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromUtf8(text);
}

QString outputPath(const QString &url) {
    if (url.startsWith(QLatin1String("file://")))
        return url.mid(7);
    return url;
}

} // namespace

AVRational MFWriterOutput::frameRateOf(double rate) {
    if (!(rate > 0.0))
        return AVRational{0, 1};
    const double whole = std::round(rate);
    if (std::abs(rate - whole) < 1e-6)
        return AVRational{int(whole), 1};
    // 23.976, 29.97, 59.94 ... are n*1000/1001 however they were rounded when written down.
    const double ntsc = std::round(rate * 1.001);
    if (std::abs(rate - ntsc * 1000.0 / 1001.0) < 0.01)
        return AVRational{int(ntsc) * 1000, 1001};
    return av_d2q(rate, 1001000);
}

MFWriterOutput::MFWriterOutput(const QString &outputUrl, const MFWriterOptions &writerOptions,
                               const AVIOInterruptCB &interruptCallback)
    : url(outputUrl), options(writerOptions), interrupt(interruptCallback) {}

MFWriterOutput::~MFWriterOutput() {
    QString ignored;
    close(false, &ignored);
}

bool MFWriterOutput::open(const MFFrame &first, QString *why) {
    const MFFormat &format = first.format();
    frameRate = frameRateOf(format.frameRate);
    if (frameRate.num <= 0) {
        frameRate = AVRational{defaultFrameRate, 1};
        qDebug() << "MFWriter: the frames carry no frame rate, writing" << defaultFrameRate << "fps";
    }
    const QByteArray path = outputPath(url).toUtf8();
    const QByteArray container = options.format.isEmpty() ? QByteArray("mpegts") : options.format.toLatin1();
    int result = avformat_alloc_output_context2(&muxer, nullptr, container.constData(), path.constData());
    if (result < 0 || !muxer) {
        *why = QStringLiteral("container %1 cannot be written: %2").arg(QLatin1String(container), errorText(result));
        return false;
    }
    if (options.hasVideo() && !openVideo(first.video(), format, why))
        return false;
    if (options.hasAudio() && !openAudio(first.audio(), format, why))
        return false;
    if (muxer->nb_streams == 0) {
        *why = QStringLiteral("neither video nor audio is to be written");
        return false;
    }

    muxer->interrupt_callback = interrupt;
    // Every packet leaves at once: the relay behind the loopback connection sends live.
    muxer->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    if (!(muxer->oformat->flags & AVFMT_NOFILE)) {
        AVDictionary *io = nullptr;
        if (path.startsWith("tcp://"))
            av_dict_set(&io, "timeout", tcpTimeoutUs, 0);
        result = avio_open2(&muxer->pb, path.constData(), AVIO_FLAG_WRITE, &muxer->interrupt_callback, &io);
        av_dict_free(&io);
        if (result < 0) {
            *why = QStringLiteral("%1 cannot be opened: %2").arg(url, errorText(result));
            return false;
        }
    }
    AVDictionary *muxOptions = nullptr;
    if (container == "mpegts") {
        // Audio packets go out as they come instead of being gathered into large PES packets.
        av_dict_set(&muxOptions, "pes_payload_size", "0", 0);
        // A video PES without its length ends only where the next one begins, so a receiver would hold every
        // picture for one frame interval; with the length it can hand the picture on as soon as it is complete.
        av_dict_set(&muxOptions, "omit_video_pes_length", "0", 0);
    }
    result = avformat_write_header(muxer, &muxOptions);
    av_dict_free(&muxOptions);
    if (result < 0) {
        *why = QStringLiteral("%1: the stream header cannot be written: %2").arg(url, errorText(result));
        return false;
    }
    headerWritten = true;
    return true;
}

bool MFWriterOutput::openVideo(const AVFrame *picture, const MFFormat &format, QString *why) {
    if (!picture || picture->width <= 0 || picture->height <= 0) {
        *why = QStringLiteral("the first frame has no picture");
        return false;
    }
    videoEntry = mfCodecFind(options.videoCodec);
    if (!videoEntry) {
        *why = QStringLiteral("unknown video codec '%1'").arg(options.videoCodec);
        return false;
    }
    video = MFVideoEncoder::create(*videoEntry);
    if (!video) {
        *why = QStringLiteral("video codec %1: encoder %2 is not in this build")
                   .arg(options.videoCodec, QLatin1String(videoEntry->encoder));
        return false;
    }
    videoSettings.options = options;
    // 4:2:0 encoders need even sizes; an odd last row or column is left out.
    videoSettings.width = picture->width & ~1;
    videoSettings.height = picture->height & ~1;
    videoSettings.frameRate = frameRate;
    videoSettings.interlace = format.interlace;
    videoSettings.gop = options.gop;
    mfFitVideoSettings(*videoEntry, &videoSettings);
    if (videoSettings.interlaced() && videoEntry->family == MFEncoderFamily::OpenH264)
        qDebug() << "MFWriter: OpenH264 has no field coding; the interlaced frames are coded as progressive";
    if (videoSettings.interlaced() && videoEntry->family == MFEncoderFamily::X265)
        qDebug() << "MFWriter: libx265 codes fields only as pictures of their own; the interlaced frames are coded "
                    "as progressive";
    if (!video->open(videoSettings, why)) {
        *why = QStringLiteral("video codec %1: %2").arg(options.videoCodec, *why);
        return false;
    }
    AVStream *stream = avformat_new_stream(muxer, nullptr);
    if (!stream) {
        *why = QStringLiteral("out of memory");
        return false;
    }
    video->fillParameters(stream->codecpar);
    stream->time_base = video->timeBase();
    stream->avg_frame_rate = frameRate;
    stream->r_frame_rate = frameRate;
    videoStream = stream->index;
    return true;
}

bool MFWriterOutput::openAudio(const AVFrame *audioFrame, const MFFormat &format, QString *why) {
    if (!options.audioCodec.isEmpty() && options.audioCodec.compare(QLatin1String("aac"), Qt::CaseInsensitive)) {
        *why = QStringLiteral("unknown audio codec '%1'").arg(options.audioCodec);
        return false;
    }
    if (!audio.open(audioFrame, format, options, why))
        return false;
    for (int i = 0; i < audio.streamCount(); ++i) {
        AVStream *stream = avformat_new_stream(muxer, nullptr);
        if (!stream) {
            *why = QStringLiteral("out of memory");
            return false;
        }
        audio.fillParameters(i, stream->codecpar);
        stream->time_base = audio.timeBase();
        if (i == 0)
            audioStreamBase = stream->index;
    }
    withAudio = true;
    return true;
}

bool MFWriterOutput::convertPicture(const AVFrame *source, AVFrame **encoderFrame, QString *why) {
    const int width = videoSettings.width;
    const int height = videoSettings.height;
    const AVPixelFormat wanted = video->pixelFormat();
    AVFrame *out = av_frame_alloc();
    if (!out) {
        *why = QStringLiteral("out of memory");
        return false;
    }
    if (source->format == wanted && source->width == width && source->height == height) {
        // The picture is already what the encoder takes: a new reference, no copy.
        if (av_frame_ref(out, source) < 0) {
            av_frame_free(&out);
            *why = QStringLiteral("out of memory");
            return false;
        }
        *encoderFrame = out;
        return true;
    }
    if (!converted) {
        converted = av_frame_alloc();
        converted->format = wanted;
        converted->width = width;
        converted->height = height;
        if (av_frame_get_buffer(converted, 0) < 0) {
            av_frame_free(&converted);
            av_frame_free(&out);
            *why = QStringLiteral("out of memory");
            return false;
        }
    }
    // The encoder may still hold the previous picture.
    if (av_frame_make_writable(converted) < 0) {
        av_frame_free(&out);
        *why = QStringLiteral("out of memory");
        return false;
    }
    // Interlaced pictures are converted field by field, so that chroma of one field never mixes into the other.
    const int fields = videoSettings.interlaced() && source->height % 2 == 0 ? 2 : 1;
    SwsContext *previous = scaler;
    scaler = sws_getCachedContext(scaler, source->width, source->height / fields, AVPixelFormat(source->format), width,
                                  height / fields, wanted, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler && scaler != previous) {
        // RGB pictures become YUV with the matrix the stream is tagged with; swscale's default is BT.601.
        const AVPixFmtDescriptor *from = av_pix_fmt_desc_get(AVPixelFormat(source->format));
        if (from && (from->flags & AV_PIX_FMT_FLAG_RGB) && videoSettings.hd()) {
            const int *rgb = sws_getCoefficients(SWS_CS_DEFAULT);
            const int *yuv = sws_getCoefficients(SWS_CS_ITU709);
            sws_setColorspaceDetails(scaler, rgb, 1, yuv, 0, 0, 1 << 16, 1 << 16);
        }
    }
    if (!scaler) {
        av_frame_free(&out);
        *why = QStringLiteral("pictures in %1 cannot be converted to %2")
                   .arg(QLatin1String(av_get_pix_fmt_name(AVPixelFormat(source->format))),
                        QLatin1String(av_get_pix_fmt_name(wanted)));
        return false;
    }
    for (int field = 0; field < fields; ++field) {
        const uint8_t *sourcePlanes[4] = {};
        int sourceStrides[4] = {};
        uint8_t *targetPlanes[4] = {};
        int targetStrides[4] = {};
        for (int plane = 0; plane < 4; ++plane) {
            if (source->data[plane]) {
                sourcePlanes[plane] = source->data[plane] + field * source->linesize[plane];
                sourceStrides[plane] = source->linesize[plane] * fields;
            }
            if (converted->data[plane]) {
                targetPlanes[plane] = converted->data[plane] + field * converted->linesize[plane];
                targetStrides[plane] = converted->linesize[plane] * fields;
            }
        }
        sws_scale(scaler, sourcePlanes, sourceStrides, 0, source->height / fields, targetPlanes, targetStrides);
    }
    if (av_frame_ref(out, converted) < 0) {
        av_frame_free(&out);
        *why = QStringLiteral("out of memory");
        return false;
    }
    *encoderFrame = out;
    return true;
}

bool MFWriterOutput::put(const MFFrame &frame, QString *why) {
    std::vector<AVPacket *> videoPackets;
    std::vector<std::pair<int, AVPacket *>> audioPackets;
    bool ok = true;
    if (video) {
        const AVFrame *picture = frame.video();
        if (picture && picture->width > 0 && picture->height > 0) {
            av_frame_free(&lastPicture);
            lastPicture = av_frame_clone(picture);
        } else {
            picture = lastPicture; // keep the cadence: a frame without picture repeats the last one
        }
        AVFrame *input = nullptr;
        if (picture)
            ok = convertPicture(picture, &input, why);
        if (ok && input) {
            input->pts = frames;
            input->pict_type = AV_PICTURE_TYPE_NONE;
            input->interlaced_frame = videoSettings.interlaced() ? 1 : 0;
            input->top_field_first = videoSettings.interlace == 1 ? 1 : 0;
            ok = video->encode(input, &videoPackets, why);
        }
        av_frame_free(&input);
    }
    if (ok && withAudio) {
        // A frame without samples still holds its share of time: silence keeps audio and video together.
        const int64_t rateNum = int64_t(audio.sampleRate()) * frameRate.den;
        const int share =
            int(av_rescale(frames + 1, rateNum, frameRate.num) - av_rescale(frames, rateNum, frameRate.num));
        ok = audio.push(frame.audio(), share, why) && audio.encode(false, &audioPackets, why);
    }
    if (ok)
        ok = writePackets(videoPackets, audioPackets, why);
    for (AVPacket *packet : videoPackets)
        av_packet_free(&packet);
    for (auto &packet : audioPackets)
        av_packet_free(&packet.second);
    if (ok)
        ++frames;
    return ok;
}

bool MFWriterOutput::writePackets(std::vector<AVPacket *> &videoPackets,
                                  std::vector<std::pair<int, AVPacket *>> &audioPackets, QString *why) {
    struct Pending {
        AVPacket *packet;
        int stream;
        AVRational timeBase;
    };
    std::vector<Pending> pending;
    for (AVPacket *packet : videoPackets)
        pending.push_back({packet, videoStream, video->timeBase()});
    for (auto &packet : audioPackets)
        pending.push_back({packet.second, audioStreamBase + packet.first, audio.timeBase()});
    // In decoding order across the streams, so that the muxer's clock reference only moves forward.
    std::stable_sort(pending.begin(), pending.end(), [](const Pending &a, const Pending &b) {
        return av_compare_ts(a.packet->dts, a.timeBase, b.packet->dts, b.timeBase) < 0;
    });
    for (Pending &p : pending) {
        p.packet->stream_index = p.stream;
        const AVRational streamBase = muxer->streams[p.stream]->time_base;
        av_packet_rescale_ts(p.packet, p.timeBase, streamBase);
        const int64_t offset = av_rescale_q(startOffsetUs, AV_TIME_BASE_Q, streamBase);
        if (p.packet->pts != AV_NOPTS_VALUE)
            p.packet->pts += offset;
        if (p.packet->dts != AV_NOPTS_VALUE)
            p.packet->dts += offset;
        const int result = av_write_frame(muxer, p.packet);
        if (result < 0) {
            *why = QStringLiteral("writing to %1 failed: %2").arg(url, errorText(result));
            return false;
        }
    }
    if (muxer->pb) {
        avio_flush(muxer->pb);
        if (muxer->pb->error < 0) {
            *why = QStringLiteral("writing to %1 failed: %2").arg(url, errorText(muxer->pb->error));
            return false;
        }
    }
    return true;
}

bool MFWriterOutput::close(bool flush, QString *why) {
    bool ok = true;
    if (muxer && headerWritten && flush) {
        std::vector<AVPacket *> videoPackets;
        std::vector<std::pair<int, AVPacket *>> audioPackets;
        if (video)
            ok = video->encode(nullptr, &videoPackets, why);
        if (ok && withAudio)
            ok = audio.encode(true, &audioPackets, why);
        if (ok)
            ok = writePackets(videoPackets, audioPackets, why);
        for (AVPacket *packet : videoPackets)
            av_packet_free(&packet);
        for (auto &packet : audioPackets)
            av_packet_free(&packet.second);
        const int result = av_write_trailer(muxer);
        if (ok && result < 0) {
            *why = QStringLiteral("%1: the stream end cannot be written: %2").arg(url, errorText(result));
            ok = false;
        }
    }
    if (muxer) {
        if (muxer->pb && !(muxer->oformat->flags & AVFMT_NOFILE))
            avio_closep(&muxer->pb);
        avformat_free_context(muxer);
        muxer = nullptr;
    }
    headerWritten = false;
    video.reset();
    audio.close();
    withAudio = false;
    sws_freeContext(scaler);
    scaler = nullptr;
    av_frame_free(&converted);
    av_frame_free(&lastPicture);
    return ok;
}
