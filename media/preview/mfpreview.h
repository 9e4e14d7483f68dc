#pragma once

#include "imfreceiver.h"

#include <QString>

#include <cstdint>
#include <memory>

// Shows the frames it receives in a native window (a Qt widget's winId), scaled to it, and plays their
// audio. Callable from any thread; never blocks the caller: a frame that arrives while the previous one
// is still being drawn replaces it.
class MFPreview : public IMFReceiver {
public:
    MFPreview();
    ~MFPreview() override;
    MFPreview(const MFPreview &) = delete;
    MFPreview &operator=(const MFPreview &) = delete;

    static std::shared_ptr<MFPreview> create();

    virtual int PreviewEnable(const QString &channel, int audio, int video);
    // Window to draw into; 0 detaches.
    virtual int PreviewWindowSet(const QString &channel, uint64_t nativeWindow);
    // Gain in dB for one channel (-1 for all): 0.0 plays, -100.0 mutes.
    virtual int PreviewAudioVolumeSet(const QString &channel, int audioChannel, double gainDb);

    int ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &options) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
