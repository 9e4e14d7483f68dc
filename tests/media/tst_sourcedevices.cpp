#include "tst_sourcehelpers.h"

#include "mfdevicebackend.h"
#include "mftestpattern.h"

#include <QtTest>

#include <atomic>
#include <cmath>
#include <thread>

extern "C" {
#include <libavutil/time.h>
}

using namespace sourcetest;

namespace {

// What the fake devices saw, shared with the test.
struct Journal {
    QMutex lock;
    QList<MFDeviceProps> started;
    QStringList propertyCalls;
    std::atomic<int> stops{0};
};

// A video device without thread: the test decides when it has a picture.
class FakeVideo : public MFVideoDevice {
public:
    FakeVideo(Journal *journal, bool withPicture, QStringList refusedLines)
        : journal(journal), withPicture(withPicture), refused(std::move(refusedLines)) {}
    ~FakeVideo() override { stop(); }
    int start(const MFDeviceProps &props) override {
        QMutexLocker locker(&journal->lock);
        journal->started << props;
        if (withPicture)
            showPicture();
        return MF_OK;
    }
    void showPicture() {
        AVFrame *f = av_frame_alloc();
        f->format = AV_PIX_FMT_YUV420P;
        f->width = 320;
        f->height = 240;
        av_frame_get_buffer(f, 0);
        memset(f->data[0], 100, f->linesize[0] * 240);
        memset(f->data[1], 128, f->linesize[1] * 120);
        memset(f->data[2], 128, f->linesize[2] * 120);
        slot.put(f, av_gettime_relative());
        av_frame_free(&f);
    }
    double frameRate() const override { return rate.load(); }
    std::atomic<double> rate{0.0};
    void stop() override {
        if (!stopped.exchange(true))
            ++journal->stops;
    }
    int setProperty(const QString &name, const QString &value) override {
        QMutexLocker locker(&journal->lock);
        journal->propertyCalls << name + "=" + value;
        const bool refuse = (name == "line-in" && refused.contains(value)) || refused.contains(name + "=" + value);
        return refuse ? MF_E_INVALIDARG : MF_OK;
    }

private:
    Journal *journal;
    bool withPicture;
    QStringList refused;
    std::atomic<bool> stopped{false};
};

// An external audio device that the test feeds by hand: mono float at 44.1 kHz.
class FakeAudio : public MFAudioDevice {
public:
    explicit FakeAudio(FakeAudio **self) { *self = this; }
    int start(const MFDeviceProps &) override { return fifo.configure(AV_SAMPLE_FMT_FLT, 1, 44100); }
    void stop() override {}
    void feed(int samples, double frequency) {
        QVector<float> data(samples);
        for (int i = 0; i < samples; ++i, ++position)
            data[i] = float(0.5 * std::sin(2.0 * M_PI * frequency * double(position) / 44100.0));
        const uint8_t *planes[1] = {reinterpret_cast<const uint8_t *>(data.constData())};
        fifo.write(planes, samples);
    }

private:
    int64_t position = 0;
};

class FakeProvider : public MFDeviceProvider {
public:
    Journal journal;
    FakeAudio *audio = nullptr;
    FakeVideo *lastVideo = nullptr; // the device opened last, owned by the live source

    QString providerName() const override { return "fake"; }
    QList<MFDeviceEntry> list(int type) override {
        if (type == eMFDT_Video)
            return {{"NDI Receiver", {"HOST (Camera 1)", "HOST (Camera 2)"}, "ndi"},
                    {"AJA Kona 5", {"SDI 1", "SDI 2", "SDI 3"}, "aja"},
                    {"FD Video Capture", {}, "fd"},
                    {"Blank Device", {}, "blank"},
                    {"Fussy Camera", {}, "fussy"},
                    {"AJA Kona 5", {}, "aja-duplicate"}};
        if (type == eMFDT_ExtAudio)
            return {{"Fake Microphone", {}, "mic"}};
        if (type == eMFDT_Sink)
            return {{"mp://fake sink", {}, "sink"}};
        return {};
    }
    std::unique_ptr<MFVideoDevice> openVideo(const MFDeviceEntry &entry) override {
        // The fussy camera cannot capture at 50 fps.
        const QStringList refused = entry.id == "fussy" ? QStringList{"capture.frame_rate=50"} : QStringList{"SDI 9"};
        auto device = std::make_unique<FakeVideo>(&journal, entry.id != "blank", refused);
        lastVideo = device.get();
        return device;
    }
    std::unique_ptr<MFAudioDevice> openAudio(const MFDeviceEntry &entry) override {
        if (entry.id != "mic")
            return nullptr;
        return std::make_unique<FakeAudio>(&audio);
    }
};

// Fetches frames in the asked format; false at the first failed fetch.
bool fetchAll(MFormats &source, const MFFormat &asked, int frames) {
    for (int i = 0; i < frames; ++i)
        if (!fetch(source, asked))
            return false;
    return true;
}

} // namespace

class TstSourceDevices : public QObject {
    Q_OBJECT

    std::shared_ptr<FakeProvider> provider;

    // The mode properties the devices were told while open, in order.
    QStringList modeCalls() {
        QStringList calls;
        for (const QString &call : journalCalls())
            if (call.startsWith("capture.frame_rate=") || call.startsWith("capture.video_size="))
                calls << call;
        return calls;
    }
    QList<MFDeviceProps> started() {
        QMutexLocker locker(&provider->journal.lock);
        return provider->journal.started;
    }
    QStringList journalCalls() {
        QMutexLocker locker(&provider->journal.lock);
        return provider->journal.propertyCalls;
    }
    static int open(MFormats &source, const QString &name, int type = eMFDT_Video) {
        return source.DeviceSet(type, deviceIndex(source, type, name), QString());
    }

private slots:
    void init() {
        provider = std::make_shared<FakeProvider>();
        MFDeviceRegistry::add(provider);
    }
    void cleanup() {
        MFDeviceRegistry::remove(provider);
        provider.reset();
    }

    void providersListedAfterFixedEntries() {
        MFormats source;
        const QStringList video = deviceNames(source, eMFDT_Video);
        QCOMPARE(video.first(), QString("<None>"));
        QVERIFY(video.contains("Test Pattern"));
        QCOMPARE(video.count("AJA Kona 5"), 2);
        QVERIFY(video.indexOf("NDI Receiver") > video.indexOf("Test Pattern"));
        const QStringList external = deviceNames(source, eMFDT_ExtAudio);
        QCOMPARE(external.mid(0, 2), QStringList({"<None>", "<No External Audio>"}));
        QVERIFY(external.contains("Fake Microphone"));
        QCOMPARE(deviceNames(source, eMFDT_Sink), QStringList({"mp://fake sink"}));
        QVERIFY(MF_FAILED(source.DeviceSet(eMFDT_Video, -1, QString())));
        QVERIFY(MF_FAILED(source.DeviceSet(eMFDT_Video, video.size(), QString())));

        MFDeviceRegistry::remove(provider);
        QVERIFY(!deviceNames(source, eMFDT_Video).contains("NDI Receiver"));
    }

    void linesOfDeviceAreLineInOptions() {
        MFormats source;
        QCOMPARE(source.PropsSet("capture.screen_index", "1"), int(MF_OK));
        const int kona = deviceIndex(source, eMFDT_Video, "AJA Kona 5");
        QCOMPARE(source.DeviceSet(eMFDT_Video, kona, QString()), int(MF_OK));
        int count = 0;
        QCOMPARE(source.PropsOptionGetCount("line-in", &count), int(MF_OK));
        QCOMPARE(count, 3);
        QString line;
        QCOMPARE(source.PropsOptionGetByIndex("line-in", 1, &line, nullptr), int(MF_OK));
        QCOMPARE(line, QString("SDI 2"));
        QVERIFY(MF_FAILED(source.PropsOptionGetByIndex("line-in", 3, &line, nullptr)));
        QCOMPARE(source.PropsOptionSetByIndex("line-in", 2), int(MF_OK));
        QString value;
        source.PropsGet("line-in", &value);
        QCOMPARE(value, QString("SDI 3"));
        // A line the device refuses fails and the previous one stays.
        QVERIFY(MF_FAILED(source.PropsSet("line-in", "SDI 9")));
        source.PropsGet("line-in", &value);
        QCOMPARE(value, QString("SDI 3"));
        QCOMPARE(started().size(), 1);
        QCOMPARE(started().first().value("capture.screen_index"), QString("1"));
        QVERIFY(journalCalls().contains("line-in=SDI 3"));
        QString name;
        int index = -1;
        source.DeviceGet(eMFDT_Video, &index, &name);
        // The index it was opened at: the list of the machine's own devices before it may have changed since.
        QCOMPARE(index, kona);
        QCOMPARE(name, QString("AJA Kona 5"));

        // Another video device does not inherit the line of the previous one.
        QCOMPARE(open(source, "NDI Receiver"), int(MF_OK));
        QCOMPARE(source.PropsGet("line-in", &value), int(MF_FALSE));
        QCOMPARE(source.PropsOptionGetCount("line-in", &count), int(MF_OK));
        QCOMPARE(count, 2);
        QCOMPARE(started().size(), 2);
        QVERIFY(!started().last().contains("line-in"));
    }

    void propertiesStoredAndHandedToDevice() {
        MFormats source;
        for (const char *name : {"device.start_at_deviceset", "no_signal.enabled", "capture.highlight_mouse",
                                 "audio_gain", "ndi_auto_connect", "some.unknown.property"})
            QCOMPARE(source.PropsSet(name, "v-" + QString(name)), int(MF_OK));
        QCOMPARE(source.PropsSet("device.start_at_deviceset", "true"), int(MF_OK));
        QString value;
        QCOMPARE(source.PropsGet("some.unknown.property", &value), int(MF_OK));
        QCOMPARE(value, QString("v-some.unknown.property"));
        QCOMPARE(source.PropsGet("never.set", &value), int(MF_FALSE));
        QCOMPARE(open(source, "NDI Receiver"), int(MF_OK));
        QCOMPARE(source.PropsSet("line-in", "HOST (Camera 2)"), int(MF_OK));
        QCOMPARE(started().size(), 1);
        QCOMPARE(started().first().value("capture.highlight_mouse"), QString("v-capture.highlight_mouse"));
        QCOMPARE(started().first().value("audio_gain"), QString("v-audio_gain"));
        QVERIFY(journalCalls().contains("line-in=HOST (Camera 2)"));
    }

    void deviceStartsAtFirstFetchWhenAsked() {
        MFormats source;
        source.setVirtualClock(true);
        QCOMPARE(source.PropsSet("device.start_at_deviceset", "false"), int(MF_OK));
        QCOMPARE(open(source, "AJA Kona 5"), int(MF_OK));
        QCOMPARE(started().size(), 0);
        const MFFormat got = formatOf(fetch(source, format(0, 0, 25.0, 0, 0)));
        QCOMPARE(got.width, 320);
        QCOMPARE(got.channels, 0); // no audio asked, none there
        QCOMPARE(started().size(), 1);
    }

    void askedModeReachesTheDeviceOncePerChange() {
        MFormats source;
        QCOMPARE(open(source, "AJA Kona 5"), int(MF_OK));
        QVERIFY(fetchAll(source, format(1280, 720, 50.0), 4));
        QCOMPARE(modeCalls(), QStringList({"capture.frame_rate=50", "capture.video_size=1280x720"}));

        // A new rate alone is told alone, in the form the devices parse; 30000/1001 reads as the same rate.
        QVERIFY(fetchAll(source, format(1280, 720, 29.97), 3));
        QVERIFY(fetchAll(source, format(1280, 720, 30000.0 / 1001.0), 2));
        QCOMPARE(modeCalls().mid(2), QStringList({"capture.frame_rate=29.97"}));
        QCOMPARE(modeCalls().last().section('=', 1).toDouble(), 29.97);

        // "As the source" asks nothing: the device keeps its mode, nothing is told.
        QVERIFY(fetchAll(source, format(0, 0, 0.0, 0, 0), 2));
        QCOMPARE(modeCalls().size(), 3);

        // A device opened after a fetch starts in the asked mode and is not told it again.
        QVERIFY(fetchAll(source, format(640, 360, 25.0), 2));
        QCOMPARE(modeCalls().size(), 5);
        QCOMPARE(open(source, "FD Video Capture"), int(MF_OK));
        QVERIFY(fetchAll(source, format(640, 360, 25.0), 3));
        QCOMPARE(modeCalls().size(), 5);
        QCOMPARE(started().size(), 2);
        QCOMPARE(started().last().value("capture.frame_rate"), QString("25"));
        QCOMPARE(started().last().value("capture.video_size"), QString("640x360"));
        // What the caller set itself stays as it was.
        QString value;
        QCOMPARE(source.PropsGet("capture.frame_rate", &value), int(MF_FALSE));
    }

    void deferredStartOpensInTheAskedModeAndARefusalIsNotRepeated() {
        {
            MFormats source;
            QCOMPARE(source.PropsSet("device.start_at_deviceset", "false"), int(MF_OK));
            QCOMPARE(open(source, "AJA Kona 5"), int(MF_OK));
            QVERIFY(fetchAll(source, format(1920, 1080, 59.94), 3));
            QCOMPARE(started().size(), 1);
            QCOMPARE(started().first().value("capture.frame_rate"), QString("59.94"));
            QCOMPARE(started().first().value("capture.video_size"), QString("1920x1080"));
        }
        QVERIFY(modeCalls().isEmpty()); // started in the mode: no change, no reopen

        // A camera that cannot do 50 fps is asked once, keeps delivering, and hears of the next change.
        MFormats source;
        QCOMPARE(open(source, "Fussy Camera"), int(MF_OK));
        QVERIFY(fetchAll(source, format(320, 240, 50.0), 5));
        QCOMPARE(modeCalls(), QStringList({"capture.frame_rate=50", "capture.video_size=320x240"}));
        QVERIFY(fetchAll(source, format(320, 240, 25.0), 2));
        QCOMPARE(modeCalls().mid(2), QStringList({"capture.frame_rate=25"}));
    }

    void noPictureFailsWithinBound() {
        MFormats source;
        QCOMPARE(open(source, "Blank Device"), int(MF_OK));
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < 2; ++i) {
            MFFramePtr frame;
            QVERIFY(MF_FAILED(source.SourceFrameConvertedGetByFormat(format(320, 240, 25.0), &frame, -1, QString())));
        }
        QVERIFY(timer.elapsed() < 3000);
        QCOMPARE(source.DeviceClose(), int(MF_OK));
        QCOMPARE(provider->journal.stops.load(), 1);
    }

    void asTheSourceIsTheRateTheFirstPictureBrings() {
        MFormats source;
        QCOMPARE(open(source, "Blank Device"), int(MF_OK));
        FakeVideo *device = provider->lastVideo;
        // As an NDI source: the rate is known with the first picture, a moment after the first fetch.
        std::thread late([device] {
            QThread::msleep(150);
            device->rate = 50.0;
            device->showPicture();
        });
        const MFFramePtr frame = fetch(source, format(320, 240, 0.0));
        late.join();
        QVERIFY(frame);
        QCOMPARE(formatOf(frame).frameRate, 50.0);
    }

    void silenceWhenAudioAskedButNoneSelected() {
        MFormats source;
        source.setVirtualClock(true);
        QCOMPARE(open(source, "AJA Kona 5"), int(MF_OK));
        const MFFramePtr frame = fetch(source, format(0, 0, 29.97));
        QVERIFY(frame);
        QCOMPARE(frame->MFAudioSamples(), 1602);
        for (double s : channel(frame, 1))
            QCOMPARE(s, 0.0);
    }

    void externalAudioResampledToFrames() {
        MFormats source;
        source.setVirtualClock(true);
        QCOMPARE(open(source, "Test Pattern"), int(MF_OK));
        QCOMPARE(source.DeviceSet(eMFDT_Audio, 1, QString()), int(MF_OK)); // "<None>"
        QCOMPARE(open(source, "Fake Microphone", eMFDT_ExtAudio), int(MF_OK));
        QVERIFY(provider->audio);
        const MFFormat asked = format(320, 180, 25.0, 2, 48000);
        QVector<double> left, right;
        for (int i = 0; i < 25; ++i) {
            const MFFramePtr frame = fetch(source, asked);
            QVERIFY(frame);
            provider->audio->feed(1764, 700.0); // one frame's worth at 44.1 kHz
            QCOMPARE(frame->MFAudioSamples(), 1920);
            if (i >= 8) {
                left += channel(frame, 0);
                right += channel(frame, 1);
            }
        }
        // The 700 Hz tone of the microphone, not the pattern's tones, on both channels.
        QVERIFY(tonePower(left, 700, 48000) > 0.01);
        QVERIFY(tonePower(left, 700, 48000) > 100 * tonePower(left, 1000, 48000));
        QVERIFY(tonePower(right, 700, 48000) > 0.01);

        // Back to "<No External Audio>" with the video's own audio: the pattern's tone returns.
        QCOMPARE(source.DeviceSet(eMFDT_ExtAudio, 1, QString()), int(MF_OK));
        QCOMPARE(source.DeviceSet(eMFDT_Audio, 0, QString()), int(MF_OK));
        QVector<double> back;
        for (int i = 0; i < 15; ++i) {
            const MFFramePtr frame = fetch(source, asked);
            QVERIFY(frame);
            if (i >= 5)
                back += channel(frame, 0);
        }
        QVERIFY(tonePower(back, 1000, 48000) > 100 * tonePower(back, 700, 48000));
    }

    void sourceChangeWhileStreaming() {
        // The capture thread fetches in real time while this thread changes devices and properties.
        MFormats source;
        const int pattern = deviceIndex(source, eMFDT_Video, "Test Pattern");
        const int aja = deviceIndex(source, eMFDT_Video, "AJA Kona 5");
        QCOMPARE(source.DeviceSet(eMFDT_Video, pattern, QString()), int(MF_OK));
        std::atomic<bool> running{true};
        std::atomic<int> good{0}, bad{0};
        std::thread capture([&] {
            while (running)
                ++(fetch(source, format(640, 360, 50.0)) ? good : bad);
        });
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(source.DeviceSet(eMFDT_Video, i % 2 ? pattern : aja, QString()), int(MF_OK));
            QCOMPARE(source.PropsSet("audio_channels", i % 2 ? "1,0" : "0+1"), int(MF_OK));
            QThread::msleep(40);
        }
        QElapsedTimer timer;
        timer.start();
        running = false;
        capture.join();
        QVERIFY(timer.elapsed() < 2000); // the fetch returned within its bound
        QVERIFY(good > 5);
        QCOMPARE(bad.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TstSourceDevices)
#include "tst_sourcedevices.moc"
