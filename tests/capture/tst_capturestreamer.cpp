// The capture loop against a scripted source and writer: counters, log lines, stop and restart.
#include "capturefakes.h"
#include "capturestreamer.h"
#include "logsdlg.h"
#include "testkit.h"

#include "vitcstrip.h"

#include <QtTest>

namespace {

constexpr int kWaitMs = 5000;

MFFormat videoFormat(int width, int height, double rate, uint32_t colour = MFCC_UYVY) {
    return {0, colour, width, height, 0, 0, 0, rate, 2, 48000, 16};
}

// A capture thread on this source and a writer that takes everything, started on the Test Pattern.
std::unique_ptr<CaptureStreamer> startOn(const std::shared_ptr<ScriptedSource> &source) {
    CaptureMedia media;
    media.createSource = [source] { return source; };
    media.createWriter = [] { return std::make_shared<RecordingWriter>(); };
    auto streamer = std::make_unique<CaptureStreamer>(media);
    if (!streamer->setDevices("Test Pattern", "NO_AUDIO"))
        return nullptr;
    streamer->setOutputParams(QSize(), 4000, 128);
    if (!streamer->startCapture(5000, 25, 3, 1, "q264sw", QString(), QString(), 48000))
        return nullptr;
    return streamer;
}

// One capture thread with fakes; the sources it creates are kept so that each run's source can be checked.
struct Rig {
    std::shared_ptr<RecordingWriter> writer = std::make_shared<RecordingWriter>();
    std::shared_ptr<CountingPreview> preview = std::make_shared<CountingPreview>();
    std::vector<std::shared_ptr<ScriptedSource>> sources;
    std::function<void(ScriptedSource &)> scriptNext = [](ScriptedSource &) {};
    LogsDlg logWindow;
    std::unique_ptr<CaptureStreamer> streamer;
    std::atomic<qint64> clockMs{0};

    explicit Rig(bool withPreview = true) {
        CaptureMedia media;
        media.clock = [this] { return QDateTime::fromMSecsSinceEpoch(clockMs.load(), Qt::UTC); };
        media.createSource = [this] {
            auto source = std::make_shared<ScriptedSource>();
            source->frameFormat = videoFormat(640, 360, 25.0);
            source->devices[0] = QStringList{"Test Pattern"};
            scriptNext(*source);
            sources.push_back(source);
            return std::shared_ptr<MFormats>(source);
        };
        media.createWriter = [w = writer] { return w; };
        if (withPreview)
            media.createPreview = [p = preview] { return p; };
        streamer = std::make_unique<CaptureStreamer>(media);
        streamer->setLogWindow(&logWindow);
    }
    ~Rig() {
        streamer->stopCapture();
        streamer->wait(kWaitMs);
    }

    bool start(int frameRate = 25, const QString &channels = QString()) {
        if (!streamer->setDevices(QStringLiteral("Test Pattern"), QStringLiteral("ORIGINAL")))
            return false;
        streamer->setOutputParams(QSize(1280, 720), 4000, 128);
        return streamer->startCapture(5000, frameRate, 3, 1, QStringLiteral("q264sw"), QString(), channels, 48000);
    }
    bool stop() {
        streamer->stopCapture();
        return streamer->wait(kWaitMs);
    }
    int logCount(const QString &line) { return testkit::logText(logWindow).split('\n').count(line); }
    bool waitFrames(uint64_t n) {
        return testkit::waitUntil([&] { return streamer->framesWritten.load() >= n; }, kWaitMs);
    }
};

// Reads the timecode word back from the strip's cells.
QVector<int> stripBits(const QString &markup) {
    QVector<int> bits;
    for (const QString &cell : markup.split(QStringLiteral("</text>"), Qt::SkipEmptyParts))
        bits << (cell.contains(QLatin1String("white")) ? 1 : 0);
    return bits;
}

int frameUnits(const QVector<int> &bits) {
    return bits.value(2) | bits.value(3) << 1 | bits.value(4) << 2 | bits.value(5) << 3;
}

} // namespace

class TestCaptureStreamer : public QObject {
    Q_OBJECT

private slots:
    void failedFetchesAreCountedAndTheRunGoesOn() {
        Rig rig;
        rig.scriptNext = [](ScriptedSource &s) { s.failFirst = 5; };
        QVERIFY(rig.start());
        QVERIFY(rig.waitFrames(3));
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->captureErrors.load(), int64_t(5));
        QCOMPARE(rig.streamer->writeErrors.load(), int64_t(0));
        QCOMPARE(rig.streamer->framesWritten.load(), uint64_t(rig.writer->accepted.load()));
        // Said once, and its repeats counted once another line comes.
        QVERIFY(testkit::waitUntil([&] { return rig.logCount("GetFrame Failed") == 1; }, kWaitMs));
        rig.logWindow.addMessage(QStringLiteral("next"));
        QCOMPARE(rig.logCount("last message repeated 4 times"), 1);
        // A few failed fetches are no missing picture, and no failed stream.
        QVERIFY(!rig.streamer->pictureMissing.load());
        QCOMPARE(rig.streamer->failure.load(), CaptureStreamer::Failure::None);
    }

    void aPauseOfTheSourceIsAMissingPictureUntilItEnds() {
        Rig rig;
        // Failed fetches take 10 ms each: about 1.5 s without a picture from the start.
        rig.scriptNext = [](ScriptedSource &s) { s.failFirst = 150; };
        QVERIFY(rig.start());
        QVERIFY(testkit::waitUntil([&] { return rig.streamer->pictureMissing.load(); }, kWaitMs, 5));
        QCOMPARE(rig.streamer->framesWritten.load(), uint64_t(0));
        QVERIFY(testkit::waitUntil([&] { return !rig.streamer->pictureMissing.load(); }, kWaitMs, 5));
        QVERIFY(rig.streamer->framesWritten.load() > 0);
        QCOMPARE(rig.streamer->failure.load(), CaptureStreamer::Failure::None);
        QVERIFY(rig.stop());
    }

    void aSourceThatNeverDeliversHasNoPictureButGoesOn() {
        Rig rig;
        rig.scriptNext = [](ScriptedSource &s) { s.alwaysFail = true; };
        QVERIFY(rig.start());
        QVERIFY(testkit::waitUntil([&] { return rig.streamer->pictureMissing.load(); }, kWaitMs));
        QVERIFY(rig.streamer->captureErrors.load() >= 10);
        // The source may come back: the run waits for it and does not fail on its own.
        QCOMPARE(rig.streamer->failure.load(), CaptureStreamer::Failure::None);
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->framesWritten.load(), uint64_t(0));
        QCOMPARE(rig.writer->accepted.load() + rig.writer->refused.load(), 0);
        QCOMPARE(rig.streamer->writeErrors.load(), int64_t(0));
    }

    void aWriterThatRefusesEverythingFailsTheRunAndFeedsNoPreview() {
        Rig rig;
        rig.writer->refuseFrames = true;
        rig.streamer->setPreviewWindow(0x1234);
        QCOMPARE(rig.preview->window.load(), uint64_t(0x1234));
        QVERIFY(rig.start());
        QVERIFY(testkit::waitUntil([&] { return rig.streamer->writeErrors.load() >= 5; }, kWaitMs));
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->framesWritten.load(), uint64_t(0));
        QCOMPARE(rig.streamer->writeErrors.load(), int64_t(rig.writer->refused.load()));
        QCOMPARE(rig.preview->frames.load(), 0);
        QCOMPARE(rig.streamer->captureErrors.load(), int64_t(0));
        // No frame of this run can reach the server any more: it has failed, and the next one starts clean.
        QCOMPARE(rig.streamer->failure.load(), CaptureStreamer::Failure::OutputFailed);
        rig.writer->refuseFrames = false;
        QVERIFY(rig.start());
        QCOMPARE(rig.streamer->failure.load(), CaptureStreamer::Failure::None);
        QVERIFY(rig.stop());
    }

    void framesReachThePreviewOnlyWhileAWindowIsSet() {
        Rig rig;
        QVERIFY(rig.start());
        QVERIFY(rig.waitFrames(3));
        QCOMPARE(rig.preview->frames.load(), 0);

        rig.streamer->setPreviewWindow(42);
        QVERIFY(testkit::waitUntil([&] { return rig.preview->frames.load() >= 3; }, kWaitMs));

        // Closing the preview during a run: the window stays with the preview, the frames stop going to it.
        rig.streamer->setPreviewWindow(0);
        QCOMPARE(rig.preview->window.load(), uint64_t(42));
        QTest::qWait(50);
        const int shown = rig.preview->frames.load();
        const uint64_t written = rig.streamer->framesWritten.load();
        QVERIFY(rig.waitFrames(written + 3));
        QCOMPARE(rig.preview->frames.load(), shown);
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->writeErrors.load(), int64_t(0));
    }

    void previewAudioPlaysOrMutes() {
        Rig rig;
        rig.streamer->setPreviewAudio(true);
        QCOMPARE(rig.preview->lastGain, 0.0);
        rig.streamer->setPreviewAudio(false);
        QCOMPARE(rig.preview->lastGain, -100.0);
        QCOMPARE(rig.preview->enabled.load(), 1);
    }

    void aMissingPreviewDoesNotStopTheStream() {
        Rig rig(false);
        rig.streamer->setPreviewWindow(42);
        rig.streamer->setPreviewAudio(true);
        QVERIFY(rig.start());
        QVERIFY(rig.waitFrames(3));
        QVERIFY(rig.stop());
    }

    void stopEndsTheRunAndDropsTheSource() {
        Rig rig;
        QVERIFY(rig.start());
        QVERIFY(!rig.streamer->needsNewSource());
        QVERIFY(rig.waitFrames(2));
        QVERIFY(rig.stop());
        QCOMPARE(rig.sources.size(), size_t(1));
        ScriptedSource &source = *rig.sources.front();
        const int fetches = source.fetches.load();
        QTest::qWait(50);
        QCOMPARE(source.fetches.load(), fetches);
        QCOMPARE(source.closes.load(), 1);
        QVERIFY(rig.streamer->needsNewSource());
        // The source was told the channel selection and to deliver no "no signal" picture.
        QCOMPARE(source.propValue("audio_channels"), QString());
        QCOMPARE(source.propValue("no_signal.enabled"), QStringLiteral("false"));
        // Device changes after the run go to no object; the next selection creates a new one.
        rig.streamer->setArea(1, QRect());
        QCOMPARE(source.propValue("capture.screen_index"), QStringLiteral("<unset>"));
    }

    void twoRunsInARowStartFromZero() {
        Rig rig;
        rig.scriptNext = [](ScriptedSource &s) { s.failFirst = 4; };
        QVERIFY(rig.start());
        QVERIFY(rig.waitFrames(5));
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->captureErrors.load(), int64_t(4));
        QCOMPARE(rig.streamer->sourceFormat.load().width, 640);
        // The run closed its writer after its last frame, so the tail left before the run ended.
        QCOMPARE(rig.writer->closes.load(), 1);
        QCOMPARE(rig.writer->acceptedAtClose.load(), rig.writer->accepted.load());

        rig.scriptNext = [](ScriptedSource &s) {
            s.frameFormat = videoFormat(1920, 1080, 50.0);
            s.frameFormat.bitsPerSample = -32;
        };
        QVERIFY(rig.start(50, QStringLiteral("0,1")));
        QCOMPARE(rig.sources.size(), size_t(2));
        QVERIFY(testkit::waitUntil([&] { return rig.streamer->sourceFormat.load().width == 1920; }, kWaitMs));
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->captureErrors.load(), int64_t(0));
        QCOMPARE(rig.streamer->framesWritten.load(), uint64_t(rig.sources.back()->fetches.load()));
        const MFFormat format = rig.streamer->sourceFormat.load();
        QCOMPARE(format.height, 1080);
        QCOMPARE(format.frameRate, 50.0);
        QCOMPARE(format.bitsPerSample, -32);
        QCOMPARE(rig.sources.back()->propValue("audio_channels"), QStringLiteral("0,1"));
        QCOMPARE(rig.sources.front()->closes.load(), 1);
        QCOMPARE(rig.sources.back()->closes.load(), 1);
        // Each Start configured the closed writer anew and each run closed it once.
        QCOMPARE(rig.writer->configures.load(), 2);
        QCOMPARE(rig.writer->closes.load(), 2);
        QCOMPARE(rig.writer->acceptedAtClose.load(), rig.writer->accepted.load());
    }

    void aRestartRightAfterStopGetsItsOwnSource() {
        Rig rig;
        // Slow fetches keep the first run inside a fetch while the restart is prepared.
        rig.scriptNext = [](ScriptedSource &s) { s.fetchPaceMs = 40; };
        QVERIFY(rig.start());
        QVERIFY(rig.waitFrames(1));
        rig.streamer->stopCapture();
        rig.scriptNext = [](ScriptedSource &s) { s.frameFormat = videoFormat(320, 240, 25.0); };
        QVERIFY(rig.start());
        QVERIFY(testkit::waitUntil([&] { return rig.streamer->sourceFormat.load().width == 320; }, kWaitMs));
        QVERIFY(rig.waitFrames(3));
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->captureErrors.load(), int64_t(0));
        QCOMPARE(rig.sources.size(), size_t(2));
    }

    void aRunWithoutASourceCountsFailuresWithoutCrashing() {
        Rig rig;
        rig.streamer->setOutputParams(QSize(), 4000, 128);
        QVERIFY(rig.streamer->startCapture(5000, 25, 3, 1, "q264sw", QString(), QString(), 48000));
        QVERIFY(testkit::waitUntil([&] { return rig.streamer->captureErrors.load() >= 3; }, kWaitMs));
        QVERIFY(rig.stop());
        QCOMPARE(rig.streamer->framesWritten.load(), uint64_t(0));
    }

    void theSourceIsAskedForTheOutputFormat_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("alpha");
        QTest::addColumn<int>("frameRate");
        QTest::addColumn<int>("interlace");
        QTest::addColumn<QString>("asked"); // size, aspect, rate, interlace of the record
        QTest::newRow("1080p25") << QSize(1920, 1080) << false << 25 << 3 << "1920x1080 16:9 25 fps 3";
        QTest::newRow("alpha doubles the height") << QSize(1920, 1080) << true << 50 << 1 << "1920x2160 16:9 50 fps 1";
        QTest::newRow("original size") << QSize() << false << 30 << 2 << "0x0 0:0 30 fps 2";
        QTest::newRow("zero height is original") << QSize(1280, 0) << false << 30 << 3 << "0x0 0:0 30 fps 3";
        QTest::newRow("original rate") << QSize(1280, 720) << false << -1 << 1 << "1280x720 16:9 0 fps 0";
        QTest::newRow("29.97") << QSize(1280, 720) << false << 2997 << 3 << "1280x720 16:9 29.97 fps 3";
    }
    void theSourceIsAskedForTheOutputFormat() {
        QFETCH(QSize, size);
        QFETCH(bool, alpha);
        QFETCH(int, frameRate);
        QFETCH(int, interlace);
        QFETCH(QString, asked);
        Rig rig;
        rig.streamer->setAlpha(alpha);
        QVERIFY(rig.streamer->setDevices("Test Pattern", "NO_AUDIO"));
        rig.streamer->setOutputParams(size, 4000, 128);
        QVERIFY(rig.streamer->startCapture(5000, frameRate, interlace, 1, "q264sw", QString(), QString(), 48000));
        QVERIFY(testkit::waitUntil([&] { return rig.sources.front()->fetches.load() >= 1; }, kWaitMs));
        QVERIFY(rig.stop());
        const MFFormat f = rig.sources.front()->lastAskedFormat();
        QCOMPARE(QString::asprintf("%dx%d %d:%d %g fps %d", f.width, f.height, f.aspectX, f.aspectY, f.frameRate,
                                   f.interlace),
                 asked);
        QCOMPARE(f.channels, 0);
    }

    void alphaSendsTheMaskedFrame() {
        Rig rig;
        auto mask = std::make_shared<FakeFrame>(videoFormat(640, 720, 25.0, MFCC_UYVY));
        rig.scriptNext = [mask](ScriptedSource &s) {
            s.makeFrame = [mask] {
                auto frame = std::make_shared<FakeFrame>(videoFormat(640, 360, 25.0, MFCC_ARGB32));
                frame->mask = mask;
                return frame;
            };
        };
        rig.streamer->setAlpha(true);
        QVERIFY(rig.start());
        QVERIFY(rig.waitFrames(2));
        QCOMPARE(rig.writer->lastFrame.load(), static_cast<IMFFrame *>(mask.get()));
        // Unticked during the run: the picture itself goes out again.
        rig.streamer->setAlpha(false);
        QVERIFY(testkit::waitUntil([&] { return rig.writer->lastFrame.load() != mask.get(); }, kWaitMs));
        QVERIFY(rig.stop());
    }

    void theTimecodeStripIsStampedWhileTicked() {
        Rig rig;
        auto printed = std::make_shared<PrintLog>();
        rig.scriptNext = [printed](ScriptedSource &s) {
            s.makeFrame = [printed] {
                // A bottom-up picture: the strip still goes to its last rows.
                auto frame = std::make_shared<FakeFrame>(videoFormat(640, -360, 25.0));
                frame->printLog = printed;
                return frame;
            };
        };
        rig.clockMs = QDateTime(QDate(2026, 12, 9), QTime(10, 21, 37, 500), Qt::UTC).toMSecsSinceEpoch();
        rig.streamer->setVITC(true);
        QVERIFY(rig.start());
        QVERIFY(testkit::waitUntil([&] { return printed->all().size() >= 4; }, kWaitMs));
        rig.streamer->setVITC(false);
        QTest::qWait(30);
        const int stamped = printed->all().size();
        const uint64_t written = rig.streamer->framesWritten.load();
        QVERIFY(rig.waitFrames(written + 3));
        QCOMPARE(printed->all().size(), stamped);
        QVERIFY(rig.stop());

        const QVector<PrintLog::Print> prints = printed->all();
        for (int i = 0; i < 4; ++i) {
            const PrintLog::Print &print = prints.at(i);
            uint8_t expected[kVitcBits];
            buildVitcBits(10, 21, 37, i, 25.0, 500, expected);
            QCOMPARE(print.markup, vitcMarkup(expected));
            QCOMPARE(frameUnits(stripBits(print.markup)), i);
            // Scale, then the last three rows of the bottom-up picture, then the flags.
            QCOMPARE(QString::asprintf("%g %g %g %g %g %d", print.scale, print.x, print.y, print.width, print.height,
                                       print.flags),
                     QStringLiteral("0.5 0 357 640 3 256"));
            QCOMPARE(print.attributes, QStringLiteral("face='Times New Roman'  vert-align='bottom' bg-color='black' "));
        }

        // A new run counts from frame 0 again, also within the same second.
        rig.streamer->setVITC(true);
        QVERIFY(rig.start());
        QVERIFY(testkit::waitUntil([&] { return printed->all().size() >= stamped + 2; }, kWaitMs));
        QVERIFY(rig.stop());
        QCOMPARE(frameUnits(stripBits(printed->all().at(stamped).markup)), 0);
        QCOMPARE(frameUnits(stripBits(printed->all().at(stamped + 1).markup)), 1);
    }

    void splitARGBmaskOnlyReplacesMaskedARGBFrames() {
        auto mask = std::make_shared<FakeFrame>(videoFormat(64, 72, 25.0));
        auto uyvy = std::make_shared<FakeFrame>(videoFormat(64, 36, 25.0, MFCC_UYVY));
        uyvy->mask = mask;
        std::shared_ptr<IMFFrame> frame = uyvy;
        QVERIFY(!splitARGBmask(&frame));
        QCOMPARE(frame.get(), static_cast<IMFFrame *>(uyvy.get()));

        auto bare = std::make_shared<FakeFrame>(videoFormat(64, 36, 25.0, MFCC_ARGB32));
        frame = bare;
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("splitARGBmask.*fail MFObjGet.*_hdyc_w_mask_"));
        QVERIFY(!splitARGBmask(&frame));
        QCOMPARE(frame.get(), static_cast<IMFFrame *>(bare.get()));

        bare->mask = mask;
        QVERIFY(splitARGBmask(&frame));
        QCOMPARE(frame.get(), static_cast<IMFFrame *>(mask.get()));
    }

    void theLogWindowShowsAddressAndConfiguration() {
        Rig rig;
        QVERIFY(rig.start());
        QVERIFY(rig.stop());
        QCOMPARE(rig.logCount("INTERNAL URL:tcp://127.0.0.1:5000"), 1);
        QCOMPARE(rig.logCount("CONFIGURATION:" + rig.writer->lastOptions()), 1);
        QCOMPARE(rig.logCount("setVideoDevice: Test Pattern"), 1);
    }

    void aWriterThatCannotBeCreatedIsReportedOnceTheLogWindowExists() {
        CaptureMedia media;
        media.createSource = [] {
            auto source = std::make_shared<ScriptedSource>();
            source->frameFormat = videoFormat(64, 36, 25.0);
            return std::shared_ptr<MFormats>(source);
        };
        CaptureStreamer streamer(media);
        LogsDlg logWindow;
        streamer.setLogWindow(&logWindow);
        QVERIFY(testkit::logText(logWindow).contains("ERROR 10: Can't create MFWriter instance"));
        QVERIFY(streamer.setDevices("Test Pattern", "NO_AUDIO"));
        streamer.setOutputParams(QSize(), 4000, 128);
        QVERIFY(streamer.startCapture(5000, 25, 3, 1, "q264sw", QString(), QString(), 48000));
        QVERIFY(testkit::waitUntil([&] { return streamer.writeErrors.load() >= 3; }, kWaitMs));
        streamer.stopCapture();
        QVERIFY(streamer.wait(kWaitMs));
        QCOMPARE(streamer.framesWritten.load(), uint64_t(0));
    }

    void destroyingAStreamerStuckInAFetchClosesTheSource() {
        auto source = std::make_shared<ScriptedSource>();
        source->frameFormat = videoFormat(64, 36, 25.0);
        source->devices[0] = QStringList{"Test Pattern"};
        // Far longer than a Stop may take: the fetch hangs as in a device that stopped answering.
        constexpr int kHangMs = 4000;
        source->fetchPaceMs = kHangMs;
        auto streamer = startOn(source);
        QVERIFY(streamer);
        QVERIFY(testkit::waitUntil([&] { return source->fetches.load() >= 1; }, kWaitMs));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("still in a frame fetch"));
        QElapsedTimer clock;
        clock.start();
        streamer.reset();
        QVERIFY2(clock.elapsed() < kHangMs / 2, qPrintable(QString::number(clock.elapsed())));
        // Closed by the run as it ends; the hanging fetch keeps the source alive until it comes back.
        QCOMPARE(source->closes.load(), 1);
        QCOMPARE(source->fetches.load(), 1);
        QVERIFY(testkit::waitUntil([&] { return source.use_count() == 1; }, 2 * kHangMs));
        QCOMPARE(source->fetches.load(), 1);
    }

    void destroyingARunningStreamerStopsIt() {
        auto source = std::make_shared<ScriptedSource>();
        source->frameFormat = videoFormat(64, 36, 25.0);
        source->devices[0] = QStringList{"Test Pattern"};
        auto streamer = startOn(source);
        QVERIFY(streamer);
        QVERIFY(testkit::waitUntil([&] { return streamer->framesWritten.load() >= 2; }, kWaitMs));
        streamer.reset();
        QCOMPARE(source->closes.load(), 1);
        const int fetches = source->fetches.load();
        QTest::qWait(30);
        QCOMPARE(source->fetches.load(), fetches);
    }
};

QTEST_MAIN(TestCaptureStreamer)
#include "tst_capturestreamer.moc"
