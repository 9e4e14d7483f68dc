#include "mfpreview.h"

#include "mfframe.h"
#include "mfresult.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QImage>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QPointer>
#include <QThread>
#include <QVector>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <pulse/error.h>
#include <pulse/simple.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

using namespace std::chrono_literals;

// Workers wake at least this often to see their stop flag.
constexpr auto kPoll = 100ms;
// Audio frames waiting for the sound server; more are dropped, oldest first.
constexpr size_t kMaxQueuedAudio = 8;
// After a failed connection to the sound server, audio is dropped this long before the next try.
constexpr auto kAudioRetry = 5s;
// Server-side buffer of the playback stream: short, so that a write never blocks for long.
constexpr uint32_t kAudioBufferMs = 200;
constexpr int kMaxPulseChannels = 8;
constexpr double kMuteDb = -100.0;

struct FrameDeleter {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};
using FrameHolder = std::unique_ptr<AVFrame, FrameDeleter>;

FrameHolder cloneOf(const AVFrame *frame) {
    return FrameHolder(frame ? av_frame_clone(frame) : nullptr);
}

// State shared by the caller's side, the picture worker and the painter in the GUI thread.
struct Shared {
    QMutex imageLock; // guards image
    QImage image;     // newest picture, at the widget's size
    std::atomic<int> targetWidth{0};
    std::atomic<int> targetHeight{0};
    std::atomic<bool> repaintQueued{false};
};

// Lives in the GUI thread: watches the widget and paints the newest picture over it.
class Painter : public QObject {
public:
    explicit Painter(std::shared_ptr<Shared> state) : shared(std::move(state)) {}
    ~Painter() override { attach(0); }

    void attach(uint64_t window) {
        if (widget) {
            widget->removeEventFilter(this);
            widget->update();
        }
        widget = nullptr;
        {
            QMutexLocker lock(&shared->imageLock);
            shared->image = QImage();
        }
        shared->targetWidth = 0;
        shared->targetHeight = 0;
        if (!window)
            return;
        widget = QWidget::find(WId(window));
        if (!widget) {
            qWarning() << "MFPreview: no widget has the window" << window;
            return;
        }
        widget->installEventFilter(this);
        takeSize();
    }

    void repaint() {
        shared->repaintQueued = false;
        if (widget)
            widget->update();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched != widget)
            return false;
        if (event->type() == QEvent::Resize) {
            takeSize();
        } else if (event->type() == QEvent::Paint) {
            // The widget paints itself (a label's frame, for instance) and the picture goes on top.
            static_cast<QObject *>(widget.data())->event(event);
            QImage picture;
            {
                QMutexLocker lock(&shared->imageLock);
                picture = shared->image;
            }
            if (!picture.isNull()) {
                QPainter painter(widget);
                painter.setRenderHint(QPainter::SmoothPixmapTransform);
                painter.drawImage(widget->contentsRect(), picture);
            }
            return true;
        }
        return false;
    }

private:
    void takeSize() {
        const QSize size = widget->contentsRect().size();
        shared->targetWidth = std::max(0, size.width());
        shared->targetHeight = std::max(0, size.height());
    }

    std::shared_ptr<Shared> shared;
    QPointer<QWidget> widget;
};

// Plays audio through the sound server on its own thread, never in the caller's.
class AudioOut {
public:
    AudioOut() : worker([this] { run(); }) {}
    ~AudioOut() {
        {
            std::lock_guard<std::mutex> lock(queueLock);
            stop = true;
        }
        wake.notify_all();
        worker.join();
    }

    void push(FrameHolder audio) {
        std::lock_guard<std::mutex> lock(queueLock);
        while (queue.size() >= kMaxQueuedAudio)
            queue.pop_front();
        queue.push_back(std::move(audio));
        wake.notify_one();
    }

    // Gain of one channel, or of every channel for index -1.
    void setGain(int index, double gainDb) {
        std::lock_guard<std::mutex> lock(gainLock);
        if (index < 0) {
            defaultGain = gainDb;
            gains.clear();
        } else {
            if (int(gains.size()) <= index)
                gains.resize(size_t(index) + 1, defaultGain);
            gains[index] = gainDb;
        }
    }

    bool allMuted() const {
        std::lock_guard<std::mutex> lock(gainLock);
        if (defaultGain > kMuteDb)
            return false;
        for (double gain : gains)
            if (gain > kMuteDb)
                return false;
        return true;
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(queueLock);
        while (!stop) {
            wake.wait_for(lock, kPoll, [this] { return stop || !queue.empty(); });
            if (stop || queue.empty())
                continue;
            FrameHolder audio = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            play(audio.get());
            audio.reset();
            lock.lock();
        }
        lock.unlock();
        closeServer();
    }

    void closeServer() {
        if (server)
            pa_simple_free(server);
        server = nullptr;
        swr_free(&toS16);
    }

    bool openServer(const AVFrame *audio) {
        const int channels = std::min(audio->ch_layout.nb_channels, kMaxPulseChannels);
        if (server && audio->sample_rate == rate && channels == serverChannels && audio->format == inputFormat &&
            audio->ch_layout.nb_channels == inputChannels)
            return true;
        closeServer();
        if (std::chrono::steady_clock::now() < retryAt)
            return false;
        pa_sample_spec sampleSpec{};
        sampleSpec.format = PA_SAMPLE_S16LE;
        sampleSpec.rate = uint32_t(audio->sample_rate);
        sampleSpec.channels = uint8_t(channels);
        pa_buffer_attr buffer{};
        const uint32_t bytesPerMs = sampleSpec.rate * sampleSpec.channels * 2 / 1000;
        buffer.maxlength = bytesPerMs * kAudioBufferMs * 2;
        buffer.tlength = bytesPerMs * kAudioBufferMs;
        buffer.prebuf = uint32_t(-1);
        buffer.minreq = uint32_t(-1);
        buffer.fragsize = uint32_t(-1);
        int error = 0;
        server = pa_simple_new(nullptr, "Tidewell", PA_STREAM_PLAYBACK, nullptr, "Preview", &sampleSpec, nullptr,
                               &buffer, &error);
        if (!server) {
            if (!loggedFailure)
                qWarning() << "MFPreview: no sound server, preview audio is dropped:" << pa_strerror(error);
            loggedFailure = true;
            retryAt = std::chrono::steady_clock::now() + kAudioRetry;
            return false;
        }
        AVChannelLayout outLayout{};
        av_channel_layout_default(&outLayout, channels);
        AVChannelLayout inLayout{};
        av_channel_layout_copy(&inLayout, &audio->ch_layout);
        const bool ready = swr_alloc_set_opts2(&toS16, &outLayout, AV_SAMPLE_FMT_S16, audio->sample_rate, &inLayout,
                                               AVSampleFormat(audio->format), audio->sample_rate, 0, nullptr) >= 0 &&
                           swr_init(toS16) >= 0;
        av_channel_layout_uninit(&outLayout);
        av_channel_layout_uninit(&inLayout);
        if (!ready) {
            closeServer();
            return false;
        }
        rate = audio->sample_rate;
        serverChannels = channels;
        inputFormat = audio->format;
        inputChannels = audio->ch_layout.nb_channels;
        return true;
    }

    void play(const AVFrame *audio) {
        if (allMuted() || !openServer(audio))
            return;
        const int room = swr_get_out_samples(toS16, audio->nb_samples);
        if (room <= 0)
            return;
        QVector<int16_t> samples(room * serverChannels);
        auto *out = reinterpret_cast<uint8_t *>(samples.data());
        const int converted =
            swr_convert(toS16, &out, room, const_cast<const uint8_t **>(audio->extended_data), audio->nb_samples);
        if (converted <= 0)
            return;
        QVector<double> factors(serverChannels, 1.0);
        {
            std::lock_guard<std::mutex> lock(gainLock);
            for (int channel = 0; channel < serverChannels; ++channel) {
                const double gain = channel < int(gains.size()) ? gains[size_t(channel)] : defaultGain;
                factors[channel] = gain <= kMuteDb ? 0.0 : std::pow(10.0, gain / 20.0);
            }
        }
        for (int i = 0; i < converted; ++i)
            for (int channel = 0; channel < serverChannels; ++channel) {
                int16_t &sample = samples[i * serverChannels + channel];
                sample = int16_t(std::clamp(std::lround(sample * factors[channel]), -32768L, 32767L));
            }
        int error = 0;
        if (pa_simple_write(server, samples.constData(), size_t(converted) * serverChannels * 2, &error) < 0) {
            qWarning() << "MFPreview: sound server write failed:" << pa_strerror(error);
            closeServer();
            retryAt = std::chrono::steady_clock::now() + kAudioRetry;
        }
    }

    std::mutex queueLock; // guards queue and stop
    std::condition_variable wake;
    std::deque<FrameHolder> queue;
    bool stop = false;

    mutable std::mutex gainLock; // guards defaultGain and gains
    double defaultGain = 0.0;
    std::vector<double> gains;

    // Used by the worker thread only.
    pa_simple *server = nullptr;
    SwrContext *toS16 = nullptr;
    int rate = 0;
    int serverChannels = 0;
    int inputFormat = -1;
    int inputChannels = 0;
    bool loggedFailure = false;
    std::chrono::steady_clock::time_point retryAt{};

    std::thread worker; // last: starts after the members above exist
};

} // namespace

struct MFPreview::Impl {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    Painter *painter = nullptr; // owned; lives in the GUI thread, deleted there
    std::atomic<bool> audioEnabled{true};
    std::atomic<bool> videoEnabled{true};
    std::atomic<uint64_t> window{0};
    std::atomic<bool> loggedNoGui{false};

    std::mutex pictureLock; // guards pending and stop
    std::condition_variable pictureWake;
    FrameHolder pending; // newest picture not yet converted; a newer one replaces it
    bool stop = false;
    std::thread pictureWorker;

    AudioOut audio;

    void convertPictures();
};

void MFPreview::Impl::convertPictures() {
    SwsContext *scaler = nullptr;
    std::unique_lock<std::mutex> lock(pictureLock);
    while (!stop) {
        pictureWake.wait_for(lock, kPoll, [this] { return stop || pending; });
        if (stop || !pending)
            continue;
        FrameHolder picture = std::move(pending);
        lock.unlock();

        const int width = shared->targetWidth;
        const int height = shared->targetHeight;
        if (width > 0 && height > 0 && window.load()) {
            QImage image(width, height, QImage::Format_RGB32);
            scaler = sws_getCachedContext(scaler, picture->width, picture->height, AVPixelFormat(picture->format),
                                          width, height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
            if (scaler && !image.isNull()) {
                uint8_t *planes[4] = {image.bits(), nullptr, nullptr, nullptr};
                int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
                sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, planes, strides);
                // Format_RGB32 wants an opaque alpha byte; a source's own alpha has no place in the preview.
                for (int y = 0; y < height; ++y) {
                    auto *row = reinterpret_cast<uint32_t *>(image.scanLine(y));
                    for (int x = 0; x < width; ++x)
                        row[x] |= 0xff000000u;
                }
                {
                    QMutexLocker imageLock(&shared->imageLock);
                    shared->image = std::move(image);
                }
                // One repaint waits in the GUI thread at most: a busy GUI sees only the newest picture.
                if (!shared->repaintQueued.exchange(true)) {
                    Painter *target = painter;
                    QMetaObject::invokeMethod(
                        target, [target] { target->repaint(); }, Qt::QueuedConnection);
                }
            }
        }
        picture.reset();
        lock.lock();
    }
    sws_freeContext(scaler);
}

MFPreview::MFPreview() : d(std::make_unique<Impl>()) {
    if (QCoreApplication *app = QCoreApplication::instance()) {
        d->painter = new Painter(d->shared);
        d->painter->moveToThread(app->thread());
    }
    d->pictureWorker = std::thread([this] { d->convertPictures(); });
}

MFPreview::~MFPreview() {
    {
        std::lock_guard<std::mutex> lock(d->pictureLock);
        d->stop = true;
    }
    d->pictureWake.notify_all();
    d->pictureWorker.join();
    if (d->painter) {
        if (QThread::currentThread() == d->painter->thread())
            delete d->painter;
        else
            d->painter->deleteLater();
    }
}

std::shared_ptr<MFPreview> MFPreview::create() {
    return std::make_shared<MFPreview>();
}

int MFPreview::PreviewEnable(const QString &, int audio, int video) {
    d->audioEnabled = audio != 0;
    d->videoEnabled = video != 0;
    return MF_OK;
}

int MFPreview::PreviewWindowSet(const QString &, uint64_t nativeWindow) {
    d->window = nativeWindow;
    if (!d->painter) {
        if (nativeWindow && !d->loggedNoGui.exchange(true))
            qWarning() << "MFPreview: no application object, the preview draws nothing";
        return nativeWindow ? MF_E_NOTREADY : MF_OK;
    }
    Painter *painter = d->painter;
    if (QThread::currentThread() == painter->thread())
        painter->attach(nativeWindow);
    else
        QMetaObject::invokeMethod(
            painter, [painter, nativeWindow] { painter->attach(nativeWindow); }, Qt::QueuedConnection);
    return MF_OK;
}

int MFPreview::PreviewAudioVolumeSet(const QString &, int audioChannel, double gainDb) {
    if (!std::isfinite(gainDb) || audioChannel < -1)
        return MF_E_INVALIDARG;
    d->audio.setGain(audioChannel, gainDb);
    return MF_OK;
}

int MFPreview::ReceiverFramePut(const MFFramePtr &frame, int, const QString &) {
    MFFrame *in = MFFrame::from(frame);
    if (!in)
        return MF_E_INVALIDARG;
    // Own references to the AVFrames, not to the frame object: whoever draws into the frame next gets
    // a copy of the picture (copy on write), so the preview never reads a picture being changed.
    if (d->videoEnabled && d->window.load() && d->painter && in->video() && in->video()->data[0]) {
        FrameHolder picture = cloneOf(in->video());
        FrameHolder replaced;
        {
            std::lock_guard<std::mutex> lock(d->pictureLock);
            replaced = std::move(d->pending);
            d->pending = std::move(picture);
        }
        d->pictureWake.notify_one();
    }
    if (d->audioEnabled && in->audio() && in->audio()->nb_samples > 0 && !d->audio.allMuted())
        d->audio.push(cloneOf(in->audio()));
    return MF_OK;
}
