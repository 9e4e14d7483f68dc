#pragma once

#include "capturethreadgate.h"
#include "mfdevicebackend.h"

#include <QString>

#include <memory>
#include <thread>

#include <pulse/stream.h>

class PulseClient;

// Records one PulseAudio source on its own thread into the device's FIFO, as 32-bit float samples at
// the source's own rate and channel count (so that "audio_channels" numbers the source's channels).
// When the server goes away the thread connects again until stopped.
class PulseAudioDevice : public MFAudioDevice {
public:
    // The server delivers about this much audio at a time; it bounds the capture latency.
    static constexpr int FRAGMENT_MS = 20;
    // A connection attempt, and the wait for the recording to start, give up after this long.
    static constexpr int CONNECT_TIMEOUT_MS = 2000;

    explicit PulseAudioDevice(const QString &sourceName);
    ~PulseAudioDevice() override;

    int start(const MFDeviceProps &props) override;
    void stop() override;

private:
    int open(QString *error);
    void close();
    void run();
    static void onRead(pa_stream *stream, size_t bytes, void *userdata);

    const QString source;
    // Used by start() before the thread exists and by the thread afterwards, never by both at once.
    std::unique_ptr<PulseClient> client;
    pa_stream *stream = nullptr;
    bool configured = false;
    CaptureThreadGate gate;
    std::thread worker; // touched only by start/stop, which the live source serialises
};
