#pragma once

// The audio path of the live source: takes a device's samples from its FIFO, maps and mixes channels,
// converts sample format and rate (swresample), and hands out exactly the number of samples each frame
// needs. A little silence is primed at the start so that a device delivering in bursts never runs the
// output dry; a device whose clock drifts against the frame clock is pulled back by stretching the
// resampling slightly, and only a large excess is thrown away (audio, never video). Media-internal.

#include "mfaudiochannelmap.h"

#include <cstdint>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

class MFAudioFifo;
struct SwrContext;

struct MFAudioParams {
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    int channels = 0;
    int sampleRate = 0;
    bool operator==(const MFAudioParams &o) const {
        return format == o.format && channels == o.channels && sampleRate == o.sampleRate;
    }
    bool operator!=(const MFAudioParams &o) const { return !(*this == o); }
};

class MFAudioPipe {
public:
    MFAudioPipe() = default;
    ~MFAudioPipe();
    MFAudioPipe(const MFAudioPipe &) = delete;
    MFAudioPipe &operator=(const MFAudioPipe &) = delete;

    // The output channel count for a source channel count, a map and a requested count (0: as the
    // source): a map decides the count by itself.
    static int outputChannels(int sourceChannels, const MFAudioChannelMap &map, int requested);

    // Builds the conversion; latencySamples of silence (output rate) are primed.
    int open(const MFAudioParams &in, const MFAudioParams &out, const MFAudioChannelMap &map, int latencySamples);
    void close();
    bool isOpen() const { return swr != nullptr; }
    bool matches(const MFAudioParams &in, const MFAudioParams &out, const QString &mapText) const {
        return isOpen() && in == input && out == output && mapText == mapSource;
    }

    // Takes all the FIFO holds and fills out (unreferenced first) with exactly samples samples in the
    // output format; what is missing is silence. correctDrift: follow the device's clock (real time).
    int take(MFAudioFifo *fifo, int samples, AVFrame *out, bool correctDrift);

    int64_t silencePadded() const { return padded; }
    int64_t excessDropped() const { return dropped; }

private:
    int convertFrom(MFAudioFifo *fifo);
    void controlDrift(int remaining, int frameSamples);

    SwrContext *swr = nullptr;
    AVAudioFifo *ready = nullptr; // converted samples waiting for their frame
    AVFrame *scratchIn = nullptr;
    AVFrame *scratchOut = nullptr;
    MFAudioParams input, output;
    QString mapSource;
    int latency = 0;
    int64_t frames = 0;
    double smoothedLevel = -1.0;
    double referenceLevel = -1.0;
    int compensation = 0;
    int64_t padded = 0;
    int64_t dropped = 0;
};
