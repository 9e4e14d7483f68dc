#pragma once

#include "grabbervideodevice.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

class DeviceGrabber;

// A V4L2 camera or capture device read through FFmpeg's v4l2 input on its own thread, keeping only the
// newest picture. MJPEG pictures are decoded here, raw ones (YUYV ...) passed as they come. Properties:
//  - "line-in": the input by name (one of the entry's lines); a change reopens the device;
//  - "capture.video_size" ("1280x720") and "capture.frame_rate": the wished mode; the device opens in
//    the mode nearest to it (V4L2FormatChooser), 1920x1080 at 30 fps when nothing is wished.
class V4L2CameraDevice : public GrabberVideoDevice {
public:
    V4L2CameraDevice(const QString &path, const QStringList &inputs);
    ~V4L2CameraDevice() override;

    double frameRate() const override;

private:
    struct Settings {
        int input = 0;
        QSize size;
        double frameRate = 0.0;
        bool operator==(const Settings &other) const {
            return input == other.input && size == other.size && frameRate == other.frameRate;
        }
    };
    bool apply(Settings *settings, const QString &name, const QString &value) const;
    Settings currentSettings() const;
    bool changeSetting(const QString &name, const QString &value, bool *changed) override;
    int openGrabber(DeviceGrabber *grabber, QString *error) override;
    void run(std::unique_ptr<DeviceGrabber> grabber) override;

    const QString path;
    const QStringList inputs;
    mutable std::mutex settingsLock; // guards settings and openedRate
    Settings settings;
    double openedRate = 0.0;
};
