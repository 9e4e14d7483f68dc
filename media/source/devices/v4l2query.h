#pragma once

#include "v4l2formatchooser.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a V4L2 device node says about itself (VIDIOC_QUERYCAP, VIDIOC_ENUMINPUT, VIDIOC_ENUM_FMT and the
// frame size and interval listings). Every call opens the node non-blocking and closes it again.
class V4L2Query {
public:
    struct Device {
        QString path;
        QString card;
        QStringList inputs;
    };

    // The device nodes "video*" of the directory that can capture video (not metadata or output nodes
    // of the same camera), in node number order.
    static QList<Device> captureDevices(const QString &directory);
    // False when the node is not a V4L2 video capture device.
    static bool query(const QString &path, Device *device);
    // The capture modes the node offers in the formats FFmpeg's v4l2 input takes.
    static QList<V4L2FormatChooser::Mode> modes(const QString &path);
};
