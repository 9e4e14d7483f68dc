#pragma once

// Helpers for the tests that link the media layer: device lists, opening a live source on a device, fetching
// frames and reading their format.

#include "imfdevice.h"
#include "imfframe.h"
#include "imfsource.h"
#include "mformats.h"
#include "mfresult.h"

#include <QStringList>

#include <memory>

namespace mediatest {

// The names a device list offers for a type, in its order; empty when it cannot be read.
inline QStringList deviceNames(IMFDevice &devices, int type) {
    QStringList names;
    int count = 0;
    if (MF_FAILED(devices.DeviceGetCount(type, &count)))
        return names;
    for (int i = 0; i < count; ++i) {
        QString name;
        devices.DeviceGetByIndex(type, i, &name);
        names << name;
    }
    return names;
}

inline int deviceIndex(IMFDevice &devices, int type, const QString &name) {
    return deviceNames(devices, type).indexOf(name);
}

// A live source with the named video device open (with these options), on virtual time unless realTime;
// nullptr when the device is not listed or does not open.
inline std::shared_ptr<MFormats> openVideo(const QString &name, const QString &options = {}, bool realTime = false) {
    auto source = std::make_shared<MFormats>();
    source->setVirtualClock(!realTime);
    const int index = deviceIndex(*source, eMFDT_Video, name);
    if (index < 0 || MF_FAILED(source->DeviceSet(eMFDT_Video, index, options)))
        return nullptr;
    return source;
}

// The next frame in the asked format; nullptr when the fetch fails.
inline MFFramePtr fetch(IMFSource &source, const MFFormat &asked = {}, int timeoutMs = -1) {
    MFFramePtr frame;
    if (MF_FAILED(source.SourceFrameConvertedGetByFormat(asked, &frame, timeoutMs, QString())))
        return nullptr;
    return frame;
}

inline MFFormat formatOf(const MFFramePtr &frame) {
    MFFormat format;
    if (frame)
        frame->MFFormatGet(&format);
    return format;
}

} // namespace mediatest
