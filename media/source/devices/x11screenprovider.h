#pragma once

#include "mfdevicebackend.h"

// Offers the X display as the screen capture device "X11 Screen Capture" (kMFScreenCaptureDevice, the name the
// application passes for every desktop entry; the monitor is chosen by "capture.screen_index"). Without
// an X display (no DISPLAY, offscreen, Wayland without Xwayland) nothing is listed and the reason is
// logged once.
class X11ScreenProvider : public MFDeviceProvider {
public:
    static const QString DEVICE_NAME;

    QString providerName() const override;
    QList<MFDeviceEntry> list(int type) override;
    std::unique_ptr<MFVideoDevice> openVideo(const MFDeviceEntry &entry) override;
};
