#pragma once

// Helpers for the tests that link the media layer: device lists, opening a live source on a device, fetching
// frames and reading their format.

#include "imfdevice.h"
#include "imfframe.h"
#include "imfsource.h"
#include "mffactory.h"
#include "mformats.h"
#include "mfresult.h"

#include <QSize>
#include <QStringList>

#include <memory>
#include <vector>

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

// A frame made from memory as a device hands it over; nullptr when the factory refuses it.
inline MFFramePtr fromMemory(const MFFormat &format, const void *picture, int64_t bytes, int samples = 0,
                             const void *audio = nullptr) {
    MFFramePtr frame;
    MFFactory().MFFrameCreateFromMem(format, static_cast<const uint8_t *>(picture), bytes, samples,
                                     static_cast<const uint8_t *>(audio), &frame, QString());
    return frame;
}

// An ARGB32 picture of one colour (0xAARRGGBB) at the frame rate, with 16-bit sound of one value when it has
// channels.
inline MFFramePtr solidFrame(QSize size, uint32_t argb, double rate = 0, int channels = 0, int sampleRate = 48000,
                             int samples = 0, int16_t value = 1000) {
    const std::vector<uint32_t> pixels(size_t(size.width() * size.height()), argb);
    const std::vector<int16_t> sound(size_t(samples * channels), value);
    const MFFormat format{0, MFCC_ARGB32, size.width(), size.height(), 0, 0, 0, rate, channels, sampleRate, 16};
    return fromMemory(format, pixels.data(), int64_t(pixels.size()) * 4, samples, channels ? sound.data() : nullptr);
}

} // namespace mediatest
