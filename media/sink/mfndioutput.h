#pragma once

// The renderer's NDI output, "NDI Renderer", listed only with an NDI runtime: every frame it is given goes
// out as one NDI video frame (UYVY) and its sound as one NDI audio frame, under the stream name set as
// "line-out" (the sender is made with the first frame after the name is known, and made anew when the name
// changes). Sending is synchronous: the frame's data is not kept after put() returns.

#include "mfoutputdevice.h"

#include <mutex>

struct SwsContext;
struct SwrContext;

class MFNdiOutputProvider : public MFOutputProvider {
public:
    static QString deviceName() { return QStringLiteral("NDI Renderer"); }
    QString providerName() const override { return QStringLiteral("NDI"); }
    QStringList list() override;
    std::unique_ptr<MFOutputDevice> open(const QString &name, const MFOutputProps &props) override;
};

class MFNdiOutput : public MFOutputDevice {
public:
    // The stream's name until "line-out" names it.
    static QString defaultStreamName() { return QStringLiteral("Tidewell"); }

    explicit MFNdiOutput(const MFOutputProps &props);
    ~MFNdiOutput() override;
    MFNdiOutput(const MFNdiOutput &) = delete;
    MFNdiOutput &operator=(const MFNdiOutput &) = delete;

    int setProperty(const QString &name, const QString &value) override;
    int put(const MFFramePtr &frame, int timeoutMs) override;

private:
    std::mutex lock; // guards everything below: put() and setProperty() may come from two threads
    QString streamName;
    void *sender = nullptr;
    QString senderName;
    SwsContext *toUyvy = nullptr;
    SwrContext *toFloat = nullptr;
    int floatFrom[3] = {-1, 0, 0}; // sample format, channels, rate that toFloat was made for
};
