// Sound capture from a PulseAudio server of the test's own: a null sink plays a known stereo tone
// (1000 Hz left, 500 Hz right) and its monitor source is recorded through the Pulse backend, the ALSA
// backend (ALSA's pulse plugin) and the live source.

#include "alsaaudiodevice.h"
#include "imfdevice.h"
#include "mediatestkit.h"
#include "mfframe.h"
#include "mformats.h"
#include "peerprocess.h"
#include "privatesoundserver.h"
#include "pulseaudiodevice.h"
#include "pulseaudioprovider.h"
#include "testkit.h"

#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace {

const QString SINK = QStringLiteral("tidewell_test");
const QString MONITOR_NAME = QStringLiteral("Monitor of TidewellTest");
constexpr int SINK_RATE = 44100;
constexpr double LEFT_HZ = 1000.0;
constexpr double RIGHT_HZ = 500.0;
// Counting zero crossings over half a second is exact to a few crossings.
constexpr double FREQUENCY_TOLERANCE = 0.03;

// Interleaved samples as doubles.
struct Sound {
    std::vector<double> samples;
    int channels = 0;
    int rate = 0;

    int frames() const { return channels ? int(samples.size()) / channels : 0; }
    double level(int channel) const {
        double sum = 0.0;
        for (int i = 0; i < frames(); ++i)
            sum += samples[size_t(i * channels + channel)] * samples[size_t(i * channels + channel)];
        return frames() ? std::sqrt(sum / frames()) : 0.0;
    }
    double frequency(int channel) const {
        int rising = 0;
        for (int i = 1; i < frames(); ++i) {
            if (samples[size_t((i - 1) * channels + channel)] < 0.0 && samples[size_t(i * channels + channel)] >= 0.0)
                ++rising;
        }
        return frames() ? rising * double(rate) / frames() : 0.0;
    }
    bool carries(int channel, double hz) const {
        return level(channel) > 0.02 && std::abs(frequency(channel) - hz) <= hz * FREQUENCY_TOLERANCE;
    }
    QString describe() const {
        QStringList parts;
        for (int c = 0; c < channels; ++c)
            parts << QStringLiteral("ch%1 %2 Hz level %3").arg(c).arg(frequency(c)).arg(level(c));
        return QStringLiteral("%1 frames at %2 Hz: %3").arg(frames()).arg(rate).arg(parts.join(QStringLiteral(", ")));
    }
};

// Half a second of what a device's FIFO holds now (older samples are dropped first).
bool takeFromFifo(MFAudioFifo &fifo, Sound *sound) {
    const int wanted = fifo.sampleRate() / 2;
    if (wanted <= 0 || fifo.size() < wanted)
        return false;
    std::vector<uint8_t> buffer(size_t(wanted) * fifo.channels() * av_get_bytes_per_sample(fifo.format()));
    uint8_t *planes[1] = {buffer.data()};
    const int got = fifo.read(planes, wanted);
    sound->channels = fifo.channels();
    sound->rate = fifo.sampleRate();
    sound->samples.resize(size_t(got) * sound->channels);
    for (size_t i = 0; i < sound->samples.size(); ++i) {
        if (fifo.format() == AV_SAMPLE_FMT_FLT)
            sound->samples[i] = reinterpret_cast<const float *>(buffer.data())[i];
        else if (fifo.format() == AV_SAMPLE_FMT_S16)
            sound->samples[i] = reinterpret_cast<const int16_t *>(buffer.data())[i] / 32768.0;
    }
    return got == wanted;
}

// Waits (bounded) for half a second of the tone in the FIFO; *sound keeps the last take.
bool waitForTone(MFAudioFifo &fifo, Sound *sound, int leftChannel, double leftHz, int timeoutMs = 10000) {
    return testkit::waitUntil(
        [&] {
            if (!takeFromFifo(fifo, sound))
                return false;
            fifo.reset(); // the next take is fresh audio
            return sound->carries(leftChannel, leftHz);
        },
        timeoutMs, 20);
}

} // namespace

class TstDevicesAudio : public QObject {
    Q_OBJECT

    PrivateSoundServer server{{{SINK, QStringLiteral("TidewellTest"), SINK_RATE}}};
    PeerProcess tone;

    // 1000 Hz left, 500 Hz right, played in real time into the null sink for longer than the tests run.
    bool startTone() {
        const QString source = QStringLiteral("sine=frequency=%1:sample_rate=%2:duration=90");
        return tone.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                                     source.arg(LEFT_HZ).arg(SINK_RATE), "-f", "lavfi", "-i",
                                     source.arg(RIGHT_HZ).arg(SINK_RATE), "-filter_complex",
                                     "[0:a][1:a]amerge=inputs=2", "-f", "pulse", "-device", SINK, "tidewell tone"});
    }

private slots:
    void initTestCase() {
        if (!testkit::haveProgram(QStringLiteral("ffmpeg")))
            QSKIP("ffmpeg is not installed: nothing plays the tone for the sound capture tests");
        QString why;
        if (!server.start(&why))
            QSKIP(qPrintable(QStringLiteral("no PulseAudio server for the sound capture tests: %1").arg(why)));
        QVERIFY2(startTone(), qPrintable(tone.output()));
    }

    void cleanupTestCase() {
        tone.stop();
        server.stop();
    }

    void pulseListsTheMonitorByDescription() {
        PulseAudioProvider provider;
        const QList<MFDeviceEntry> sources = provider.list(eMFDT_ExtAudio);
        QStringList names;
        for (const MFDeviceEntry &entry : sources)
            names << entry.name;
        QVERIFY2(names.contains(MONITOR_NAME), qPrintable(names.join(", ")));
        QCOMPARE(sources.at(names.indexOf(MONITOR_NAME)).id, SINK + QStringLiteral(".monitor"));
        QVERIFY(provider.list(eMFDT_Video).isEmpty());
    }

    void pulseCapturesTheToneAtTheSourceFormat() {
        PulseAudioDevice device(SINK + QStringLiteral(".monitor"));
        QVERIFY(MF_SUCCEEDED(device.start({})));
        // The source's own rate and channels, so that channel numbers mean the source's channels.
        QCOMPARE(device.samples().sampleRate(), SINK_RATE);
        QCOMPARE(device.samples().channels(), 2);
        Sound sound;
        QVERIFY2(waitForTone(device.samples(), &sound, 0, LEFT_HZ), qPrintable(sound.describe()));
        QVERIFY2(sound.carries(1, RIGHT_HZ), qPrintable(sound.describe()));
        device.stop();

        // A source that does not exist fails to start instead of recording silence.
        PulseAudioDevice missing(QStringLiteral("no_such_source"));
        QVERIFY(MF_FAILED(missing.start({})));
    }

    void alsaCapturesThroughThePulsePlugin() {
        if (!QFile::exists(QStringLiteral("/usr/lib/x86_64-linux-gnu/alsa-lib/libasound_module_pcm_pulse.so")))
            QSKIP("ALSA's pulse plugin (libasound2-plugins) is not installed: ALSA capture is not tested");
        // ALSA's "pulse" device records the server's default source.
        QVERIFY(server.pactl({QStringLiteral("set-default-source"), SINK + QStringLiteral(".monitor")}));
        AlsaAudioDevice device(QStringLiteral("pulse"));
        QVERIFY(MF_SUCCEEDED(device.start({})));
        QCOMPARE(device.samples().sampleRate(), AlsaAudioDevice::SAMPLE_RATE);
        Sound sound;
        QVERIFY2(waitForTone(device.samples(), &sound, 0, LEFT_HZ), qPrintable(sound.describe()));
        QVERIFY2(sound.carries(1, RIGHT_HZ), qPrintable(sound.describe()));
        device.stop();

        AlsaAudioDevice missing(QStringLiteral("plughw:CARD=NoSuchCard,DEV=0"));
        QVERIFY(MF_FAILED(missing.start({})));
    }

    void liveSourceCarriesExternalAudioWithFrames() {
        auto source = MFormats::create();
        QVERIFY(source);
        const int video = mediatest::deviceIndex(*source, eMFDT_Video, QStringLiteral("Test Pattern"));
        const int audio = mediatest::deviceIndex(*source, eMFDT_ExtAudio, MONITOR_NAME);
        QVERIFY(video >= 0 && audio >= 0);
        QVERIFY(MF_SUCCEEDED(source->DeviceSet(eMFDT_Video, video, QString())));
        QVERIFY(MF_SUCCEEDED(source->DeviceSet(eMFDT_Audio, 1, QString()))); // internal audio "<None>"
        QVERIFY(MF_SUCCEEDED(source->DeviceSet(eMFDT_ExtAudio, audio, QString())));
        const MFFormat format{0, 0, 0, 0, 0, 0, 0, 25.0, 2, 48000, 16};
        // Frames until half a second of the expected tone has come with them (the first frames may carry the
        // silence from before the recording started, or audio mapped the previous way).
        Sound sound;
        auto collect = [&](double leftHz, double rightHz) {
            sound.samples.clear();
            return testkit::waitUntil(
                [&] {
                    MFFramePtr frame;
                    if (MF_FAILED(source->SourceFrameConvertedGetByFormat(format, &frame, -1, QString())))
                        return false;
                    const MFFrame *own = MFFrame::from(frame);
                    const AVFrame *samples = own ? own->audio() : nullptr;
                    if (!samples || samples->format != AV_SAMPLE_FMT_S16 || samples->ch_layout.nb_channels != 2)
                        return false;
                    sound.channels = 2;
                    sound.rate = samples->sample_rate;
                    const auto *data = reinterpret_cast<const int16_t *>(samples->data[0]);
                    for (int i = 0; i < samples->nb_samples * 2; ++i)
                        sound.samples.push_back(data[i] / 32768.0);
                    const int keep = sound.rate / 2 * 2;
                    if (int(sound.samples.size()) > keep)
                        sound.samples.erase(sound.samples.begin(), sound.samples.end() - keep);
                    return int(sound.samples.size()) == keep && sound.carries(0, leftHz) && sound.carries(1, rightHz);
                },
                10000, 1);
        };
        QVERIFY2(collect(LEFT_HZ, RIGHT_HZ), qPrintable(sound.describe()));
        // Channel numbers of "audio_channels" are the Pulse source's own channels.
        QVERIFY(MF_SUCCEEDED(source->PropsSet(QStringLiteral("audio_channels"), QStringLiteral("1,0"))));
        QVERIFY2(collect(RIGHT_HZ, LEFT_HZ), qPrintable(sound.describe()));
        source->DeviceClose();
    }

    void serverLossAndReturn() {
        PulseAudioDevice device(SINK + QStringLiteral(".monitor"));
        QVERIFY(MF_SUCCEEDED(device.start({})));
        Sound sound;
        QVERIFY(waitForTone(device.samples(), &sound, 0, LEFT_HZ));
        tone.stop();
        server.stop();
        // No more samples come once the server is gone.
        QTest::qWait(300);
        device.samples().reset();
        QTest::qWait(300);
        QCOMPARE(device.samples().size(), 0);

        // The capture thread connects again by itself when the server is back.
        QString why;
        QVERIFY2(server.start(&why), qPrintable(why));
        QVERIFY2(startTone(), qPrintable(tone.output()));
        QVERIFY2(waitForTone(device.samples(), &sound, 0, LEFT_HZ), qPrintable(sound.describe()));
        QVERIFY2(sound.carries(1, RIGHT_HZ), qPrintable(sound.describe()));
        device.stop();
    }
};

QTEST_GUILESS_MAIN(TstDevicesAudio)
#include "tst_devices_audio.moc"
