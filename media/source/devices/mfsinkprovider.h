#pragma once

// Sink entries of the live source: every live MFSink as "mp://" + its name (device type eMFDT_Sink).
// The device reads the sink's frames on its own thread and offers their pictures and audio like any
// capture device; when the sink goes away or stays empty, the picture is dropped, so the consumer's
// fetch fails instead of repeating a stale picture.

#include "mfdevicebackend.h"

#include <atomic>
#include <thread>

class MFSinkProvider : public MFDeviceProvider {
public:
    QString providerName() const override { return QStringLiteral("sink"); }
    QList<MFDeviceEntry> list(int type) override;
    std::unique_ptr<MFVideoDevice> openVideo(const MFDeviceEntry &entry) override;
};

class MFSinkDevice : public MFVideoDevice {
public:
    // A sink that gives no frame for this long counts as gone.
    static constexpr int SILENCE_MS = 1000;

    explicit MFSinkDevice(const QString &sinkName);
    ~MFSinkDevice() override;

    int start(const MFDeviceProps &props) override;
    void stop() override;
    double frameRate() const override { return rate.load(); }

private:
    void run();

    QString name;
    std::atomic<double> rate{0.0};
    std::atomic<bool> running{false};
    std::thread worker;
};
