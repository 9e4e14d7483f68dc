#pragma once

#include "imfdevice.h"
#include "imfprops.h"
#include "imfreceiver.h"

#include <memory>

// Output to a device: the outputs of the registered providers (mfoutputdevice.h) as video devices, the
// NDI sender "NDI Renderer" (with an NDI runtime) and the screens (where a provider of them is registered).
// The property "line-out" offers the sound outputs as its options, the same for every device; choosing one
// (PropsOptionSetByIndex) plays the open output's sound there. Set as text, "line-out" names the NDI
// stream. Frames put go to the open output; MF_E_NOTREADY while none is open, MF_E_NOTFOUND once it has
// gone by itself (DeviceGet then reports no open device).
//
// Threads: device and property calls may come from one thread while another puts frames.
class MFRenderer : public IMFDevice, public IMFProps, public IMFReceiver {
public:
    // How long the list of sound outputs is reused before the server is asked again.
    static constexpr int SOUND_OUTPUTS_FRESH_MS = 1000;
    // The longest a listing waits for the sound server.
    static constexpr int SOUND_OUTPUTS_TIMEOUT_MS = 1000;

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
