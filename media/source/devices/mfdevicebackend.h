#pragma once

// The device framework behind the live source (MFormats). Only code inside media/ includes this header,
// because it exposes FFmpeg types.
//
// A backend is a provider: it lists its entries per device type and opens one of them as a video device
// or an audio device. Devices run their own capture thread and never wait for the consumer:
//  - a video device keeps only its newest picture (MFPictureSlot); a slow consumer simply misses pictures;
//  - an audio device (and a video device with audio of its own) writes its samples, in its native format,
//    into an MFAudioFifo; a full FIFO drops its oldest samples.
// MFormats does every conversion (size, colour, rate, channels, sample format, audio/video step).
//
// Registering a provider:
//  - Tests (fakes): MFDeviceRegistry::add(provider) and MFDeviceRegistry::remove(provider).
//  - Built-in backends of media/source/devices/: the registry calls, once, on first use (never from a static
//    constructor), the function
//        void mfRegisterPlatformProviders();
//    when the build defines TIDEWELL_HAVE_PLATFORM_DEVICES. The devices part defines that function in one
//    of its own files (calling MFDeviceRegistry::add for each of its providers) and adds, in
//    media/source/devices/CMakeLists.txt:
//        target_compile_definitions(tidewell_media PRIVATE TIDEWELL_HAVE_PLATFORM_DEVICES)
//  - The built-in "Test Pattern" provider is always registered first.
//
// Sink entries (eMFDT_Sink, "mp://" + name) are listed like the others and opened with openVideo(); a
// sink device puts the frames' pictures into its slot and their audio into its own FIFO.
//
// Threads: list() and open*() are called on whichever thread calls MFormats (GUI or capture), never while
// the registry's lock is held. start()/stop()/setProperty() are called under the live source's control
// lock (never under its frame lock), so they must be bounded: stop asks the thread to end and joins it,
// a few hundred ms at most. A device opened with "device.start_at_deviceset" = "false" is started by
// the first frame fetch.

#include "imfdevice.h"
#include "mfresult.h"

#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

// Properties handed to a device: every property set on the live source, by name (e.g. "line-in",
// "capture.screen_index", "capture.highlight_mouse", "audio_gain", "no_signal.enabled").
using MFDeviceProps = QMap<QString, QString>;

// One entry of a provider's list.
struct MFDeviceEntry {
    QString name;      // shown to the operator and matched exactly by callers
    QStringList lines; // input lines, offered as the options of the property "line-in"; empty when none
    QString id;        // the provider's own key (a device path, a Pulse source name ...)
};

// The newest picture of a video device, shared between its capture thread and the consumer.
class MFPictureSlot {
public:
    MFPictureSlot() = default;
    ~MFPictureSlot();
    MFPictureSlot(const MFPictureSlot &) = delete;
    MFPictureSlot &operator=(const MFPictureSlot &) = delete;

    // Replaces the picture by a new reference to frame (any pixel format FFmpeg knows; the caller keeps
    // its own reference). captureUs: av_gettime_relative() when the picture was taken.
    void put(const AVFrame *frame, int64_t captureUs);
    // A new reference to the newest picture into out (unreferenced first); its sequence number (1 for the
    // first picture, +1 per put) and capture time. MF_E_NOTREADY when no picture arrived yet.
    int get(AVFrame *out, uint64_t *sequence = nullptr, int64_t *captureUs = nullptr) const;
    // Waits at most timeoutMs for a picture newer than sequence; true when one is there.
    bool waitNewer(uint64_t sequence, int timeoutMs) const;
    uint64_t sequence() const;
    // Drops the picture (e.g. on signal loss); the sequence number keeps counting.
    void clear();

private:
    mutable QMutex lock; // guards picture, seq, captured
    mutable QWaitCondition arrived;
    AVFrame *picture = nullptr;
    uint64_t seq = 0;
    int64_t captured = 0;
};

// Audio samples of a device in its native format, bounded: a full FIFO drops its oldest samples.
class MFAudioFifo {
public:
    static constexpr int DEFAULT_CAPACITY_MS = 2000;

    MFAudioFifo() = default;
    ~MFAudioFifo();
    MFAudioFifo(const MFAudioFifo &) = delete;
    MFAudioFifo &operator=(const MFAudioFifo &) = delete;

    // Sets the sample format; drops what is queued when the format changes. Call before the first write.
    int configure(AVSampleFormat format, int channels, int sampleRate, int capacityMs = DEFAULT_CAPACITY_MS);
    // Appends samples (data: one pointer per plane, as AVFrame::extended_data); counts dropped ones.
    int write(const uint8_t *const *data, int samples);
    int write(const AVFrame *frame) { return write(frame->extended_data, frame->nb_samples); }
    // Takes up to samples samples into data (planes allocated by the caller in the FIFO's format);
    // returns the number taken.
    int read(uint8_t *const *data, int samples);
    // Drops all queued samples.
    void reset();

    int size() const;
    AVSampleFormat format() const;
    int channels() const;
    int sampleRate() const;
    // Samples written since configure (including dropped ones) and samples dropped by overflow.
    int64_t written() const;
    int64_t dropped() const;

private:
    mutable QMutex lock; // guards everything below
    AVAudioFifo *fifo = nullptr;
    AVSampleFormat sampleFormat = AV_SAMPLE_FMT_NONE;
    int channelCount = 0;
    int rate = 0;
    int capacity = 0;
    int64_t totalWritten = 0;
    int64_t totalDropped = 0;
};

// An open video device. The destructor must have stopped the capture thread (call stop() in it).
class MFVideoDevice {
public:
    virtual ~MFVideoDevice() = default;
    // Opens the hardware and starts the capture thread. Negative on failure (say why once, qWarning).
    virtual int start(const MFDeviceProps &props) = 0;
    // Ends the capture thread cooperatively and joins it (bounded). Idempotent.
    virtual void stop() = 0;
    // A property changed while open ("line-in", "capture.screen_index" ...). Negative refuses the value
    // (the live source's PropsSet then fails and keeps the old value).
    virtual int setProperty(const QString &name, const QString &value) {
        (void)name;
        (void)value;
        return MF_OK;
    }
    // The device's own rate (frames per second), used when the caller asks for "as the source"; 0: unknown.
    virtual double frameRate() const { return 0.0; }
    // The input lines now offered (may change, e.g. discovered network sources); default: as listed.
    virtual QStringList lines(const QStringList &listed) const { return listed; }
    // Virtual time (tests): when start() got the property "device.virtual_clock" = "1", the live source
    // paces itself without sleeping and calls advanceTo(now) before each fetch; a synthetic device then
    // produces, synchronously, its pictures and audio up to that time instead of running a thread.
    // Returns false when the device cannot run on virtual time (real hardware: ignore it).
    virtual bool advanceTo(int64_t nowUs) {
        (void)nowUs;
        return false;
    }

    MFPictureSlot &pictures() { return slot; }
    // The device's own audio ("<From Video>"), or nullptr when it has none.
    MFAudioFifo *audio() { return ownAudio.get(); }

protected:
    MFPictureSlot slot;
    std::unique_ptr<MFAudioFifo> ownAudio; // created by a device that carries audio
};

// An open audio device (external audio). The destructor must have stopped the capture thread.
class MFAudioDevice {
public:
    virtual ~MFAudioDevice() = default;
    virtual int start(const MFDeviceProps &props) = 0;
    virtual void stop() = 0;
    virtual int setProperty(const QString &name, const QString &value) {
        (void)name;
        (void)value;
        return MF_OK;
    }
    MFAudioFifo &samples() { return fifo; }

protected:
    MFAudioFifo fifo;
};

// A backend: lists entries and opens them.
class MFDeviceProvider {
public:
    virtual ~MFDeviceProvider() = default;
    // For diagnostic lines.
    virtual QString providerName() const = 0;
    // Entries of a device type: eMFDT_Video, eMFDT_ExtAudio or eMFDT_Sink (the live source's fixed
    // entries come on top). Only devices present now; bounded in time.
    virtual QList<MFDeviceEntry> list(int type) = 0;
    // A not yet started device for an entry this provider listed; nullptr when it cannot be had.
    virtual std::unique_ptr<MFVideoDevice> openVideo(const MFDeviceEntry &entry) {
        (void)entry;
        return nullptr;
    }
    virtual std::unique_ptr<MFAudioDevice> openAudio(const MFDeviceEntry &entry) {
        (void)entry;
        return nullptr;
    }
};

using MFDeviceProviderPtr = std::shared_ptr<MFDeviceProvider>;

// The process-wide list of providers (one lock).
class MFDeviceRegistry {
public:
    static void add(const MFDeviceProviderPtr &provider);
    static void remove(const MFDeviceProviderPtr &provider);
    // A copy of the list in registration order, built-in providers registered on the first call.
    static QList<MFDeviceProviderPtr> providers();
};
