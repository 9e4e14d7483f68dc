#include "mfaudiopipe.h"

#include "mfdevicebackend.h"
#include "mfresult.h"

#include <QDebug>
#include <QVector>

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {
// Frames of settling before the level the drift control holds is taken.
constexpr int SETTLE_FRAMES = 50;
// Deviation tolerated before the resampler is stretched, and the excess that is thrown away, in ms.
constexpr int DRIFT_TOLERANCE_MS = 10;
constexpr int EXCESS_MS = 300;
// Largest stretch: 1/200 = 0.5 %, inaudible as pitch.
constexpr int MAX_STRETCH_DIVISOR = 200;
} // namespace

MFAudioPipe::~MFAudioPipe() {
    close();
}

int MFAudioPipe::outputChannels(int sourceChannels, const MFAudioChannelMap &map, int requested) {
    if (!map.keepsSource())
        return map.outputChannels();
    return requested > 0 ? requested : sourceChannels;
}

void MFAudioPipe::close() {
    swr_free(&swr);
    if (ready)
        av_audio_fifo_free(ready);
    ready = nullptr;
    av_frame_free(&scratchIn);
    av_frame_free(&scratchOut);
    input = output = MFAudioParams();
    mapSource.clear();
    frames = 0;
    smoothedLevel = referenceLevel = -1.0;
    compensation = 0;
}

int MFAudioPipe::open(const MFAudioParams &in, const MFAudioParams &out, const MFAudioChannelMap &map,
                      int latencySamples) {
    close();
    if (in.format == AV_SAMPLE_FMT_NONE || in.channels <= 0 || in.sampleRate <= 0 || out.format == AV_SAMPLE_FMT_NONE ||
        out.channels <= 0 || out.sampleRate <= 0)
        return MF_E_INVALIDARG;
    AVChannelLayout inLayout, outLayout;
    av_channel_layout_default(&inLayout, in.channels);
    av_channel_layout_default(&outLayout, out.channels);
    int result = swr_alloc_set_opts2(&swr, &outLayout, out.format, out.sampleRate, &inLayout, in.format, in.sampleRate,
                                     0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (result < 0 || !swr) {
        qWarning() << "live source: cannot set up audio conversion";
        return MF_E_FAIL;
    }
    // Resampling stays on even at equal rates, so that the drift control can stretch at any time.
    av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
    if (!map.keepsSource()) {
        // Each output channel is the unit-gain sum of its source channels; absent sources stay silent.
        QVector<double> matrix(out.channels * in.channels, 0.0);
        for (int o = 0; o < out.channels && o < map.outputChannels(); ++o)
            for (int s : map.sources(o))
                if (s < in.channels)
                    matrix[o * in.channels + s] += 1.0;
        if (swr_set_matrix(swr, matrix.constData(), in.channels) < 0) {
            qWarning() << "live source: audio channel map not accepted" << map.text();
            close();
            return MF_E_FAIL;
        }
    }
    if (swr_init(swr) < 0) {
        qWarning() << "live source: cannot start audio conversion";
        close();
        return MF_E_FAIL;
    }
    ready = av_audio_fifo_alloc(out.format, out.channels, std::max(latencySamples * 2, out.sampleRate / 2));
    scratchIn = av_frame_alloc();
    scratchOut = av_frame_alloc();
    if (!ready || !scratchIn || !scratchOut) {
        close();
        return MF_E_FAIL;
    }
    input = in;
    output = out;
    mapSource = map.text();
    latency = std::max(0, latencySamples);
    if (latency > 0) {
        uint8_t **silence = nullptr;
        if (av_samples_alloc_array_and_samples(&silence, nullptr, out.channels, latency, out.format, 0) >= 0) {
            av_samples_set_silence(silence, 0, latency, out.channels, out.format);
            av_audio_fifo_write(ready, reinterpret_cast<void **>(silence), latency);
            av_freep(&silence[0]);
        }
        av_freep(&silence);
    }
    return MF_OK;
}

int MFAudioPipe::convertFrom(MFAudioFifo *fifo) {
    if (!fifo || fifo->format() != input.format || fifo->channels() != input.channels)
        return 0;
    const int available = fifo->size();
    if (available <= 0)
        return 0;
    av_frame_unref(scratchIn);
    scratchIn->format = input.format;
    av_channel_layout_default(&scratchIn->ch_layout, input.channels);
    scratchIn->sample_rate = input.sampleRate;
    scratchIn->nb_samples = available;
    if (av_frame_get_buffer(scratchIn, 0) < 0)
        return MF_E_FAIL;
    const int got = fifo->read(scratchIn->extended_data, available);
    const int room = swr_get_out_samples(swr, got);
    av_frame_unref(scratchOut);
    scratchOut->format = output.format;
    av_channel_layout_default(&scratchOut->ch_layout, output.channels);
    scratchOut->sample_rate = output.sampleRate;
    scratchOut->nb_samples = std::max(room, 1);
    if (av_frame_get_buffer(scratchOut, 0) < 0)
        return MF_E_FAIL;
    const int converted = swr_convert(swr, scratchOut->extended_data, scratchOut->nb_samples,
                                      const_cast<const uint8_t **>(scratchIn->extended_data), got);
    if (converted < 0)
        return MF_E_FAIL;
    if (converted > 0 &&
        av_audio_fifo_write(ready, reinterpret_cast<void **>(scratchOut->extended_data), converted) < converted)
        return MF_E_FAIL;
    return converted;
}

void MFAudioPipe::controlDrift(int remaining, int frameSamples) {
    const double alpha = 0.05;
    smoothedLevel = smoothedLevel < 0 ? remaining : smoothedLevel + alpha * (remaining - smoothedLevel);
    if (++frames == SETTLE_FRAMES)
        referenceLevel = smoothedLevel;
    if (referenceLevel < 0)
        return;
    const double tolerance = double(output.sampleRate) * DRIFT_TOLERANCE_MS / 1000.0;
    const double error = smoothedLevel - referenceLevel;
    int wanted = 0;
    if (error > tolerance)
        wanted = -std::max(1, frameSamples / MAX_STRETCH_DIVISOR); // too much queued: produce less
    else if (error < -tolerance)
        wanted = std::max(1, frameSamples / MAX_STRETCH_DIVISOR);
    if (wanted != compensation) {
        compensation = wanted;
        swr_set_compensation(swr, wanted, wanted ? frameSamples : 0);
    } else if (wanted) {
        swr_set_compensation(swr, wanted, frameSamples);
    }
}

int MFAudioPipe::take(MFAudioFifo *fifo, int samples, AVFrame *out, bool correctDrift) {
    if (!out || samples < 0)
        return MF_E_INVALIDARG;
    if (!isOpen())
        return MF_E_NOTREADY;
    const int converted = convertFrom(fifo);
    if (converted < 0)
        return converted;

    av_frame_unref(out);
    out->format = output.format;
    av_channel_layout_default(&out->ch_layout, output.channels);
    out->sample_rate = output.sampleRate;
    out->nb_samples = samples;
    if (samples == 0)
        return MF_OK;
    if (av_frame_get_buffer(out, 0) < 0)
        return MF_E_FAIL;
    const int got = std::max(0, av_audio_fifo_read(ready, reinterpret_cast<void **>(out->extended_data), samples));
    if (got < samples) {
        av_samples_set_silence(out->extended_data, got, samples - got, output.channels, output.format);
        padded += samples - got;
    }
    const int remaining = av_audio_fifo_size(ready);
    const int excess = remaining - latency - int(int64_t(output.sampleRate) * EXCESS_MS / 1000);
    if (excess > 0) {
        // Far more than the latency queued (the consumer stalled, or a device runs much too fast).
        av_audio_fifo_drain(ready, excess);
        dropped += excess;
        smoothedLevel = -1.0;
    }
    if (correctDrift)
        controlDrift(av_audio_fifo_size(ready), samples);
    return MF_OK;
}
