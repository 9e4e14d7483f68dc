#pragma once

#include <QString>

extern "C" {
#include <libavutil/buffer.h>
}

// Opens a VAAPI device on the first render node (renderD*, in name order) of the directory that VAAPI can drive.
// nullptr when none can, with the reason in *why: that there is no render node, or what each one answered. On
// success *node is the node's path.
AVBufferRef *mfOpenVaapiDevice(const QString &directory, QString *node, QString *why);
