#include "mfclockedoutput.h"

#include "mfframe.h"
#include "mfresult.h"

#include <QDebug>

#include <pulse/error.h>
#include <pulse/simple.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int64_t kUsPerSecond = 1000000;
// Workers wake at least this often to see their stop flag.
constexpr auto kPoll = 100ms;
constexpr double kDefaultRate = 25.0;
// What a frame without sound is played as until a frame with sound says otherwise: the renderer's own format.
constexpr int kDefaultSampleRate = 48000;
constexpr int kDefaultChannels = 2;
constexpr int kMaxPulseChannels = 8;
// In steady-clock mode a clock this far behind the newest picture is moved up to it.
constexpr int64_t kWallTargetAheadUs = 100000;

struct FrameDeleter {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
using FrameHolder = std::unique_ptr<AVFrame, FrameDeleter>;

struct Picture {
    int64_t startUs;
    MFFramePtr frame;
};

// One frame's share of sound, or its length of silence (no samples).
struct Chunk {
    int64_t startUs;
    int64_t lengthUs;
    FrameHolder samples;
};

int64_t nowUs() {
    return av_gettime_relative();
}

pa_sample_format_t pulseFormatOf(int format) {
    switch (format) {
    case AV_SAMPLE_FMT_S16:
        return PA_SAMPLE_S16LE;
    case AV_SAMPLE_FMT_S32:
        return PA_SAMPLE_S32LE;
    case AV_SAMPLE_FMT_FLT:
        return PA_SAMPLE_FLOAT32LE;
    default:
        return PA_SAMPLE_INVALID;
    }
}

} // namespace

struct MFClockedOutput::Impl {
    Presenter present;

    std::mutex lock; // guards everything down to stop
    std::condition_variable wake;
    std::deque<Picture> pictures;
    std::deque<Chunk> sound;
    int64_t queuedEndUs = 0; // media time at the end of the last frame queued
    double rate = kDefaultRate;
    QString sinkName;
    bool sinkChanged = false;
    bool stop = false;

    std::mutex clockLock; // guards the sound clock's reading below
    bool soundRunning = false;
    int64_t heardUs = 0; // media time being heard at stampUs
    int64_t stampUs = 0; // steady time of that reading
    int64_t writtenEndUs = 0;

    std::atomic<int64_t> presentedCount{0};
    std::atomic<int64_t> droppedCount{0};

    // Sound thread only.
    pa_simple *server = nullptr;
    pa_sample_spec openFormat{};
    SwrContext *toFloat = nullptr;
    int floatFrom[3] = {-1, 0, 0};
    int64_t retryAtUs = 0;
    bool loggedFailure = false;

    std::thread soundWorker;
    std::thread pictureWorker;

    void soundLoop();
    void pictureLoop();
    bool openServer(const pa_sample_spec &wanted, const QString &sink);
    void closeServer();
    bool writeChunk(const Chunk &chunk);
    bool clockNow(int64_t *mediaUs);
    void dropAhead();
};

void MFClockedOutput::Impl::closeServer() {
    if (server)
        pa_simple_free(server);
    server = nullptr;
    std::lock_guard<std::mutex> locker(clockLock);
    soundRunning = false;
}

bool MFClockedOutput::Impl::openServer(const pa_sample_spec &wanted, const QString &sink) {
    if (server && pa_sample_spec_equal(&wanted, &openFormat))
        return true;
    closeServer();
    if (nowUs() < retryAtUs)
        return false;
    // A short server buffer: the sound is late by no more than it, and a write never blocks for longer.
    pa_buffer_attr buffer{};
    const uint32_t bytesPerMs = uint32_t(pa_bytes_per_second(&wanted) / 1000);
    buffer.maxlength = bytesPerMs * SERVER_BUFFER_MS * 2;
    buffer.tlength = bytesPerMs * SERVER_BUFFER_MS;
    buffer.prebuf = uint32_t(-1);
    buffer.minreq = uint32_t(-1);
    buffer.fragsize = uint32_t(-1);
    int error = 0;
    const QByteArray device = sink.toUtf8();
    server = pa_simple_new(nullptr, "Tidewell", PA_STREAM_PLAYBACK, sink.isEmpty() ? nullptr : device.constData(),
                           "Studio Player output", &wanted, nullptr, &buffer, &error);
    if (!server) {
        if (!loggedFailure)
            qWarning() << "external output: no sound on"
                       << (sink.isEmpty() ? QStringLiteral("the default output") : sink)
                       << "- the pictures keep their own time:" << pa_strerror(error);
        loggedFailure = true;
        retryAtUs = nowUs() + RETRY_MS * 1000LL;
        return false;
    }
    loggedFailure = false;
    openFormat = wanted;
    return true;
}

bool MFClockedOutput::Impl::writeChunk(const Chunk &chunk) {
    const AVFrame *samples = chunk.samples.get();
    pa_sample_spec wanted{};
    std::vector<uint8_t> converted;
    const uint8_t *data = nullptr;
    size_t bytes = 0;
    if (samples) {
        wanted.rate = uint32_t(samples->sample_rate);
        wanted.channels = uint8_t(std::min(samples->ch_layout.nb_channels, kMaxPulseChannels));
        wanted.format = pulseFormatOf(samples->format);
        if (wanted.format != PA_SAMPLE_INVALID && samples->ch_layout.nb_channels <= kMaxPulseChannels) {
            data = samples->data[0];
            bytes = size_t(samples->nb_samples) * pa_frame_size(&wanted);
        } else {
            // Planar or unusual samples: interleaved float, at most the channels the server takes.
            wanted.format = PA_SAMPLE_FLOAT32LE;
            const int channels = samples->ch_layout.nb_channels;
            if (!toFloat || floatFrom[0] != samples->format || floatFrom[1] != channels ||
                floatFrom[2] != samples->sample_rate) {
                swr_free(&toFloat);
                AVChannelLayout out{};
                AVChannelLayout in{};
                av_channel_layout_default(&out, wanted.channels);
                av_channel_layout_copy(&in, &samples->ch_layout);
                if (swr_alloc_set_opts2(&toFloat, &out, AV_SAMPLE_FMT_FLT, samples->sample_rate, &in,
                                        AVSampleFormat(samples->format), samples->sample_rate, 0, nullptr) < 0 ||
                    swr_init(toFloat) < 0)
                    swr_free(&toFloat);
                av_channel_layout_uninit(&out);
                av_channel_layout_uninit(&in);
                floatFrom[0] = samples->format;
                floatFrom[1] = channels;
                floatFrom[2] = samples->sample_rate;
            }
            if (!toFloat)
                return false;
            converted.resize(size_t(samples->nb_samples) * pa_frame_size(&wanted));
            uint8_t *out = converted.data();
            const int made = swr_convert(toFloat, &out, samples->nb_samples,
                                         const_cast<const uint8_t **>(samples->extended_data), samples->nb_samples);
            if (made <= 0)
                return false;
            data = converted.data();
            bytes = size_t(made) * pa_frame_size(&wanted);
        }
    } else {
        wanted = server ? openFormat : pa_sample_spec{PA_SAMPLE_S32LE, kDefaultSampleRate, kDefaultChannels};
        const int64_t frames = chunk.lengthUs * int64_t(wanted.rate) / kUsPerSecond;
        converted.assign(size_t(frames) * pa_frame_size(&wanted), 0);
        data = converted.data();
        bytes = converted.size();
    }
    QString sink;
    bool changed = false;
    {
        std::lock_guard<std::mutex> locker(lock);
        sink = sinkName;
        changed = sinkChanged;
        sinkChanged = false;
    }
    if (changed) {
        closeServer();
        retryAtUs = 0;
    }
    if (!openServer(wanted, sink))
        return false;
    int error = 0;
    if (bytes && pa_simple_write(server, data, bytes, &error) < 0) {
        qWarning() << "external output: the sound server stopped playing:" << pa_strerror(error);
        closeServer();
        retryAtUs = nowUs() + RETRY_MS * 1000LL;
        return false;
    }
    const pa_usec_t latency = pa_simple_get_latency(server, &error);
    std::lock_guard<std::mutex> locker(clockLock);
    writtenEndUs = chunk.startUs + chunk.lengthUs;
    heardUs = writtenEndUs - int64_t(latency == pa_usec_t(-1) ? 0 : latency);
    stampUs = nowUs();
    soundRunning = true;
    return true;
}

void MFClockedOutput::Impl::soundLoop() {
    std::unique_lock<std::mutex> guard(lock);
    while (!stop) {
        wake.wait_for(guard, kPoll, [this] { return stop || !sound.empty(); });
        if (stop || sound.empty())
            continue;
        Chunk chunk = std::move(sound.front());
        sound.pop_front();
        guard.unlock();
        if (!writeChunk(chunk)) {
            std::lock_guard<std::mutex> locker(clockLock);
            soundRunning = false;
        }
        chunk.samples.reset();
        guard.lock();
    }
    guard.unlock();
    if (server)
        pa_simple_flush(server, nullptr);
    closeServer();
    swr_free(&toFloat);
}

bool MFClockedOutput::Impl::clockNow(int64_t *mediaUs) {
    std::lock_guard<std::mutex> locker(clockLock);
    if (!soundRunning)
        return false;
    // Between two readings the sound goes on at its own pace, up to what has been written.
    *mediaUs = std::min(writtenEndUs, heardUs + (nowUs() - stampUs));
    return true;
}

void MFClockedOutput::Impl::pictureLoop() {
    bool wallClock = false;
    int64_t wallBaseMedia = 0;
    int64_t wallBaseUs = 0;
    int64_t nextTick = nowUs();
    std::unique_lock<std::mutex> guard(lock);
    while (!stop) {
        const int64_t period = int64_t(kUsPerSecond / (rate > 0.0 ? rate : kDefaultRate));
        const int64_t wait = nextTick - nowUs();
        if (wait > 0) {
            wake.wait_for(guard, std::chrono::microseconds(wait));
            continue;
        }
        nextTick = wait < -period ? nowUs() + period : nextTick + period;
        if (pictures.empty())
            continue;

        int64_t clock = 0;
        guard.unlock();
        const bool bySound = clockNow(&clock);
        guard.lock();
        if (bySound) {
            wallClock = false;
        } else {
            // The steady clock: from the first picture on, kept within reach of what is queued.
            const int64_t newest = pictures.back().startUs;
            if (!wallClock || newest - (wallBaseMedia + nowUs() - wallBaseUs) > MAX_AHEAD_MS * 1000LL ||
                wallBaseMedia + nowUs() - wallBaseUs > queuedEndUs) {
                wallBaseMedia = wallClock ? newest - kWallTargetAheadUs : pictures.front().startUs;
                wallBaseUs = nowUs();
                wallClock = true;
            }
            clock = wallBaseMedia + nowUs() - wallBaseUs;
        }
        MFFramePtr due;
        while (!pictures.empty() && pictures.front().startUs <= clock) {
            if (due)
                ++droppedCount;
            due = std::move(pictures.front().frame);
            pictures.pop_front();
        }
        if (!due)
            continue;
        guard.unlock();
        ++presentedCount;
        present(due);
        due.reset();
        guard.lock();
    }
}

void MFClockedOutput::Impl::dropAhead() {
    // Called under lock: what lies too far ahead of the sound written so far goes, oldest first.
    int64_t written = 0;
    {
        std::lock_guard<std::mutex> locker(clockLock);
        written = soundRunning ? writtenEndUs : (sound.empty() ? queuedEndUs : sound.front().startUs);
    }
    while (!sound.empty() && queuedEndUs - sound.front().startUs > MAX_AHEAD_MS * 1000LL &&
           queuedEndUs - written > MAX_AHEAD_MS * 1000LL)
        sound.pop_front();
    while (pictures.size() > 1 && queuedEndUs - pictures.front().startUs > 2 * MAX_AHEAD_MS * 1000LL) {
        pictures.pop_front();
        ++droppedCount;
    }
}

MFClockedOutput::MFClockedOutput(Presenter present) : d(std::make_unique<Impl>()) {
    d->present = std::move(present);
    d->soundWorker = std::thread([this] { d->soundLoop(); });
    d->pictureWorker = std::thread([this] { d->pictureLoop(); });
}

MFClockedOutput::~MFClockedOutput() {
    {
        std::lock_guard<std::mutex> locker(d->lock);
        d->stop = true;
    }
    d->wake.notify_all();
    d->pictureWorker.join();
    d->soundWorker.join();
}

void MFClockedOutput::setSoundOutput(const QString &sinkName) {
    std::lock_guard<std::mutex> locker(d->lock);
    if (d->sinkName == sinkName)
        return;
    d->sinkName = sinkName;
    d->sinkChanged = true;
}

int MFClockedOutput::put(const MFFramePtr &frame) {
    MFFrame *in = MFFrame::from(frame);
    if (!in)
        return MF_E_INVALIDARG;
    const AVFrame *audio = in->audio();
    const bool hasSound = audio && audio->nb_samples > 0 && audio->sample_rate > 0;
    std::lock_guard<std::mutex> locker(d->lock);
    if (in->format().frameRate > 0.0)
        d->rate = in->format().frameRate;
    int64_t lengthUs = 0;
    if (hasSound) {
        lengthUs = int64_t(audio->nb_samples) * kUsPerSecond / audio->sample_rate;
    } else {
        int64_t start = 0, stop = 0;
        in->MFTimeGet(&start, &stop);
        const int64_t stamped = (stop - start) / 10; // 100 ns units
        lengthUs = stamped > 0 && stamped < kUsPerSecond ? stamped : int64_t(kUsPerSecond / d->rate);
    }
    const int64_t start = d->queuedEndUs;
    d->queuedEndUs += lengthUs;
    if (in->video())
        d->pictures.push_back(Picture{start, frame});
    d->sound.push_back(Chunk{start, lengthUs, FrameHolder(hasSound ? av_frame_clone(audio) : nullptr)});
    d->dropAhead();
    d->wake.notify_all();
    return MF_OK;
}

int64_t MFClockedOutput::presented() const {
    return d->presentedCount.load();
}

int64_t MFClockedOutput::dropped() const {
    return d->droppedCount.load();
}

bool MFClockedOutput::soundClock() const {
    std::lock_guard<std::mutex> locker(d->clockLock);
    return d->soundRunning;
}
