#pragma once

// The NDI receiver of the live source: one video entry "NDI Receiver", listed only with an NDI runtime,
// whose input lines ("line-in") are the NDI sources the runtime's finder has found so far. The device
// receives the chosen source on its own thread: pictures into its slot, sound as its own audio
// ("<From Video>"). Setting "line-in" while open connects to that source; a name not (yet) found is kept,
// and pictures come once the source appears.

#include "capturethreadgate.h"
#include "mfdevicebackend.h"

#include <atomic>
#include <mutex>
#include <thread>

struct NDIlib_audio_frame_v2_t;
struct NDIlib_video_frame_v2_t;

class NDIReceiverProvider : public MFDeviceProvider {
public:
    static QString deviceName() { return QStringLiteral("NDI Receiver"); }
    QString providerName() const override { return QStringLiteral("NDI"); }
    QList<MFDeviceEntry> list(int type) override;
    std::unique_ptr<MFVideoDevice> openVideo(const MFDeviceEntry &entry) override;
};

class NDIReceiverDevice : public MFVideoDevice {
public:
    // Each wait for the source's next frame is this short, so that a stop or a new line is seen at once.
    static constexpr int CAPTURE_WAIT_MS = 100;

    NDIReceiverDevice();
    ~NDIReceiverDevice() override;

    int start(const MFDeviceProps &props) override;
    void stop() override;
    int setProperty(const QString &name, const QString &value) override;
    double frameRate() const override { return rate.load(); }
    QStringList lines(const QStringList &listed) const override;

private:
    void run();
    void takeVideo(const NDIlib_video_frame_v2_t &frame);
    void takeAudio(const NDIlib_audio_frame_v2_t &frame);

    std::mutex sourceLock; // guards wanted
    QString wanted;        // the source to receive; empty: none
    std::atomic<double> rate{0.0};
    CaptureThreadGate gate;
    std::thread worker; // touched only by start/stop, which the live source serialises
};
