#pragma once

#include "mfdevicebackend.h"

// Lists the sources of the PulseAudio server (PipeWire's Pulse server alike), monitors of outputs
// included, as external audio by their description ("Monitor of Null Output", "Built-in Audio Analog
// Stereo"). Without a server nothing is listed and the reason is logged once.
class PulseAudioProvider : public MFDeviceProvider {
public:
    // A listing gives up after this long without an answer from the server.
    static constexpr int LIST_TIMEOUT_MS = 1500;

    QString providerName() const override;
    QList<MFDeviceEntry> list(int type) override;
    std::unique_ptr<MFAudioDevice> openAudio(const MFDeviceEntry &entry) override;
};
