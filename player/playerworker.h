#pragma once

#include "mfglasstoglass.h"

#include <QString>
#include <QThread>
#include <mutex>

#include <atomic>
#include <cstdint>
#include <memory>

class IMFDevice;
class IMFReceiver;
class MFPreview;
class MFReader;
class MFRenderer;
class MFSink;

// Plays the return feed: reads the URL and hands every decoded frame to the NDI output, to the sink the
// output thread reads back (while external output is on) and to the preview.
//
// Threads: the player (GUI thread) sets the flags and the mutes while run() plays; the atomics and the
// two locked members below are the whole of what they share. Everything else is set before the thread
// starts or touched only by run().
class PlayerWorker : public QThread {
public:
    // What the player shows while no picture has come yet.
    enum Phase { Idle, Opening, OpenFailed, Playing };

    static constexpr const char *kReaderOptions =
        " network.low_delay=true network.buffer_max=2 network.open_async=true network.show_attempts=false";
    // A feed that is not there yet (the return feed often starts after the contribution stream) or has
    // ended is opened again after this pause, until the player stops.
    static constexpr int kReopenPauseMs = 2000;
    // A failed frame request is asked again after this pause, so that a dead feed never spins a core.
    static constexpr int kFailedReadPauseMs = 10;
    // How long the destructor waits for run() to end; it ends within a second of being told.
    static constexpr int kDestroyWaitMs = 3000;

    explicit PlayerWorker(QObject *parent = nullptr);
    ~PlayerWorker() override;

    void initNDI(const QString &name);
    void initSink(const QString &name);
    static bool setMFDevice(std::shared_ptr<IMFDevice> device, int type, const QString &name);
    // The URL as it may be logged: the passphrase shown as ***.
    static QString loggableUrl(const QString &url);

    QString url() const;
    void setUrl(const QString &url);
    // Ends the playback soon: a pending open or frame request is cut short, so that run() returns within
    // a second also while the feed is stalled. Never waits.
    void stop();
    // Clears the stop request of the previous playback; call before start().
    void prepareStart();

    // Sixteen gains in dB, "0.0" or "-100.0"; applied to the reader before its next frame request.
    void setVolumes(const QString &volumes);
    QString volumes() const;

    // The preview, once a run has created it; nullptr before.
    std::shared_ptr<MFPreview> previewObject() const;
    Phase phase() const { return Phase(phaseNow.load()); }
    // Frames handed on since the worker was created.
    int64_t framesPlayed() const { return played.load(); }
    // The feed's glass-to-glass latency in milliseconds, while its frames carry a readable timecode strip.
    bool latencyMs(qint64 *ms) const { return glassToGlass.latest(ms); }

    std::atomic<uint64_t> previewWindow{0};
    std::atomic<bool> running{false};
    std::atomic<bool> gainChanged{false};
    std::atomic<bool> ndiEnabled{false};
    std::atomic<bool> deviceEnabled{false};

    // Set by the constructor and initNDI before the first playback; not changed while run() plays.
    std::shared_ptr<MFSink> sink;
    std::shared_ptr<MFRenderer> ndiRenderer;
    std::shared_ptr<IMFReceiver> ndiReceiver;

protected:
    void run() override;

private:
    bool pause(int ms) const;
    void applyGains(MFReader *reader, bool always);
    void play(MFReader *reader, IMFReceiver *previewReceiver);

    mutable std::mutex lock; // guards urlText, volumesText, reader and preview
    QString urlText;
    QString volumesText;
    std::shared_ptr<MFReader> reader; // the open reader of the current run, for stop() to interrupt
    std::shared_ptr<MFPreview> preview;

    std::atomic<bool> stopRequested{false};
    std::atomic<int> phaseNow{Idle};
    std::atomic<int64_t> played{0};
    // Measured by run() as each frame is decoded, read by the window's timer: its figures are atomics.
    MFGlassToGlass glassToGlass;
};
