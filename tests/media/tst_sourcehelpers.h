#pragma once

// Helpers shared by the live source tests: picking a device by name, reading a frame's audio, and
// measuring a tone's strength at a frequency.

#include "mfframe.h"
#include "mformats.h"
#include "mfresult.h"

#include <QString>
#include <QVector>

#include <cmath>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

namespace sourcetest {

inline int indexOf(MFormats &source, int type, const QString &name) {
    int count = 0;
    if (MF_FAILED(source.DeviceGetCount(type, &count)))
        return -1;
    for (int i = 0; i < count; ++i) {
        QString entry;
        if (MF_SUCCEEDED(source.DeviceGetByIndex(type, i, &entry)) && entry == name)
            return i;
    }
    return -1;
}

inline QStringList names(MFormats &source, int type) {
    QStringList list;
    int count = 0;
    source.DeviceGetCount(type, &count);
    for (int i = 0; i < count; ++i) {
        QString entry;
        source.DeviceGetByIndex(type, i, &entry);
        list << entry;
    }
    return list;
}

inline MFFormat format(int width, int height, double rate, int channels = 2, int sampleRate = 48000) {
    MFFormat f;
    f.width = width;
    f.height = height;
    f.frameRate = rate;
    f.channels = channels;
    f.sampleRate = sampleRate;
    f.bitsPerSample = 16;
    return f;
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
