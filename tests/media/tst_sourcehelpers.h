#pragma once

// Helpers shared by the live source tests: a format record, reading a frame's audio, and measuring a tone's
// strength at a frequency.

#include "mediatestkit.h"
#include "mfframe.h"

#include <QString>
#include <QVector>

#include <cmath>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

namespace sourcetest {

using namespace mediatest;

inline MFFormat format(int width, int height, double rate, int channels = 2, int sampleRate = 48000) {
    return {0, 0, width, height, 0, 0, 0, rate, channels, sampleRate, 16};
}

// The samples of one channel of a frame's audio, as doubles in [-1, 1]; S16 or FLT, packed or planar.
inline QVector<double> channel(const MFFramePtr &frame, int index) {
    QVector<double> out;
    MFFrame *f = MFFrame::from(frame);
    if (!f || !f->audio())
        return out;
    const AVFrame *a = f->audio();
    const int channels = a->ch_layout.nb_channels;
    if (index >= channels)
        return out;
    const AVSampleFormat fmt = AVSampleFormat(a->format);
    const bool planar = av_sample_fmt_is_planar(fmt);
    const AVSampleFormat packed = av_get_packed_sample_fmt(fmt);
    for (int i = 0; i < a->nb_samples; ++i) {
        const int plane = planar ? index : 0;
        const int pos = planar ? i : i * channels + index;
        if (packed == AV_SAMPLE_FMT_S16)
            out << reinterpret_cast<const int16_t *>(a->extended_data[plane])[pos] / 32768.0;
        else if (packed == AV_SAMPLE_FMT_FLT)
            out << reinterpret_cast<const float *>(a->extended_data[plane])[pos];
    }
    return out;
}

// Goertzel power of a frequency, normalised by the length (a full-scale sine gives about 0.25).
inline double tonePower(const QVector<double> &samples, double frequency, int sampleRate) {
    if (samples.isEmpty())
        return 0.0;
    const double w = 2.0 * M_PI * frequency / sampleRate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0;
    for (double x : samples) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return power / (double(samples.size()) * samples.size());
}

} // namespace sourcetest
