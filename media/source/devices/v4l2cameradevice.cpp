#include "v4l2cameradevice.h"

#include "devicegrabber.h"
#include "v4l2formatchooser.h"
#include "v4l2query.h"

#include <QDebug>

extern "C" {
#include <libavutil/time.h>
}

namespace {
// An unplugged camera is looked for again at this pace.
constexpr int RETRY_MS = 1000;
} // namespace

V4L2CameraDevice::V4L2CameraDevice(const QString &devicePath, const QStringList &deviceInputs)
    : GrabberVideoDevice("V4L2 capture", RETRY_MS), path(devicePath), inputs(deviceInputs) {}

V4L2CameraDevice::~V4L2CameraDevice() {
    stop();
}

bool V4L2CameraDevice::apply(Settings *wanted, const QString &name, const QString &value) const {
    if (name == QLatin1String("line-in")) {
        if (value.isEmpty())
            return true;
        const int index = inputs.indexOf(value);
        if (index < 0)
            return false;
        wanted->input = index;
    } else if (name == QLatin1String("capture.video_size")) {
        const QStringList parts = value.trimmed().split(QLatin1Char('x'));
        bool okWidth = false;
        bool okHeight = false;
        const QSize size = parts.size() == 2 ? QSize(parts[0].toInt(&okWidth), parts[1].toInt(&okHeight)) : QSize();
        if (!okWidth || !okHeight || size.isEmpty())
            return false;
        wanted->size = size;
    } else if (name == QLatin1String("capture.frame_rate")) {
        bool ok = false;
        const double rate = value.trimmed().toDouble(&ok);
        if (!ok || rate < 0.0)
            return false;
        wanted->frameRate = rate;
    }
    return true;
}

V4L2CameraDevice::Settings V4L2CameraDevice::currentSettings() const {
    std::lock_guard<std::mutex> guard(settingsLock);
    return settings;
}

bool V4L2CameraDevice::changeSetting(const QString &name, const QString &value, bool *changed) {
    std::lock_guard<std::mutex> guard(settingsLock);
    Settings next = settings;
    if (!apply(&next, name, value))
        return false;
    *changed = !(next == settings);
    settings = next;
    return true;
}

int V4L2CameraDevice::openGrabber(DeviceGrabber *grabber, QString *error) {
    const Settings wanted = currentSettings();
    const QList<V4L2FormatChooser::Mode> modes = V4L2Query::modes(path);
    const int chosen = V4L2FormatChooser::nearest(modes, wanted.size, wanted.frameRate);
    QMap<QString, QString> options;
    if (chosen >= 0) {
        const V4L2FormatChooser::Mode &mode = modes.at(chosen);
        options.insert(QStringLiteral("input_format"), mode.inputFormat);
        options.insert(QStringLiteral("video_size"),
                       QStringLiteral("%1x%2").arg(mode.size.width()).arg(mode.size.height()));
        options.insert(QStringLiteral("framerate"), QString::number(mode.frameRate, 'g', 6));
    }
    if (inputs.size() > 1)
        options.insert(QStringLiteral("channel"), QString::number(wanted.input));
    const int result = grabber->open("video4linux2", path, options, error, true);
    if (MF_SUCCEEDED(result)) {
        std::lock_guard<std::mutex> guard(settingsLock);
        openedRate = grabber->frameRate();
        qDebug() << "V4L2 capture:" << path << options;
    }
    return result;
}

double V4L2CameraDevice::frameRate() const {
    std::lock_guard<std::mutex> guard(settingsLock);
    return openedRate;
}

void V4L2CameraDevice::run(std::unique_ptr<DeviceGrabber> grabber) {
    AVFrame *picture = av_frame_alloc();
    if (!picture)
        return;
    bool failing = false; // one warning per streak of failures
    while (!gate.stopRequested()) {
        QString error;
        const bool changed = reopenRequested();
        if (!grabber->isOpen() || changed) {
            if (MF_FAILED(openGrabber(grabber.get(), &error))) {
                backOff(&failing, error);
                continue;
            }
        }
        const int result = grabber->next(picture, &error);
        if (result == MF_E_TIMEOUT)
            continue;
        if (MF_FAILED(result)) {
            grabber->close();
            backOff(&failing, error);
            continue;
        }
        failing = false;
        slot.put(picture, av_gettime_relative());
        av_frame_unref(picture);
    }
    grabber->close();
    av_frame_free(&picture);
}
