#pragma once

#include "capturethreadgate.h"
#include "mfdevicebackend.h"

#include <QString>

#include <thread>

typedef struct _snd_pcm snd_pcm_t;

// Records one ALSA capture device on its own thread into the device's FIFO as interleaved signed
// 16-bit stereo at 48 kHz (the plughw plugin converts from what the card offers). An overrun is
// recovered; a device that goes away is opened again until stopped.
class AlsaAudioDevice : public MFAudioDevice {
public:
    static constexpr int SAMPLE_RATE = 48000;
    static constexpr int CHANNELS = 2;
    // ALSA's buffer; the thread reads in periods of a quarter of it.
    static constexpr unsigned LATENCY_US = 100000;

    // pcmName: the ALSA device name ("plughw:CARD=PCH,DEV=0").
    explicit AlsaAudioDevice(const QString &pcmName);
    ~AlsaAudioDevice() override;

    int start(const MFDeviceProps &props) override;
    void stop() override;

private:
    int open(QString *error);
    void close();
    void run();

    const QString name;
    snd_pcm_t *pcm = nullptr; // used by start() before the thread exists and by the thread afterwards
    CaptureThreadGate gate;
    std::thread worker; // touched only by start/stop, which the live source serialises
};
