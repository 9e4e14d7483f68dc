// The alpha path with real parts: the alpha Test Pattern through the live source gives ARGB32 frames whose
// masked form (picture over alpha as grey) splitARGBmask swaps in; frames without alpha pass unchanged.
#include "capturestreamer.h"
#include "mediatestkit.h"
#include "mfformat.h"
#include "mformats.h"
#include "mfresult.h"
#include "mfvitcreader.h"
#include "mfwriter.h"

#include <QtTest>

namespace {

// Keeps the last frame handed to it instead of encoding.
class KeepingWriter : public MFWriter {
public:
    int WriterSet(const QString &, int, const QString &) override { return MF_OK; }
    int ReceiverFramePut(const MFFramePtr &frame, int, const QString &) override {
        QMutexLocker locker(&lock);
        last = frame;
        return MF_OK;
    }
    int WriterClose() override { return MF_OK; }
    MFFramePtr lastFrame() {
        QMutexLocker locker(&lock);
        return last;
    }

private:
    QMutex lock;
    MFFramePtr last;
};

int limitedLuma(int alpha) {
    return 16 + (alpha * 219 + 127) / 255;
}

} // namespace

class TestAlphaMask : public QObject {
    Q_OBJECT

private slots:
    void maskBelowPicture_data() {
        QTest::addColumn<int>("askWidth");
        QTest::addColumn<int>("askHeight");
        QTest::addColumn<int>("tolerance");
        // At the source's own size the mask is the alpha plane itself; at an asked (doubled) height both are
        // scaled, the frame's alpha to the whole height and the mask's to half of it.
        QTest::newRow("source size") << 0 << 0 << 1;
        QTest::newRow("asked 320x2*180") << 320 << 360 << 6;
    }
    void maskBelowPicture() {
        QFETCH(int, askWidth);
        QFETCH(int, askHeight);
        QFETCH(int, tolerance);
        auto source = mediatest::openVideo("Test Pattern Alpha", "test_pattern.size=640x360");
        QVERIFY(source);
        MFFramePtr frame;
        for (int i = 0; i < 3; ++i)
            QVERIFY(frame = mediatest::fetch(*source, {0, 0, askWidth, askHeight}));
        const MFFormat format = mediatest::formatOf(frame);
        QCOMPARE(format.colorFormat, uint32_t(MFCC_ARGB32));
        const int width = format.width;
        const int pictureHeight = askHeight ? askHeight / 2 : format.height;
        const int rowStep = format.height / pictureHeight;

        MFFramePtr original = frame;
        QVERIFY(splitARGBmask(&frame));
        QVERIFY(frame != original);
        const MFFormat masked = mediatest::formatOf(frame);
        QCOMPARE(QSize(masked.width, masked.height), QSize(width, 2 * pictureHeight));
        QCOMPARE(frame->MFAudioSamples(), original->MFAudioSamples());

        uint8_t *argb = nullptr;
        int argbStride = 0;
        uint8_t *uyvy = nullptr;
        int uyvyStride = 0;
        QCOMPARE(original->MFPictureGet(&argb, &argbStride), int(MF_OK));
        QCOMPARE(frame->MFPictureGet(&uyvy, &uyvyStride), int(MF_OK));
        int worst = 0;
        int graded = 0;
        for (int row = 0; row < pictureHeight; ++row) {
            for (int x = 0; x < width; ++x) {
                int alpha = 0;
                for (int k = 0; k < rowStep; ++k)
                    alpha += argb[(row * rowStep + k) * argbStride + 4 * x + 3];
                alpha /= rowStep;
                const int luma = uyvy[(pictureHeight + row) * uyvyStride + 2 * x + 1];
                worst = qMax(worst, qAbs(luma - limitedLuma(alpha)));
                graded += alpha > 0 && alpha < 255;
                QCOMPARE(int(uyvy[(pictureHeight + row) * uyvyStride + 2 * x]), 128);
            }
        }
        QVERIFY2(worst <= tolerance, qPrintable(QString::number(worst)));
        QVERIFY(graded > width);
    }

    // With timecode and alpha both on, the frame that is sent is the masked one and carries the strip.
    void capturedMaskedFrameCarriesTheStrip() {
        auto writer = std::make_shared<KeepingWriter>();
        CaptureMedia media;
        media.createSource = [] { return MFormats::create(); };
        media.createWriter = [writer] { return writer; };
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("Can't create MFPreview"));
        CaptureStreamer streamer(media);
        QVERIFY(streamer.setDevices(QStringLiteral("Test Pattern Alpha"), QStringLiteral("NO_AUDIO")));
        streamer.setAlpha(true);
        streamer.setVITC(true);
        streamer.setOutputParams(QSize(640, 360), 2000, 0);
        QVERIFY(streamer.startCapture(1, 25, 3, 1, QStringLiteral("q264sw"), QString(), QString(), 0));
        QVERIFY(QTest::qWaitFor([&] { return streamer.framesWritten.load() >= 3; }, 5000));
        const MFFramePtr sent = writer->lastFrame();
        streamer.stopCapture();
        QVERIFY(streamer.wait(5000));
        QCOMPARE(mediatest::formatOf(sent).colorFormat, uint32_t(MFCC_HDYC));
        QCOMPARE(mediatest::formatOf(sent).height, 720);
        MFVitcCode code;
        QVERIFY(MFVitcReader::read(*sent, &code));
    }

    void frameWithoutAlphaPassesUnchanged() {
        auto source = mediatest::openVideo("Test Pattern", "test_pattern.size=320x180");
        QVERIFY(source);
        MFFramePtr frame = mediatest::fetch(*source, {0, 0, 0, 360});
        QVERIFY(frame);
        const MFFramePtr original = frame;
        QVERIFY(!splitARGBmask(&frame));
        QCOMPARE(frame, original);
        MFFramePtr mask;
        QVERIFY(MF_FAILED(frame->MFObjGet(QStringLiteral("_hdyc_w_mask_"), &mask)));
    }
};

QTEST_GUILESS_MAIN(TestAlphaMask)
#include "tst_alphamask.moc"
