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
    : path(devicePath), inputs(deviceInputs) {}

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

int V4L2CameraDevice::openGrabber(DeviceGrabber *grabber, const Settings &wanted, QString *error) {
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

int V4L2CameraDevice::start(const MFDeviceProps &props) {
    stop();
    {
        std::lock_guard<std::mutex> guard(settingsLock);
        for (auto it = props.constBegin(); it != props.constEnd(); ++it) {
            if (!apply(&settings, it.key(), it.value()))
                qWarning() << "V4L2 capture: ignoring" << it.key() << "=" << it.value();
        }
    }
    gate.reset();
    reopen.store(false);
    auto grabber = std::make_unique<DeviceGrabber>(gate.flag());
    QString error;
    const int result = openGrabber(grabber.get(), currentSettings(), &error);
    if (MF_FAILED(result)) {
        qWarning() << "V4L2 capture cannot start:" << error;
        return result;
    }
    worker = std::thread(&V4L2CameraDevice::run, this, std::move(grabber));
    return MF_OK;
}

void V4L2CameraDevice::stop() {
    gate.stop();
    if (worker.joinable())
        worker.join();
}

int V4L2CameraDevice::setProperty(const QString &name, const QString &value) {
    std::lock_guard<std::mutex> guard(settingsLock);
    Settings changed = settings;
    if (!apply(&changed, name, value))
        return MF_E_INVALIDARG;
    if (changed.input != settings.input || changed.size != settings.size || changed.frameRate != settings.frameRate) {
        settings = changed;
        reopen.store(true);
    }
    return MF_OK;
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
        const bool changed = reopen.exchange(false);
        if (!grabber->isOpen() || changed) {
            if (MF_FAILED(openGrabber(grabber.get(), currentSettings(), &error))) {
                if (!failing)
                    qWarning() << "V4L2 capture failed:" << error;
                failing = true;
                slot.clear();
                gate.pause(RETRY_MS);
                continue;
            }
        }
        const int result = grabber->next(picture, &error);
        if (result == MF_E_TIMEOUT)
            continue;
        if (MF_FAILED(result)) {
            if (!failing)
                qWarning() << "V4L2 capture failed:" << error;
            failing = true;
            grabber->close();
            slot.clear();
            gate.pause(RETRY_MS);
            continue;
        }
        failing = false;
        slot.put(picture, av_gettime_relative());
        av_frame_unref(picture);
    }
    grabber->close();
    av_frame_free(&picture);
}
