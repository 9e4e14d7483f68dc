#pragma once

#include "mfdevicebackend.h"

// Lists the V4L2 capture devices (cameras, capture cards with a V4L2 driver) by card name; a device
// with several inputs offers them as its lines. Two devices with the same card name are told apart by
// their node ("HD Webcam (/dev/video2)"), so that each can be chosen.
class V4L2CameraProvider : public MFDeviceProvider {
public:
    // directory: where the device nodes live (tests point it elsewhere).
    explicit V4L2CameraProvider(const QString &directory = QStringLiteral("/dev"));

    QString providerName() const override;
    QList<MFDeviceEntry> list(int type) override;
    std::unique_ptr<MFVideoDevice> openVideo(const MFDeviceEntry &entry) override;

private:
    const QString nodeDirectory;
};
