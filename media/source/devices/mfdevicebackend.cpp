#include "mfdevicebackend.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

extern "C" {
#include <libavutil/channel_layout.h>
}

MFPictureSlot::~MFPictureSlot() {
    av_frame_free(&picture);
}

void MFPictureSlot::put(const AVFrame *frame, int64_t captureUs) {
    if (!frame)
        return;
    AVFrame *copy = av_frame_alloc();
    if (!copy)
        return;
    if (av_frame_ref(copy, frame) < 0) {
        av_frame_free(&copy);
        return;
    }
    AVFrame *old = nullptr;
    {
        QMutexLocker locker(&lock);
        old = picture;
        picture = copy;
        ++seq;
        captured = captureUs;
    }
    arrived.wakeAll();
    // The old picture is released outside the lock: freeing may return buffers to a pool.
    av_frame_free(&old);
}

int MFPictureSlot::get(AVFrame *out, uint64_t *sequence, int64_t *captureUs) const {
    if (!out)
        return MF_E_INVALIDARG;
    av_frame_unref(out);
    QMutexLocker locker(&lock);
    if (!picture)
        return MF_E_NOTREADY;
    if (av_frame_ref(out, picture) < 0)
        return MF_E_FAIL;
    if (sequence)
        *sequence = seq;
    if (captureUs)
        *captureUs = captured;
    return MF_OK;
}

bool MFPictureSlot::waitNewer(uint64_t sequence, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs < 0 ? 0 : timeoutMs);
    QMutexLocker locker(&lock);
    while (!(picture && seq > sequence)) {
        if (deadline.hasExpired() || !arrived.wait(&lock, deadline))
            return picture && seq > sequence;
    }
    return true;
}

uint64_t MFPictureSlot::sequence() const {
    QMutexLocker locker(&lock);
    return seq;
}

void MFPictureSlot::clear() {
    AVFrame *old = nullptr;
    {
        QMutexLocker locker(&lock);
        old = picture;
        picture = nullptr;
    }
    av_frame_free(&old);
}

MFAudioFifo::~MFAudioFifo() {
    if (fifo)
        av_audio_fifo_free(fifo);
}

int MFAudioFifo::configure(AVSampleFormat format, int channels, int sampleRate, int capacityMs) {
    if (format == AV_SAMPLE_FMT_NONE || channels <= 0 || sampleRate <= 0 || capacityMs <= 0)
        return MF_E_INVALIDARG;
    QMutexLocker locker(&lock);
    const int newCapacity = int(int64_t(sampleRate) * capacityMs / 1000);
    if (fifo && format == sampleFormat && channels == channelCount && sampleRate == rate && newCapacity == capacity)
        return MF_OK;
    if (fifo)
        av_audio_fifo_free(fifo);
    fifo = av_audio_fifo_alloc(format, channels, newCapacity);
    if (!fifo)
        return MF_E_FAIL;
    sampleFormat = format;
    channelCount = channels;
    rate = sampleRate;
    capacity = newCapacity;
    totalWritten = 0;
    totalDropped = 0;
    return MF_OK;
}

int MFAudioFifo::write(const uint8_t *const *data, int samples) {
    if (!data || samples <= 0)
        return samples == 0 ? MF_OK : MF_E_INVALIDARG;
    QMutexLocker locker(&lock);
    if (!fifo)
        return MF_E_NOTREADY;
    int offset = 0;
    if (samples > capacity) {
        // More than the whole FIFO holds: only the newest part can be kept.
        offset = samples - capacity;
        totalDropped += offset;
    }
    const int keep = samples - offset;
    const int overflow = av_audio_fifo_size(fifo) + keep - capacity;
    if (overflow > 0) {
        av_audio_fifo_drain(fifo, overflow);
        totalDropped += overflow;
    }
    const int bytesPerSample = av_get_bytes_per_sample(sampleFormat);
    const bool planar = av_sample_fmt_is_planar(sampleFormat);
    uint8_t *planes[AV_NUM_DATA_POINTERS * 8] = {};
    const int planeCount = planar ? channelCount : 1;
    if (planeCount > int(sizeof(planes) / sizeof(planes[0])))
        return MF_E_UNSUPPORTED;
    const int stepBytes = planar ? bytesPerSample : bytesPerSample * channelCount;
    for (int p = 0; p < planeCount; ++p)
        planes[p] = const_cast<uint8_t *>(data[p]) + int64_t(offset) * stepBytes;
    if (av_audio_fifo_write(fifo, reinterpret_cast<void **>(planes), keep) < keep)
        return MF_E_FAIL;
    totalWritten += samples;
    return MF_OK;
}

int MFAudioFifo::read(uint8_t *const *data, int samples) {
    if (!data || samples <= 0)
        return 0;
    QMutexLocker locker(&lock);
    if (!fifo)
        return 0;
    const int got = av_audio_fifo_read(fifo, reinterpret_cast<void **>(const_cast<uint8_t **>(data)), samples);
    return got < 0 ? 0 : got;
}

void MFAudioFifo::reset() {
    QMutexLocker locker(&lock);
    if (fifo)
        av_audio_fifo_reset(fifo);
}

int MFAudioFifo::size() const {
    QMutexLocker locker(&lock);
    return fifo ? av_audio_fifo_size(fifo) : 0;
}

AVSampleFormat MFAudioFifo::format() const {
    QMutexLocker locker(&lock);
    return sampleFormat;
}

int MFAudioFifo::channels() const {
    QMutexLocker locker(&lock);
    return channelCount;
}

int MFAudioFifo::sampleRate() const {
    QMutexLocker locker(&lock);
    return rate;
}

int64_t MFAudioFifo::written() const {
    QMutexLocker locker(&lock);
    return totalWritten;
}

int64_t MFAudioFifo::dropped() const {
    QMutexLocker locker(&lock);
    return totalDropped;
}
