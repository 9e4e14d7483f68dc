#include "x11screendevice.h"

#include "devicegrabber.h"
#include "x11connectionwatch.h"
#include "x11screenlayout.h"

#include <QDebug>

extern "C" {
#include <libavutil/time.h>
}

namespace {
// After the X server refused the grab (display gone, screen resized below the grab area) the grab is
// retried at this pace.
constexpr int RETRY_MS = 500;
// How often the capture thread makes sure its X server still answers.
constexpr int64_t WATCH_INTERVAL_US = 500000;
} // namespace

bool X11ScreenDevice::applyProperty(Settings *settings, const QString &name, const QString &value) {
    if (name == QLatin1String("capture.screen_index")) {
        bool ok = false;
        const int index = value.trimmed().toInt(&ok);
        if (!ok || index < 0)
            return false;
        settings->screenIndex = index;
    } else if (name == QLatin1String("capture.highlight_mouse")) {
        settings->hideMouse = value.trimmed().compare(QLatin1String("hide"), Qt::CaseInsensitive) == 0;
    } else if (name == QLatin1String("capture.frame_rate")) {
        bool ok = false;
        const double rate = value.trimmed().toDouble(&ok);
        if (!ok || !(rate > 0.0) || rate > MAX_FRAME_RATE)
            return false;
        settings->frameRate = rate;
    }
    return true;
}

X11ScreenDevice::X11ScreenDevice(const QString &displayName) : display(displayName) {}

X11ScreenDevice::~X11ScreenDevice() {
    stop();
}

X11ScreenDevice::Settings X11ScreenDevice::currentSettings() const {
    std::lock_guard<std::mutex> guard(settingsLock);
    return settings;
}

int X11ScreenDevice::openGrabber(DeviceGrabber *grabber, const Settings &wanted, QString *error) {
    X11ScreenLayout layout;
    if (!layout.read(display, error))
        return MF_E_UNSUPPORTED;
    if (layout.screens().isEmpty()) {
        *error = QStringLiteral("the X display has no screens");
        return MF_E_NOTFOUND;
    }
    int index = wanted.screenIndex;
    if (index >= layout.screens().size()) {
        if (!fallbackReported.exchange(true))
            qWarning() << "X11 screen capture: screen index" << index << "beyond the" << layout.screens().size()
                       << "screens of" << layout.displayName() << "- capturing the primary screen";
        index = 0;
    }
    const X11ScreenLayout::Screen &screen = layout.screens().at(index);
    QMap<QString, QString> options;
    options.insert(QStringLiteral("video_size"),
                   QStringLiteral("%1x%2").arg(screen.geometry.width()).arg(screen.geometry.height()));
    options.insert(QStringLiteral("framerate"), QString::number(wanted.frameRate, 'g', 6));
    options.insert(QStringLiteral("draw_mouse"), wanted.hideMouse ? QStringLiteral("0") : QStringLiteral("1"));
    const QString url = X11ScreenLayout::grabUrl(layout.displayName(), screen);
    const int result = grabber->open("x11grab", url, options, error);
    if (MF_SUCCEEDED(result))
        qDebug() << "X11 screen capture:" << url << screen.geometry.size() << "at" << wanted.frameRate << "fps, mouse"
                 << (wanted.hideMouse ? "hidden" : "shown");
    return result;
}

int X11ScreenDevice::start(const MFDeviceProps &props) {
    stop();
    {
        std::lock_guard<std::mutex> guard(settingsLock);
        for (auto it = props.constBegin(); it != props.constEnd(); ++it) {
            if (!applyProperty(&settings, it.key(), it.value()))
                qWarning() << "X11 screen capture: ignoring" << it.key() << "=" << it.value();
        }
    }
    gate.reset();
    reopen.store(false);
    auto grabber = std::make_unique<DeviceGrabber>(gate.flag());
    QString error;
    const int result = openGrabber(grabber.get(), currentSettings(), &error);
    if (MF_FAILED(result)) {
        qWarning() << "X11 screen capture cannot start:" << error;
        return result;
    }
    worker = std::thread(&X11ScreenDevice::run, this, std::move(grabber));
    return MF_OK;
}

void X11ScreenDevice::stop() {
    gate.stop();
    if (worker.joinable())
        worker.join();
}

int X11ScreenDevice::setProperty(const QString &name, const QString &value) {
    std::lock_guard<std::mutex> guard(settingsLock);
    Settings changed = settings;
    if (!applyProperty(&changed, name, value))
        return MF_E_INVALIDARG;
    if (changed.screenIndex != settings.screenIndex)
        fallbackReported.store(false);
    if (changed.screenIndex != settings.screenIndex || changed.hideMouse != settings.hideMouse ||
        changed.frameRate != settings.frameRate) {
        settings = changed;
        reopen.store(true);
    }
    return MF_OK;
}

double X11ScreenDevice::frameRate() const {
    return currentSettings().frameRate;
}

void X11ScreenDevice::run(std::unique_ptr<DeviceGrabber> grabber) {
    AVFrame *picture = av_frame_alloc();
    if (!picture)
        return;
    bool failing = false; // one warning per streak of failures, not one per retry
    X11ConnectionWatch watch;
    watch.open(display); // the grab itself was opened by start()
    int64_t lastWatchUs = av_gettime_relative();
    while (!gate.stopRequested()) {
        QString error;
        const bool changed = reopen.exchange(false);
        if (!grabber->isOpen() || changed) {
            int result = openGrabber(grabber.get(), currentSettings(), &error);
            if (MF_SUCCEEDED(result) && !watch.open(display)) {
                error = QStringLiteral("the X server does not answer");
                grabber->close();
                result = MF_E_FAIL;
            }
            lastWatchUs = av_gettime_relative();
            if (MF_FAILED(result)) {
                if (!failing)
                    qWarning() << "X11 screen capture failed:" << error;
                failing = true;
                slot.clear();
                gate.pause(RETRY_MS);
                continue;
            }
        }
        int result = grabber->next(picture, &error);
        if (result == MF_E_TIMEOUT)
            continue; // the stop flag ended the read
        if (MF_SUCCEEDED(result) && av_gettime_relative() - lastWatchUs >= WATCH_INTERVAL_US) {
            lastWatchUs = av_gettime_relative();
            if (!watch.alive()) {
                error = QStringLiteral("the X server has gone away");
                result = MF_E_FAIL;
            }
        }
        if (MF_FAILED(result)) {
            if (!failing)
                qWarning() << "X11 screen capture failed:" << error;
            failing = true;
            grabber->close();
            watch.close();
            slot.clear();
            gate.pause(RETRY_MS);
            continue;
        }
        if (failing)
            qDebug() << "X11 screen capture: grabbing again";
        failing = false;
        slot.put(picture, av_gettime_relative());
        av_frame_unref(picture);
    }
    grabber->close();
    av_frame_free(&picture);
}
