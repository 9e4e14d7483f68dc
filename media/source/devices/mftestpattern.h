#pragma once

// The built-in video device "Test Pattern": moving colour bars and a moving box, the frame counter and
// the wall-clock time, and as its own audio a stereo tone (1000 Hz left, 500 Hz right, 48 kHz, signed
// 16-bit). Properties read at start: "test_pattern.size" ("1280x720"), "test_pattern.rate" ("25"),
// "test_pattern.pixel_format" (an FFmpeg pixel format name: "yuv420p", "uyvy422", "bgra" ...).
// "Test Pattern Alpha" is the same picture in BGRA with transparency: a disc moving up and down whose alpha
// falls from opaque at its centre to clear at its rim, clear everywhere else.

#include "mfdevicebackend.h"

#include <atomic>
#include <thread>

struct SwsContext;

class MFTestPatternProvider : public MFDeviceProvider {
public:
    static QString deviceName() { return QStringLiteral("Test Pattern"); }
    static QString alphaDeviceName() { return QStringLiteral("Test Pattern Alpha"); }
    QString providerName() const override { return QStringLiteral("test pattern"); }
    QList<MFDeviceEntry> list(int type) override;
    std::unique_ptr<MFVideoDevice> openVideo(const MFDeviceEntry &entry) override;
};

class MFTestPatternDevice : public MFVideoDevice {
public:
    static constexpr int TONE_LEFT_HZ = 1000;
    static constexpr int TONE_RIGHT_HZ = 500;
    static constexpr int SAMPLE_RATE = 48000;

    explicit MFTestPatternDevice(bool withAlpha = false) : withAlpha(withAlpha) {}
    ~MFTestPatternDevice() override;

    int start(const MFDeviceProps &props) override;
    void stop() override;
    double frameRate() const override { return rate; }
    bool advanceTo(int64_t nowUs) override;

private:
    void run();
    // Produces the newest due picture and the audio up to nowUs. Called by one thread at a time.
    void produceUntil(int64_t nowUs);
    bool renderPicture(int64_t frameNumber);
    void produceAudio(int64_t nowUs);
    void drawAlpha(AVFrame *bgra, int64_t frameNumber) const;

    int width = 1280;
    int height = 720;
    double rate = 25.0;
    AVPixelFormat outputFormat = AV_PIX_FMT_YUV420P;
    bool virtualClock = false;
    bool withAlpha = false;
    int64_t startUs = 0;
    int64_t nextFrame = 0;      // index of the next picture to produce
    int64_t samplesWritten = 0; // per channel since start
    AVFrame *canvas = nullptr;  // YUV 4:2:0 drawing surface
    AVFrame *converted = nullptr;
    SwsContext *sws = nullptr;
    std::atomic<bool> running{false};
    std::thread worker;
};
