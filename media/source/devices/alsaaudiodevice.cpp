#include "alsaaudiodevice.h"

#include "alsaaudioprovider.h"

#include <QDebug>

#include <alsa/asoundlib.h>

#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {
constexpr int RETRY_MS = 1000;
// snd_pcm_wait's bound, so that a stop is seen at once even when the card delivers nothing.
constexpr int WAIT_MS = 100;
constexpr snd_pcm_uframes_t READ_FRAMES = AlsaAudioDevice::SAMPLE_RATE / 100;
} // namespace

AlsaAudioDevice::AlsaAudioDevice(const QString &pcmName) : name(pcmName) {}

AlsaAudioDevice::~AlsaAudioDevice() {
    stop();
}

int AlsaAudioDevice::open(QString *error) {
    close();
    AlsaAudioProvider::routeLibraryMessages();
    // Non-blocking, so that neither the open of a busy device nor a read ever waits without a bound.
    int result = snd_pcm_open(&pcm, name.toUtf8().constData(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (result < 0) {
        pcm = nullptr;
        *error = QStringLiteral("cannot open \"%1\": %2").arg(name, QString::fromUtf8(snd_strerror(result)));
        return MF_E_NOTFOUND;
    }
    result = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, CHANNELS, SAMPLE_RATE, 1,
                                LATENCY_US);
    if (result >= 0)
        result = snd_pcm_start(pcm);
    if (result < 0) {
        *error = QStringLiteral("cannot record from \"%1\": %2").arg(name, QString::fromUtf8(snd_strerror(result)));
        close();
        return MF_E_UNSUPPORTED;
    }
    if (fifo.channels() != CHANNELS || fifo.sampleRate() != SAMPLE_RATE)
        fifo.configure(AV_SAMPLE_FMT_S16, CHANNELS, SAMPLE_RATE);
    qDebug() << "ALSA capture:" << name;
    return MF_OK;
}

void AlsaAudioDevice::close() {
    if (pcm) {
        snd_pcm_close(pcm);
        pcm = nullptr;
    }
}

int AlsaAudioDevice::start(const MFDeviceProps &) {
    stop();
    gate.reset();
    QString error;
    const int result = open(&error);
    if (MF_FAILED(result)) {
        qWarning() << "ALSA capture cannot start:" << error;
        return result;
    }
    worker = std::thread(&AlsaAudioDevice::run, this);
    return MF_OK;
}

void AlsaAudioDevice::stop() {
    gate.stop();
    if (worker.joinable())
        worker.join();
    close();
}

void AlsaAudioDevice::run() {
    std::vector<int16_t> buffer(READ_FRAMES * CHANNELS);
    bool failing = false; // one warning per streak of failures
    while (!gate.stopRequested()) {
        QString error;
        if (!pcm && MF_FAILED(open(&error))) {
            if (!failing)
                qWarning() << "ALSA capture failed:" << error;
            failing = true;
            gate.pause(RETRY_MS);
            continue;
        }
        const int ready = snd_pcm_wait(pcm, WAIT_MS);
        snd_pcm_sframes_t got = ready < 0 ? ready : snd_pcm_readi(pcm, buffer.data(), READ_FRAMES);
        if (got == -EAGAIN || got == 0)
            continue;
        if (got < 0) {
            // An overrun (-EPIPE) or a suspend (-ESTRPIPE) is recovered; anything else reopens the device.
            const int recovered = snd_pcm_recover(pcm, int(got), 1);
            if (recovered >= 0) {
                if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED)
                    snd_pcm_start(pcm);
                continue;
            }
            if (!failing)
                qWarning() << "ALSA capture of" << name << "failed:" << snd_strerror(int(got));
            failing = true;
            close();
            gate.pause(RETRY_MS);
            continue;
        }
        failing = false;
        const auto *samples = reinterpret_cast<const uint8_t *>(buffer.data());
        fifo.write(&samples, int(got));
    }
    close();
}
