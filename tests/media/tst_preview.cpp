#include "mediatestkit.h"
#include "mffactory.h"
#include "mfpreview.h"
#include "mfresult.h"
#include "peerprocess.h"
#include "privatesoundserver.h"
#include "testkit.h"

#include <QApplication>
#include <QLabel>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kRed = 0xffff0000u;
constexpr uint32_t kBlue = 0xff0000ffu;
constexpr uint32_t kGreen = 0xff00ff00u;

// A 64 x 36 frame of one colour (0xAARRGGBB) with 40 ms of stereo audio.
MFFramePtr colourFrame(uint32_t argb) {
    return mediatest::solidFrame({64, 36}, argb, 0, 2, 48000, 1920);
}

bool shows(QWidget &widget, uint32_t argb, QPoint at) {
    const QImage image = widget.grab().toImage();
    const QRgb pixel = image.pixel(at);
    const QRgb want = QRgb(argb);
    return qAbs(qRed(pixel) - qRed(want)) < 24 && qAbs(qGreen(pixel) - qGreen(want)) < 24 &&
           qAbs(qBlue(pixel) - qBlue(want)) < 24;
}

bool showsEverywhere(QWidget &widget, uint32_t argb) {
    const QRect inside = widget.contentsRect().adjusted(2, 2, -2, -2);
    return shows(widget, argb, inside.center()) && shows(widget, argb, inside.topLeft()) &&
           shows(widget, argb, inside.bottomRight());
}

double rms(const QByteArray &interleaved, int channel) {
    const auto *samples = reinterpret_cast<const int16_t *>(interleaved.constData());
    const int frames = int(interleaved.size() / 4);
    double sum = 0;
    for (int i = 0; i < frames; ++i)
        sum += double(samples[i * 2 + channel]) * samples[i * 2 + channel];
    return frames ? std::sqrt(sum / frames) : 0.0;
}

} // namespace

class TstPreview : public QObject {
    Q_OBJECT

private slots:
    void paintsNewestFrameScaledToWidget() {
        QLabel label;
        label.setFrameShape(QFrame::Box);
        label.resize(200, 150);
        label.show();
        MFPreview preview;
        QCOMPARE(preview.PreviewEnable(QString(), 1, 1), int(MF_OK));
        QCOMPARE(preview.PreviewWindowSet(QString(), uint64_t(label.winId())), int(MF_OK));
        QCOMPARE(preview.PreviewAudioVolumeSet(QString(), -1, -100.0), int(MF_OK));

        QCOMPARE(preview.ReceiverFramePut(colourFrame(kRed), -1, QString()), int(MF_OK));
        QVERIFY(testkit::waitUntil([&] { return showsEverywhere(label, kRed); }, 5000));
        QCOMPARE(preview.ReceiverFramePut(colourFrame(kBlue), -1, QString()), int(MF_OK));
        QVERIFY(testkit::waitUntil([&] { return showsEverywhere(label, kBlue); }, 5000));

        // A larger widget: the next frame fills it as well.
        label.resize(420, 300);
        QTest::qWait(50);
        QCOMPARE(preview.ReceiverFramePut(colourFrame(kGreen), -1, QString()), int(MF_OK));
        QVERIFY(
            testkit::waitUntil([&] { return showsEverywhere(label, kGreen) && label.grab().width() == 420; }, 5000));
    }

    void detachStopsDrawing() {
        QLabel label;
        label.resize(160, 120);
        label.show();
        MFPreview preview;
        preview.PreviewEnable(QString(), 0, 1);
        preview.PreviewWindowSet(QString(), uint64_t(label.winId()));
        preview.ReceiverFramePut(colourFrame(kRed), -1, QString());
        QVERIFY(testkit::waitUntil([&] { return showsEverywhere(label, kRed); }, 5000));

        QCOMPARE(preview.PreviewWindowSet(QString(), 0), int(MF_OK));
        QVERIFY(testkit::waitUntil([&] { return !shows(label, kRed, label.rect().center()); }, 5000));
        preview.ReceiverFramePut(colourFrame(kRed), -1, QString());
        QTest::qWait(300);
        QVERIFY(!shows(label, kRed, label.rect().center()));

        // Video disabled: frames are taken and not drawn.
        preview.PreviewWindowSet(QString(), uint64_t(label.winId()));
        preview.PreviewEnable(QString(), 0, 0);
        preview.ReceiverFramePut(colourFrame(kBlue), -1, QString());
        QTest::qWait(300);
        QVERIFY(!shows(label, kBlue, label.rect().center()));
    }

    void fedFromThreadNeverWaitsForGui() {
        QLabel label;
        label.resize(320, 180);
        label.show();
        MFPreview preview;
        preview.PreviewEnable(QString(), 1, 1);
        preview.PreviewAudioVolumeSet(QString(), -1, 0.0); // plays if a sound server is there, dropped if not
        preview.PreviewWindowSet(QString(), uint64_t(label.winId()));

        // The GUI thread does not run its event loop while the feeder runs: a put that waited for a repaint
        // would never finish.
        constexpr int kFrames = 300;
        std::vector<MFFramePtr> frames = {colourFrame(kRed), colourFrame(kBlue)};
        std::atomic<int> failures{0};
        auto feeding = std::async(std::launch::async, [&] {
            for (int i = 0; i < kFrames; ++i)
                if (MF_FAILED(preview.ReceiverFramePut(frames[size_t(i % 2)], -1, QString())))
                    ++failures;
            preview.ReceiverFramePut(colourFrame(kGreen), -1, QString());
        });
        const bool fed = feeding.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        if (!fed)
            QTest::qWait(30000); // let a stuck feeder finish before the objects it uses go away
        QVERIFY(fed);
        QCOMPARE(failures.load(), 0);
        // Only the newest frame is drawn once the GUI gets to it.
        QVERIFY(testkit::waitUntil([&] { return showsEverywhere(label, kGreen); }, 5000));
    }

    void windowSetAndReleasedOffGuiThread() {
        // The player's worker thread creates the preview, sets its window and feeds it.
        QLabel label;
        label.resize(160, 90);
        label.show();
        const uint64_t window = uint64_t(label.winId());
        std::shared_ptr<MFPreview> preview;
        std::thread([&] {
            preview = MFPreview::create();
            preview->PreviewEnable(QString(), 1, 1);
            preview->PreviewWindowSet(QString(), window);
        }).join();
        QVERIFY(testkit::waitUntil(
            [&] {
                // The window is attached through the GUI thread's event loop; feed until it shows.
                std::thread([&] { preview->ReceiverFramePut(colourFrame(kBlue), 0, QString()); }).join();
                return showsEverywhere(label, kBlue);
            },
            5000, 50));
        std::thread([&] { preview.reset(); }).join();
        QTest::qWait(50); // the GUI part goes away in the event loop, without touching the widget after
        QVERIFY(testkit::waitUntil([&] { return !shows(label, kBlue, label.rect().center()); }, 5000));
    }

    void refusesForeignFrames() {
        MFPreview preview;
        QCOMPARE(preview.ReceiverFramePut(nullptr, 0, QString()), int(MF_E_INVALIDARG));
        QCOMPARE(preview.PreviewAudioVolumeSet(QString(), -2, 0.0), int(MF_E_INVALIDARG));
        QCOMPARE(preview.PreviewAudioVolumeSet(QString(), 0, qQNaN()), int(MF_E_INVALIDARG));
    }

    void playsAudioWithChannelMutes() {
        if (!testkit::haveProgram("ffmpeg"))
            QSKIP("ffmpeg is not installed: nothing records what is played");
        PrivateSoundServer sound({{"preview", QString()}});
        QString why;
        if (!sound.start(&why))
            QSKIP(qPrintable("no PulseAudio server could be started: " + why));

        QTemporaryDir dir;
        const QString recording = dir.filePath("monitor.raw");
        PeerProcess recorder;
        QVERIFY2(recorder.start("ffmpeg", {"-hide_banner", "-loglevel", "error", "-f", "pulse", "-i", "preview.monitor",
                                           "-t", "3", "-ac", "2", "-ar", "48000", "-f", "s16le", recording}),
                 qPrintable(recorder.output()));

        MFPreview preview;
        preview.PreviewEnable(QString(), 1, 0);
        preview.PreviewAudioVolumeSet(QString(), -1, 0.0);
        preview.PreviewAudioVolumeSet(QString(), 0, -100.0); // left muted, right plays

        // 1 kHz in both channels, fed in real time for longer than the recording.
        const MFFormat format{0, 0, 0, 0, 0, 0, 0, 0.0, 2, 48000, 16};
        std::atomic<bool> stop{false};
        std::thread feeder([&] {
            std::vector<int16_t> tone(1920 * 2);
            for (int frame = 0; frame < 150 && !stop; ++frame) {
                for (int i = 0; i < 1920; ++i) {
                    const auto value = int16_t(8000 * std::sin(2 * M_PI * 1000 * (frame * 1920 + i) / 48000.0));
                    tone[size_t(i) * 2] = tone[size_t(i) * 2 + 1] = value;
                }
                preview.ReceiverFramePut(mediatest::fromMemory(format, nullptr, 0, 1920, tone.data()), -1, QString());
                QThread::msleep(40);
            }
        });
        const bool recorded = recorder.waitForExit(20000);
        stop = true;
        feeder.join();
        QVERIFY2(recorded, qPrintable(recorder.output()));
        const QByteArray samples = testkit::readFile(recording);
        QVERIFY2(samples.size() > 48000 * 4, qPrintable(recorder.output()));
        QVERIFY2(rms(samples, 1) > 1000, qPrintable(QString::number(rms(samples, 1))));
        QVERIFY2(rms(samples, 0) < 20, qPrintable(QString::number(rms(samples, 0))));
    }
};

QTEST_MAIN(TstPreview)
#include "tst_preview.moc"
