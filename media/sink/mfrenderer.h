#pragma once

#include "imfdevice.h"
#include "imfprops.h"
#include "imfreceiver.h"

#include <memory>

// Output to a device or a network stream (NDI). No output runtime exists on this platform, so the device
// list is empty unless a backend is present; the operations still behave as on a machine without cards.
class MFRenderer : public IMFDevice, public IMFProps, public IMFReceiver {
public:
    MFRenderer();
    ~MFRenderer() override;
    MFRenderer(const MFRenderer &) = delete;
    MFRenderer &operator=(const MFRenderer &) = delete;

    static std::shared_ptr<MFRenderer> create();

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

    int ReceiverFramePut(const MFFramePtr &frame, int timeoutMs, const QString &options) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
