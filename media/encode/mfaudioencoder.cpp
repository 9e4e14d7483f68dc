#include "mfaudioencoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
}

namespace {

constexpr int defaultRate = 48000;
constexpr int defaultChannels = 2;
// A mono stream of a split channel set never gets less than this, however many channels share the rate.
constexpr int64_t minimumSplitBitrate = 32000;
constexpr int64_t defaultBitrate = 128000;

QString errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromUtf8(text);
}

AVSampleFormat formatOfBits(int bits) {
    if (bits == 32)
        return AV_SAMPLE_FMT_FLT;
    if (bits == 24 || bits == -32)
        return AV_SAMPLE_FMT_S32;
    return AV_SAMPLE_FMT_S16;
}

bool rateSupported(const AVCodec *codec, int rate) {
    if (!codec->supported_samplerates)
        return true;
    for (const int *r = codec->supported_samplerates; *r; ++r) {
        if (*r == rate)
            return true;
    }
    return false;
}

} // namespace

MFAudioEncoder::~MFAudioEncoder() {
    close();
}

void MFAudioEncoder::close() {
    for (AVCodecContext *&context : contexts)
        avcodec_free_context(&context);
    contexts.clear();
    swr_free(&resampler);
    if (fifo)
        av_audio_fifo_free(fifo);
    fifo = nullptr;
    av_channel_layout_uninit(&outputLayout);
    av_channel_layout_uninit(&inputLayout);
    inputRate = 0;
    inputFormat = -1;
    samplesSent = 0;
}

bool MFAudioEncoder::open(const AVFrame *firstAudio, const MFFormat &format, const MFWriterOptions &options,
                          QString *why) {
    close();
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) {
        *why = QStringLiteral("FFmpeg has no AAC encoder");
        return false;
    }
    int channels = defaultChannels;
    int rate = defaultRate;
    if (firstAudio && firstAudio->ch_layout.nb_channels > 0 && firstAudio->sample_rate > 0) {
        channels = firstAudio->ch_layout.nb_channels;
        rate = firstAudio->sample_rate;
    } else {
        if (format.channels > 0)
            channels = format.channels;
        if (format.sampleRate > 0)
            rate = format.sampleRate;
    }
    outputRate = options.sampleRate > 0 ? options.sampleRate : rate;
    if (!rateSupported(codec, outputRate)) {
        *why = QStringLiteral("AAC cannot be encoded at %1 Hz").arg(outputRate);
        return false;
    }
    if (firstAudio && firstAudio->ch_layout.order == AV_CHANNEL_ORDER_NATIVE)
        av_channel_layout_copy(&outputLayout, &firstAudio->ch_layout);
    else
        av_channel_layout_default(&outputLayout, channels);

    const int streams = options.splitChannels ? channels : 1;
    int64_t bitrate = options.audioBitrate > 0 ? options.audioBitrate : defaultBitrate;
    if (streams > 1)
        bitrate = std::max(minimumSplitBitrate, bitrate / streams);
    for (int i = 0; i < streams; ++i) {
        AVCodecContext *context = avcodec_alloc_context3(codec);
        if (!context) {
            *why = QStringLiteral("out of memory");
            return false;
        }
        contexts.push_back(context);
        context->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context->sample_rate = outputRate;
        context->time_base = AVRational{1, outputRate};
        context->bit_rate = bitrate;
        if (streams > 1)
            av_channel_layout_default(&context->ch_layout, 1);
        else
            av_channel_layout_copy(&context->ch_layout, &outputLayout);
        const int result = avcodec_open2(context, codec, nullptr);
        if (result < 0) {
            *why = QStringLiteral("AAC encoder cannot be opened for %1 channels at %2 Hz: %3")
                       .arg(context->ch_layout.nb_channels)
                       .arg(outputRate)
                       .arg(errorText(result));
            return false;
        }
        blockSize = context->frame_size > 0 ? context->frame_size : 1024;
    }
    fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, outputLayout.nb_channels, blockSize * 4);
    if (!fifo) {
        *why = QStringLiteral("out of memory");
        return false;
    }
    if (firstAudio)
        return configureResampler(firstAudio, why);
    AVFrame silent{};
    av_channel_layout_default(&silent.ch_layout, channels);
    silent.sample_rate = rate;
    silent.format = formatOfBits(format.bitsPerSample);
    const bool ok = configureResampler(&silent, why);
    av_channel_layout_uninit(&silent.ch_layout);
    return ok;
}

bool MFAudioEncoder::configureResampler(const AVFrame *audio, QString *why) {
    if (resampler && inputRate == audio->sample_rate && inputFormat == audio->format &&
        !av_channel_layout_compare(&inputLayout, &audio->ch_layout))
        return true;
    swr_free(&resampler);
    av_channel_layout_uninit(&inputLayout);
    av_channel_layout_copy(&inputLayout, &audio->ch_layout);
    if (inputLayout.order == AV_CHANNEL_ORDER_UNSPEC) {
        const int n = inputLayout.nb_channels;
        av_channel_layout_uninit(&inputLayout);
        av_channel_layout_default(&inputLayout, n);
    }
    inputRate = audio->sample_rate;
    inputFormat = audio->format;
    int result = swr_alloc_set_opts2(&resampler, &outputLayout, AV_SAMPLE_FMT_FLTP, outputRate, &inputLayout,
                                     AVSampleFormat(inputFormat), inputRate, 0, nullptr);
    if (result >= 0)
        result = swr_init(resampler);
    if (result < 0) {
        swr_free(&resampler);
        *why = QStringLiteral("audio of %1 channels at %2 Hz cannot be converted: %3")
                   .arg(inputLayout.nb_channels)
                   .arg(inputRate)
                   .arg(errorText(result));
        return false;
    }
    return true;
}

bool MFAudioEncoder::push(const AVFrame *audio, int silentSamples, QString *why) {
    if (!fifo) {
        *why = QStringLiteral("audio encoder not open");
        return false;
    }
    if (!audio || audio->nb_samples <= 0) {
        if (silentSamples <= 0)
            return true;
        AVFrame *silence = av_frame_alloc();
        silence->format = AV_SAMPLE_FMT_FLTP;
        silence->nb_samples = silentSamples;
        av_channel_layout_copy(&silence->ch_layout, &outputLayout);
        bool ok = av_frame_get_buffer(silence, 0) >= 0;
        if (ok) {
            av_samples_set_silence(silence->extended_data, 0, silentSamples, outputLayout.nb_channels,
                                   AV_SAMPLE_FMT_FLTP);
            ok = av_audio_fifo_write(fifo, reinterpret_cast<void **>(silence->extended_data), silentSamples) ==
                 silentSamples;
        }
        av_frame_free(&silence);
        if (!ok)
            *why = QStringLiteral("out of memory");
        return ok;
    }
    if (!configureResampler(audio, why))
        return false;
    const int capacity = int(swr_get_out_samples(resampler, audio->nb_samples));
    AVFrame *converted = av_frame_alloc();
    converted->format = AV_SAMPLE_FMT_FLTP;
    converted->nb_samples = std::max(capacity, 1);
    av_channel_layout_copy(&converted->ch_layout, &outputLayout);
    int result = av_frame_get_buffer(converted, 0);
    if (result >= 0)
        result = swr_convert(resampler, converted->extended_data, converted->nb_samples,
                             const_cast<const uint8_t **>(audio->extended_data), audio->nb_samples);
    if (result > 0 && av_audio_fifo_write(fifo, reinterpret_cast<void **>(converted->extended_data), result) != result)
        result = AVERROR(ENOMEM);
    av_frame_free(&converted);
    if (result < 0) {
        *why = QStringLiteral("audio conversion failed: %1").arg(errorText(result));
        return false;
    }
    return true;
}

bool MFAudioEncoder::sendBlock(int samples, std::vector<std::pair<int, AVPacket *>> *packets, QString *why) {
    AVFrame *block = av_frame_alloc();
    block->format = AV_SAMPLE_FMT_FLTP;
    block->nb_samples = samples;
    av_channel_layout_copy(&block->ch_layout, &outputLayout);
    if (av_frame_get_buffer(block, 0) < 0 ||
        av_audio_fifo_read(fifo, reinterpret_cast<void **>(block->extended_data), samples) != samples) {
        av_frame_free(&block);
        *why = QStringLiteral("out of memory");
        return false;
    }
    bool ok = true;
    for (int stream = 0; ok && stream < int(contexts.size()); ++stream) {
        AVFrame *input = block;
        AVFrame *mono = nullptr;
        if (contexts.size() > 1) {
            // One channel's plane as a mono frame sharing the block's buffer.
            mono = av_frame_alloc();
            mono->format = AV_SAMPLE_FMT_FLTP;
            mono->nb_samples = samples;
            mono->sample_rate = outputRate;
            av_channel_layout_default(&mono->ch_layout, 1);
            AVBufferRef *plane =
                stream < AV_NUM_DATA_POINTERS ? block->buf[stream] : block->extended_buf[stream - AV_NUM_DATA_POINTERS];
            mono->buf[0] = av_buffer_ref(plane ? plane : block->buf[0]);
            mono->data[0] = block->extended_data[stream];
            mono->extended_data = mono->data;
            mono->linesize[0] = block->linesize[0];
            input = mono;
        }
        input->pts = samplesSent;
        input->sample_rate = outputRate;
        const int result = avcodec_send_frame(contexts[size_t(stream)], input);
        av_frame_free(&mono);
        if (result < 0) {
            *why = QStringLiteral("AAC encoder refused samples: %1").arg(errorText(result));
            ok = false;
        } else {
            ok = receive(stream, packets, why);
        }
    }
    av_frame_free(&block);
    samplesSent += samples;
    return ok;
}

bool MFAudioEncoder::receive(int stream, std::vector<std::pair<int, AVPacket *>> *packets, QString *why) {
    while (true) {
        AVPacket *packet = av_packet_alloc();
        const int result = avcodec_receive_packet(contexts[size_t(stream)], packet);
        if (result < 0) {
            av_packet_free(&packet);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return true;
            *why = QStringLiteral("AAC encoder failed: %1").arg(errorText(result));
            return false;
        }
        packets->push_back({stream, packet});
    }
}

bool MFAudioEncoder::encode(bool drain, std::vector<std::pair<int, AVPacket *>> *packets, QString *why) {
    if (!fifo)
        return true;
    while (av_audio_fifo_size(fifo) >= blockSize) {
        if (!sendBlock(blockSize, packets, why))
            return false;
    }
    if (!drain)
        return true;
    if (av_audio_fifo_size(fifo) > 0 && !sendBlock(av_audio_fifo_size(fifo), packets, why))
        return false;
    for (int stream = 0; stream < int(contexts.size()); ++stream) {
        avcodec_send_frame(contexts[size_t(stream)], nullptr);
        if (!receive(stream, packets, why))
            return false;
    }
    return true;
}

void MFAudioEncoder::fillParameters(int stream, AVCodecParameters *parameters) const {
    if (stream >= 0 && stream < int(contexts.size()))
        avcodec_parameters_from_context(parameters, contexts[size_t(stream)]);
}
