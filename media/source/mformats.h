#pragma once

#include "imfdevice.h"
#include "imfprops.h"
#include "imfsource.h"

#include <memory>

// The live source: lists devices by type (video, internal audio, external audio, sink), opens one of
// each, and delivers frames at a constant rate converted to the format asked for, each frame carrying
// exactly its share of audio samples. Device backends run their own capture threads; a slow consumer
// makes the source drop or repeat frames, never blocks the device.
//
// Methods are virtual so that tests can script a source.
class MFormats : public IMFDevice, public IMFProps, public IMFSource {
public:
    MFormats();
    ~MFormats() override;
    MFormats(const MFormats &) = delete;
    MFormats &operator=(const MFormats &) = delete;

    // nullptr when the class cannot be created.
    static std::shared_ptr<MFormats> create();

    int DeviceGetCount(int type, int *count) override;
    int DeviceGetByIndex(int type, int index, QString *name) override;
    int DeviceSet(int type, int index, const QString &options) override;
    int DeviceGet(int type, int *index, QString *name) override;
    int DeviceClose() override;

    int PropsSet(const QString &name, const QString &value) override;
    int PropsGet(const QString &name, QString *value) override;
    int PropsOptionGetCount(const QString &name, int *count) override;
    int PropsOptionGetByIndex(const QString &name, int index, QString *value, QString *description) override;
    int PropsOptionSetByIndex(const QString &name, int index) override;

    int SourceFrameConvertedGetByFormat(const MFFormat &format, MFFramePtr *frame, int timeoutMs,
                                        const QString &options) override;

    // Virtual time, for tests: the source stops sleeping between frames and drives devices that can run on
    // virtual time (the test pattern) frame by frame, so that minutes of output take moments. Applies to
    // devices opened afterwards.
    void setVirtualClock(bool enabled);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
