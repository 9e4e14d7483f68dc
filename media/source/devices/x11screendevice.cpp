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

X11ScreenDevice::X11ScreenDevice(const QString &displayName)
    : GrabberVideoDevice("X11 screen capture", RETRY_MS), display(displayName) {}

X11ScreenDevice::~X11ScreenDevice() {
    stop();
}

X11ScreenDevice::Settings X11ScreenDevice::currentSettings() const {
    std::lock_guard<std::mutex> guard(settingsLock);
    return settings;
}

bool X11ScreenDevice::changeSetting(const QString &name, const QString &value, bool *changed) {
    std::lock_guard<std::mutex> guard(settingsLock);
    Settings next = settings;
    if (!applyProperty(&next, name, value))
        return false;
    // A new index may fall back to the primary screen again: say so again.
    if (next.screenIndex != settings.screenIndex)
        fallbackReported.store(false);
    *changed = !(next == settings);
    settings = next;
    return true;
}

int X11ScreenDevice::openGrabber(DeviceGrabber *grabber, QString *error) {
    const Settings wanted = currentSettings();
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
        const bool changed = reopenRequested();
        if (!grabber->isOpen() || changed) {
            int result = openGrabber(grabber.get(), &error);
            if (MF_SUCCEEDED(result) && !watch.open(display)) {
                error = QStringLiteral("the X server does not answer");
                grabber->close();
                result = MF_E_FAIL;
            }
            lastWatchUs = av_gettime_relative();
            if (MF_FAILED(result)) {
                backOff(&failing, error);
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
            grabber->close();
            watch.close();
            backOff(&failing, error);
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
