#include "pulseaudiodevice.h"

#include "pulseclient.h"

#include <QDebug>
#include <QElapsedTimer>

#include <pulse/timeval.h>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {
// A lost server is looked for again at this pace.
constexpr int RETRY_MS = 1000;
// Asked for; the server keeps its source's own rate and channels (PA_STREAM_FIX_*).
constexpr uint32_t REQUESTED_RATE = 48000;
constexpr uint8_t REQUESTED_CHANNELS = 2;
constexpr int STEP_MS = 100;
} // namespace

PulseAudioDevice::PulseAudioDevice(const QString &sourceName) : source(sourceName) {}

PulseAudioDevice::~PulseAudioDevice() {
    stop();
}

int PulseAudioDevice::open(QString *error) {
    close();
    client = std::make_unique<PulseClient>();
    if (!client->connect(CONNECT_TIMEOUT_MS, gate.flag(), error))
        return MF_E_NOTFOUND;
    const pa_sample_spec requested = {PA_SAMPLE_FLOAT32LE, REQUESTED_RATE, REQUESTED_CHANNELS};
    stream = pa_stream_new(client->context(), "Tidewell capture", &requested, nullptr);
    if (!stream) {
        *error = QStringLiteral("cannot create a record stream: %1").arg(client->lastError());
        close();
        return MF_E_FAIL;
    }
    pa_stream_set_read_callback(stream, &PulseAudioDevice::onRead, this);
    pa_buffer_attr attributes;
    attributes.maxlength = uint32_t(-1);
    attributes.tlength = uint32_t(-1);
    attributes.prebuf = uint32_t(-1);
    attributes.minreq = uint32_t(-1);
    attributes.fragsize = uint32_t(pa_usec_to_bytes(FRAGMENT_MS * PA_USEC_PER_MSEC, &requested));
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_FIX_RATE | PA_STREAM_FIX_CHANNELS);
    if (pa_stream_connect_record(stream, source.toUtf8().constData(), &attributes, flags) < 0) {
        *error = QStringLiteral("cannot record \"%1\": %2").arg(source, client->lastError());
        close();
        return MF_E_FAIL;
    }
    QElapsedTimer clock;
    clock.start();
    while (pa_stream_get_state(stream) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) || !client->iterate(STEP_MS)) {
            *error = QStringLiteral("cannot record \"%1\": %2").arg(source, client->lastError());
            close();
            return MF_E_NOTFOUND;
        }
        if (gate.stopRequested() || clock.elapsed() > CONNECT_TIMEOUT_MS) {
            *error = QStringLiteral("recording \"%1\" did not start within %2 ms").arg(source).arg(CONNECT_TIMEOUT_MS);
            close();
            return MF_E_TIMEOUT;
        }
    }
    const pa_sample_spec *actual = pa_stream_get_sample_spec(stream);
    if (!configured || fifo.channels() != actual->channels || fifo.sampleRate() != int(actual->rate)) {
        fifo.configure(AV_SAMPLE_FMT_FLT, actual->channels, int(actual->rate));
        configured = true;
    }
    qDebug() << "PulseAudio capture:" << source << actual->channels << "channels at" << actual->rate << "Hz";
    return MF_OK;
}

void PulseAudioDevice::close() {
    if (stream) {
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
    client.reset();
}

void PulseAudioDevice::onRead(pa_stream *stream, size_t, void *userdata) {
    auto *device = static_cast<PulseAudioDevice *>(userdata);
    const size_t frameBytes = pa_frame_size(pa_stream_get_sample_spec(stream));
    const void *data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) >= 0 && bytes > 0) {
        // A hole (data null) is audio the server lost; it is left out, as the live source keeps its own
        // count of samples against the clock.
        if (data && frameBytes > 0) {
            const auto *samples = static_cast<const uint8_t *>(data);
            device->fifo.write(&samples, int(bytes / frameBytes));
        }
        pa_stream_drop(stream);
    }
}

int PulseAudioDevice::start(const MFDeviceProps &) {
    stop();
    gate.reset();
    QString error;
    const int result = open(&error);
    if (MF_FAILED(result)) {
        qWarning() << "PulseAudio capture cannot start:" << error;
        return result;
    }
    worker = std::thread(&PulseAudioDevice::run, this);
    return MF_OK;
}

void PulseAudioDevice::stop() {
    gate.stop();
    if (worker.joinable())
        worker.join();
    close();
}

void PulseAudioDevice::run() {
    bool failing = false; // one warning per streak of failures
    while (!gate.stopRequested()) {
        if (!stream) {
            QString error;
            if (MF_FAILED(open(&error))) {
                if (!failing)
                    qWarning() << "PulseAudio capture failed:" << error;
                failing = true;
                gate.pause(RETRY_MS);
                continue;
            }
            failing = false;
        }
        if (!client->iterate(STEP_MS) || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            if (!failing)
                qWarning() << "PulseAudio capture of" << source << "lost:" << client->lastError();
            failing = true;
            close();
            gate.pause(RETRY_MS);
        }
    }
    close();
}
