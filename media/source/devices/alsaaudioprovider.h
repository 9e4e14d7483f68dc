#pragma once

#include "mfdevicebackend.h"

// Lists the ALSA capture devices of the sound cards, by card and device name as ALSA describes them
// ("HDA Intel PCH, ALC892 Analog"). Only hardware devices are listed (through the plughw plugin, which
// converts rate and format): ALSA's virtual devices ("default", "pulse", "null") would only repeat the
// PulseAudio sources or record nothing.
class AlsaAudioProvider : public MFDeviceProvider {
public:
    QString providerName() const override;
    QList<MFDeviceEntry> list(int type) override;
    std::unique_ptr<MFAudioDevice> openAudio(const MFDeviceEntry &entry) override;

    // The entry for one ALSA hint (name and description as snd_device_name_hint gives them); false for
    // hints that are not hardware capture devices.
    static bool entryForHint(const QString &name, const QString &description, MFDeviceEntry *entry);
    // Sends alsa-lib's own messages to the diagnostic stream (prefixed "ALSA:") instead of stderr; once.
    static void routeLibraryMessages();
};
