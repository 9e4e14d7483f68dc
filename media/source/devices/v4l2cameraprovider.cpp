#include "v4l2cameraprovider.h"

#include "imfdevice.h"
#include "v4l2cameradevice.h"
#include "v4l2query.h"

#include <QSet>

V4L2CameraProvider::V4L2CameraProvider(const QString &directory) : nodeDirectory(directory) {}

QString V4L2CameraProvider::providerName() const {
    return QStringLiteral("V4L2");
}

QList<MFDeviceEntry> V4L2CameraProvider::list(int type) {
    QList<MFDeviceEntry> entries;
    if (type != eMFDT_Video)
        return entries;
    QSet<QString> taken;
    for (const V4L2Query::Device &device : V4L2Query::captureDevices(nodeDirectory)) {
        MFDeviceEntry entry;
        entry.name =
            taken.contains(device.card) ? QStringLiteral("%1 (%2)").arg(device.card, device.path) : device.card;
        taken.insert(entry.name);
        if (device.inputs.size() > 1)
            entry.lines = device.inputs;
        entry.id = device.path;
        entries.append(entry);
    }
    return entries;
}

std::unique_ptr<MFVideoDevice> V4L2CameraProvider::openVideo(const MFDeviceEntry &entry) {
    V4L2Query::Device device;
    if (!V4L2Query::query(entry.id, &device))
        return nullptr;
    return std::make_unique<V4L2CameraDevice>(entry.id, device.inputs);
}
