#pragma once

#include "grabbervideodevice.h"

#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

class DeviceGrabber;

// Captures one monitor of an X display through FFmpeg's x11grab on its own thread, keeping only the
// newest picture. Properties:
//  - "capture.screen_index": the monitor by its index in the application's screen order
//    (X11ScreenLayout); an index beyond the layout captures the primary monitor, with a warning;
//  - "capture.highlight_mouse": "hide" leaves the mouse pointer out of the picture;
//  - "capture.frame_rate": grabbing rate in frames per second (default 30).
// A change of any of them while capturing reopens the grab on the new settings.
class X11ScreenDevice : public GrabberVideoDevice {
public:
    static constexpr double DEFAULT_FRAME_RATE = 30.0;
    static constexpr double MAX_FRAME_RATE = 120.0;

    struct Settings {
        int screenIndex = 0;
        bool hideMouse = false;
        double frameRate = DEFAULT_FRAME_RATE;
        bool operator==(const Settings &other) const {
            return screenIndex == other.screenIndex && hideMouse == other.hideMouse && frameRate == other.frameRate;
        }
    };
    // Applies one property to the settings; false for a value that is not valid (the settings stay).
    // Properties this device does not know are accepted and ignored.
    static bool applyProperty(Settings *settings, const QString &name, const QString &value);

    // displayName: the X display as the provider found it (":99"); empty uses $DISPLAY.
    explicit X11ScreenDevice(const QString &displayName);
    ~X11ScreenDevice() override;

    double frameRate() const override;

private:
    Settings currentSettings() const;
    bool changeSetting(const QString &name, const QString &value, bool *changed) override;
    int openGrabber(DeviceGrabber *grabber, QString *error) override;
    void run(std::unique_ptr<DeviceGrabber> grabber) override;

    const QString display;
    mutable std::mutex settingsLock; // guards settings
    Settings settings;
    // Warnings about a screen index beyond the layout, once per index set.
    std::atomic<bool> fallbackReported{false};
};
