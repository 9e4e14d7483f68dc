#include "x11screenprovider.h"

#include "imfdevice.h"
#include "x11screendevice.h"
#include "x11screenlayout.h"

#include <QDebug>

#include <atomic>

const QString X11ScreenProvider::DEVICE_NAME = QLatin1String(kMFScreenCaptureDevice);

QString X11ScreenProvider::providerName() const {
    return QStringLiteral("X11 screen");
}

QList<MFDeviceEntry> X11ScreenProvider::list(int type) {
    if (type != eMFDT_Video)
        return {};
    X11ScreenLayout layout;
    QString error;
    if (!layout.read(QString(), &error)) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            qWarning() << "X11 screen capture unavailable:" << error << "- the desktop cannot be captured";
        return {};
    }
    MFDeviceEntry entry;
    entry.name = DEVICE_NAME;
    entry.id = layout.displayName();
    return {entry};
}

std::unique_ptr<MFVideoDevice> X11ScreenProvider::openVideo(const MFDeviceEntry &entry) {
    if (entry.name != DEVICE_NAME)
        return nullptr;
    return std::make_unique<X11ScreenDevice>(entry.id);
}
